#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the project needs, and any named as
# arguments, if one is missing; with --only, just those named.
set -euo pipefail
cd "$(dirname "$0")"
needed=packages.txt
if [ "${1:-}" = "--only" ]; then
    needed=/dev/null
    shift
fi

# Whether a package is installed: NAME for this machine's architecture (or
# one for all), NAME:ARCH for a foreign one.
native=$(dpkg --print-architecture)
installed() {
    local arch="${1#*:}"
    [ "$arch" != "$1" ] || arch="$native|all"
    dpkg-query -W -f='${Architecture} ${Status}\n' "${1%%:*}" 2>/dev/null |
        grep -qxE "($arch) install ok installed"
}

missing=()
while read -r package; do
    [ -n "$package" ] || continue
    installed "$package" || missing+=("$package")
done < <(cat "$needed"; printf '%s\n' "$@")
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Please install as root: ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi
# A mirror caught mid-sync fails one index now and then; what is needed may
# still be in the others, and the install says so if it is not.
"${as_root[@]}" apt-get update || echo "apt-get update failed; installing from the lists at hand" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
