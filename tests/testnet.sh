#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command on a private virtual LAN, so that nothing it broadcasts can
# reach a real network.
#
#   testnet.sh [--hosts N] [--segments 1|2 | --routed] [--pool N] [--pool-net CIDR] -- COMMAND [ARG...]
#
# The LAN lives in anonymous network namespaces: a "switch" namespace holding
# a bridge, and N hosts (default 2), each joined to the bridge by a veth link
# named obx0, with lo up, one address and a default route through obx0 so that
# 255.255.255.255 leaves on the segment. Host i has 192.0.2.i/24 (TEST-NET-1).
# With two segments, a second bridge makes a second segment, 198.51.100.0/24
# (TEST-NET-2): host 1 is on both (obx1, 198.51.100.1, no default route
# there), host 2 on the first only, and every later host i on the second only,
# as 198.51.100.i.
# --routed builds the two segments as a site with a router would: host 2 is
# the router, on both segments (obx0 and obx1) and forwarding between them;
# hosts 1 and 3 are on the first only, every later host on the second only,
# and each host's default route leads through the router. No broadcast
# crosses it until a relay runs there.
# The last host also carries a pool of secondary addresses (default 100, .100
# onwards on its segment), so that one process there can stand for many peers.
# A larger pool can be put on a network of its own with --pool-net, e.g.
# 198.18.0.0/15, which the hosts then also route.
#
# COMMAND runs on host 1. It finds the other hosts in the environment:
#   OBX_TESTNET          set to 1
#   OBX_TESTNET_HOSTS    the process ids holding host 1..N's namespaces
#   OBX_TESTNET_ADDRS    their addresses
#   OBX_TESTNET_POOL     the pool: "FIRST-ADDRESS COUNT"
# and can start programs there with: nsenter -t PID -n -- PROGRAM.
#
# Anonymous namespaces vanish with their last process, so nothing outlives
# the run, whether the command fails, is interrupted or the runner is killed.
set -euo pipefail

hosts=2
segments=1
routed=0
pool=100
pool_net=""
while [ $# -gt 0 ]; do
    case "$1" in
        --hosts) hosts="$2"; shift 2 ;;
        --segments) segments="$2"; shift 2 ;;
        --routed) routed=1; segments=2; shift ;;
        --pool) pool="$2"; shift 2 ;;
        --pool-net) pool_net="$2"; shift 2 ;;
        --) shift; break ;;
        *) echo "testnet.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: testnet.sh [--hosts N] [--segments 1|2 | --routed] [--pool N] [--pool-net CIDR] -- COMMAND..." >&2; exit 2; }
case "$segments" in 1|2) ;; *) echo "testnet.sh: --segments must be 1 or 2" >&2; exit 2 ;; esac

if [ "${OBX_TESTNET_SWITCH:-}" != "$$" ]; then
    # Enter a fresh network namespace (and, unprivileged, a user namespace
    # that makes us root in it), then run this script again there.
    unshare_flags=(-n)
    [ "$(id -u)" -eq 0 ] || unshare_flags=(-rn)
    exec unshare "${unshare_flags[@]}" -- env OBX_TESTNET_SWITCH=self \
        bash -c 'OBX_TESTNET_SWITCH=$$ exec bash "$0" "$@"' "$0" \
        --hosts "$hosts" --segments "$segments" $([ "$routed" -eq 0 ] || echo --routed) --pool "$pool" --pool-net "$pool_net" -- "$@"
fi

holders=()
cleanup() { [ ${#holders[@]} -eq 0 ] || kill -KILL "${holders[@]}" 2>/dev/null || true; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip link set lo up
networks=(192.0.2 198.51.100)
for segment in $(seq 0 $((segments - 1))); do
    ip link add "obxbr$segment" type bridge
    ip link set "obxbr$segment" up
done

in_host() { local pid="$1"; shift; nsenter -t "$pid" -n -- "$@"; }

start_host() {
    # The holder dies with this script (parent-death signal), taking the
    # namespace with it.
    setpriv --pdeathsig KILL unshare -n -- sleep infinity &
    local pid=$!
    local self_ns
    self_ns=$(readlink /proc/self/ns/net)
    local tries=0
    until [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" != "$self_ns" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 500 ] || { echo "testnet.sh: host namespace did not appear" >&2; exit 1; }
        sleep 0.01
    done
    holders+=("$pid")
}

# Joins host i (namespace holder pid) to a segment through its link named link.
attach() {
    local i="$1" pid="$2" segment="$3" link="$4"
    ip link add "obxs$i-$segment" type veth peer name "$link" netns "$pid"
    ip link set "obxs$i-$segment" master "obxbr$segment" up
    in_host "$pid" ip addr add "${networks[$segment]}.$i/24" dev "$link"
    in_host "$pid" ip link set "$link" up
}

# The host on both segments, and where each segment's hosts send what is
# not on their own segment.
on_both=1
last_on_first=2
gateways=(dev dev)
if [ "$routed" -eq 1 ]; then
    on_both=2
    last_on_first=3
    gateways=("via ${networks[0]}.2 dev" "via ${networks[1]}.2 dev")
fi

addrs=()
for i in $(seq 1 "$hosts"); do
    start_host
    pid="${holders[-1]}"
    in_host "$pid" ip link set lo up
    segment=0
    [ "$segments" -eq 1 ] || [ "$i" -le "$last_on_first" ] || segment=1
    attach "$i" "$pid" "$segment" obx0
    [ "$segments" -eq 1 ] || [ "$i" -ne "$on_both" ] || attach "$i" "$pid" 1 obx1
    if [ "$routed" -eq 1 ] && [ "$i" -eq 2 ]; then
        in_host "$pid" sysctl -qw net.ipv4.ip_forward=1
        in_host "$pid" ip route add default dev obx0
    else
        # shellcheck disable=SC2086 # "dev" or "via ADDRESS dev"
        in_host "$pid" ip route add default ${gateways[$segment]} obx0
    fi
    [ -z "$pool_net" ] || in_host "$pid" ip route add "$pool_net" dev obx0
    addrs+=("${networks[$segment]}.$i")
done

ip_to_int() { local IFS=.; set -- $1; echo $(( ($1 << 24) | ($2 << 16) | ($3 << 8) | $4 )); }
int_to_ip() { echo "$(( ($1 >> 24) & 255 )).$(( ($1 >> 16) & 255 )).$(( ($1 >> 8) & 255 )).$(( $1 & 255 ))"; }

if [ -n "$pool_net" ]; then
    pool_first=$(int_to_ip $(( $(ip_to_int "${pool_net%/*}") + 1 )))
else
    pool_first="${networks[$segment]}.100"
fi
first=$(ip_to_int "$pool_first")
for n in $(seq 0 $((pool - 1))); do
    echo "addr add $(int_to_ip $((first + n)))/32 dev obx0"
done | in_host "${holders[-1]}" ip -batch -

export OBX_TESTNET=1
export OBX_TESTNET_HOSTS="${holders[*]}"
export OBX_TESTNET_ADDRS="${addrs[*]}"
export OBX_TESTNET_POOL="$pool_first $pool"
unset OBX_TESTNET_SWITCH
status=0
in_host "${holders[0]}" "$@" || status=$?
exit "$status"
