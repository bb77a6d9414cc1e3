#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs inside the virtual LAN of tests/testnet.sh, on host 1: starts three
# simulated cameras and a peer of no kind on hosts 2 to 5, then runs the
# command-line tool here for a few seconds, or with --gtk the desktop tool
# until its window is closed (headless: for a few seconds, with a screenshot).
# With --routed (on a network built with testnet.sh --routed), host 2 is the
# router and the cameras are on hosts 4 to 6: the tool runs once before the
# router relays broadcasts and once after.
set -euo pipefail
cd "$(dirname "$0")/.."
read -r -a hosts <<< "$OBX_TESTNET_HOSTS"
camera=build/examples/obx-camera

peers=()
stop_peers() { [ ${#peers[@]} -eq 0 ] || kill "${peers[@]}" 2>/dev/null || true; wait; }
trap stop_peers EXIT

start_on_host() {
    local host="$1"; shift
    setpriv --pdeathsig TERM nsenter -t "${hosts[$((host - 1))]}" -n -- "$@" &
    peers+=("$!")
}

# Whether a peer's discovery socket is bound on the given host.
listening() {
    nsenter -t "${hosts[$(($1 - 1))]}" -n -- ss -Hlun 'sport = :13702' | grep -q .
}

# Starts the relay on the router as contrib/ombrix-discovery-relay.service
# does, the cameras' side on obx1.
start_relay() {
    local command
    command=$(sed -n 's/^ExecStart=//p' contrib/ombrix-discovery-relay.service)
    command=${command//'${CAMERA_SIDE}'/^obx1\$}
    command=${command//'${OFFICE_SIDE}'/^obx0\$}
    read -r -a command <<< "$command"
    echo "    ${command[*]}"
    start_on_host 2 "${command[@]}"
}

wait_until_listening() {
    for host in "$@"; do
        for _ in $(seq 100); do listening "$host" && break; sleep 0.02; done
    done
}

if [ "${1:-}" = "--routed" ]; then
    shift
    start_on_host 4 "$camera" --name "Lobby camera" --rtsp rtsp:///live --http http://:80/
    start_on_host 5 "$camera" --name "Caméra entrée" --rtsp rtsp:///live --http http://:8080/
    start_on_host 6 "$camera" --name "Parking" --rtsp rtsp:///main --http http://:80/
    wait_until_listening 4 5 6
    echo "Two subnets joined by a router (192.0.2.2 and 198.51.100.2): this host is"
    echo "192.0.2.1, the cameras are on 198.51.100.4-6. The router relays no broadcast."
    echo "Running ombrix-discovery-cli for 5 seconds:"
    timeout -s INT 5 build/tools/cli/ombrix-discovery-cli "$@" || [ $? -eq 124 ]
    echo
    echo "The router now relays broadcasts as contrib/ombrix-discovery-relay.service does:"
    start_relay
    sleep 0.5
    echo "Running ombrix-discovery-cli for 3 seconds:"
    timeout -s INT 3 build/tools/cli/ombrix-discovery-cli "$@" || [ $? -eq 124 ]
    exit 0
fi

start_on_host 2 "$camera" --name "Lobby camera" \
    --rtsp rtsp://192.0.2.2:554/stream --http http://192.0.2.2/
start_on_host 3 "$camera" --name "Caméra entrée" --rtsp rtsp:///live --http http://:8080/
start_on_host 4 "$camera" --name "Parking" \
    --rtsp rtsp://192.0.2.4/main --http http://192.0.2.4/
start_on_host 5 "$camera" --no-kind --name "Legacy encoder"
wait_until_listening 2 3 4 5

echo "Virtual LAN: this host is 192.0.2.1; cameras on 192.0.2.2-4, a peer of no kind on 192.0.2.5."
if [ "${1:-}" = "--gtk" ]; then
    shift
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        echo "Running ombrix-discovery-gtk until its window is closed."
        exec build/tools/gtk/ombrix-discovery-gtk "$@"
    fi
    screenshot="$PWD/build/demo-gtk.png"
    echo "No display: running ombrix-discovery-gtk under Xvfb; screenshot in $screenshot"
    exec xvfb-run -a dbus-run-session -- bash -c '
        build/tools/gtk/ombrix-discovery-gtk "$@" & app=$!
        sleep 2
        scripts/screenshot.py "$0" "Ombrix Discovery Tool"
        kill "$app"' "$screenshot" "$@"
fi
echo "Running ombrix-discovery-cli for 3 seconds:"
timeout -s INT 3 build/tools/cli/ombrix-discovery-cli "$@" || [ $? -eq 124 ]
