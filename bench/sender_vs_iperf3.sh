#!/bin/bash
# One sender stream of this agent against iperf3 -u, both on loopback in the same run:
#   1. maximum packet rate with 24-, 192- and 1400-byte payloads (a target far above what the
#      machine can send), and CPU time per million packets sent;
#   2. pacing accuracy over 10 s at 64 kbit/s (192-byte packets), 1 Mbit/s (192 bytes) and
#      100 Mbit/s (1400 bytes): achieved / target for each tool against its own target (the
#      stream's target is given in bits per second, iperf3's -b as a plain number, so both are
#      powers of 1000 here).
# The stream sends to a sink process that drains its socket; iperf3 sends to its own server.
# CPU time: the stream's process from start to join (getrusage, its sink not counted), iperf3's
# client process (bash's time: user + system of the child).
# Usage: bench/sender_vs_iperf3.sh [max-rate seconds, default 5] [pacing seconds, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
maxSeconds=${1:-5}
pacingSeconds=${2:-10}
build=build-bench

if ! command -v iperf3 >/dev/null; then
    echo "installing iperf3" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y iperf3 >/dev/null || { apt-get update >/dev/null && apt-get install -y iperf3 >/dev/null; }
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNRI_BUILD_TESTS=OFF \
    -DNRI_BUILD_BENCHMARKS=ON >/dev/null
ninja -C "$build" bench_udpsender >/dev/null
bench="$build/bench/bench_udpsender"

work=$(mktemp -d)
sinkPid=""
serverPid=""
cleanup() {
    [ -n "$sinkPid" ] && kill "$sinkPid" 2>/dev/null || true
    [ -n "$serverPid" ] && kill "$serverPid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

freePort() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
sinkPort=$(freePort)
serverPort=$(freePort)

"$bench" sink "$sinkPort" > "$work/sink.out" &
sinkPid=$!
iperf3 -s -B 127.0.0.1 -p "$serverPort" > "$work/server.out" 2>&1 &
serverPid=$!
for _ in $(seq 50); do grep -q ready "$work/sink.out" 2>/dev/null && break; sleep 0.1; done
sleep 0.5

# ours <payload> <bits/s> <seconds>: "packets bytes seconds bps cpu_s mallocs"
ours() {
    "$bench" send "$sinkPort" "$1" "$2" "$3" 2>/dev/null |
        sed -n 's/^packets=\([0-9]*\) bytes=\([0-9]*\) seconds=\([0-9.]*\) bps=\([0-9.]*\) cpu_s=\([0-9.]*\) mallocs=\([0-9]*\)$/\1 \2 \3 \4 \5 \6/p'
}

# theirs <payload> <-b value> <seconds>: "packets bytes seconds bps cpu_s"
theirs() {
    local timing
    timing=$( { TIMEFORMAT='%3U %3S'; time iperf3 -c 127.0.0.1 -p "$serverPort" -u -l "$1" -b "$2" \
        -t "$3" --json > "$work/client.json" 2> "$work/client.err"; } 2>&1 )
    python3 - "$work/client.json" "$timing" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))
end = report["end"]
s = end.get("sum_sent") or end["sum"]
user, system = (float(x) for x in sys.argv[2].split())
packets = s.get("packets") or end["sum"]["packets"]
print(packets, s["bytes"], s["seconds"], s["bits_per_second"], user + system)
PY
}

echo "Maximum packet rate, ${maxSeconds} s per run (one stream / one iperf3 client, loopback)"
printf '%-8s | %14s %14s %7s | %14s %14s %7s | %13s\n' payload "agent pkt/s" "iperf3 pkt/s" ratio \
    "agent CPU/Mpkt" "iperf3 CPU/Mpkt" ratio "agent mallocs"
for size in 24 192 1400; do
    # The highest target whose packets per 10 ms tick stay within 100000.
    target=2147483647
    [ "$size" -lt 100 ] && target=1900000000
    read -r oPackets _ oSeconds _ oCpu oMallocs <<< "$(ours "$size" "$target" "$maxSeconds")"
    read -r tPackets _ tSeconds _ tCpu <<< "$(theirs "$size" 100G "$maxSeconds")"
    awk -v s="$size" -v op="$oPackets" -v os="$oSeconds" -v oc="$oCpu" -v om="$oMallocs" \
        -v tp="$tPackets" -v ts="$tSeconds" -v tc="$tCpu" 'BEGIN {
        orate = op / os; trate = tp / ts; ocpu = oc / op * 1e6; tcpu = tc / tp * 1e6;
        printf "%-8s | %14.0f %14.0f %7.3f | %12.3f s %13.3f s %7.3f | %13d\n",
            s " B", orate, trate, orate / trate, ocpu, tcpu, ocpu / tcpu, om }'
done

echo "(agent mallocs: heap allocations of the whole agent process from the stream's start to its join)"
echo
echo "Pacing accuracy over ${pacingSeconds} s (achieved payload bit rate / own target)"
printf '%-22s | %14s %9s | %14s %9s\n' target "agent bit/s" "agent" "iperf3 bit/s" "iperf3"
for target in "64000 192" "1000000 192" "100000000 1400"; do
    read -r bps size <<< "$target"
    read -r _ _ _ oBps _ _ <<< "$(ours "$size" "$bps" "$pacingSeconds")"
    read -r _ _ _ tBps _ <<< "$(theirs "$size" "$bps" "$pacingSeconds")"
    awk -v b="$bps" -v s="$size" -v o="$oBps" -v t="$tBps" 'BEGIN {
        printf "%-22s | %14.0f %8.4f%% | %14.0f %8.4f%%\n", b " bit/s, " s " B", o, o / b * 100, t, t / b * 100 }'
done

kill "$sinkPid" 2>/dev/null || true
wait "$sinkPid" 2>/dev/null || true
sinkPid=""
echo
echo "sink: $(grep received "$work/sink.out" || echo 'no count')  (packets and bytes of every agent run together)"
