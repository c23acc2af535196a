#!/bin/bash
# Measures an agent that is logged in to the stand-in test manager and otherwise idle: CPU time
# and memory after a minute (or the seconds given first), with run pings every 5 s.
# Usage: bench/agent_idle.sh [seconds] [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build}
work=$(mktemp -d)
trap 'kill $agent $manager 2>/dev/null || true; rm -rf "$work"' EXIT

cat > "$work/plan.json" <<'PLAN'
{ "accounts": [ { "token": "IDLE1" } ],
  "agents": [ { "token": "IDLE1", "pingPeriodS": 5 } ] }
PLAN
"$build/testmanager/testmanager" --listen 127.0.0.1:0 --plan "$work/plan.json" --log "$work/log.jsonl" > "$work/out" &
manager=$!
for _ in $(seq 50); do grep -q listening "$work/out" 2>/dev/null && break; sleep 0.1; done
address=$(sed -n 's/^listening on //p' "$work/out")
cp "$build/NorvastelleRavidadIrerod" "$work/NorvastelleRavidadIrerod-tokenIDLE1-host$address"
"$work/NorvastelleRavidadIrerod-tokenIDLE1-host$address" -platform offscreen 2>/dev/null &
agent=$!
sleep 3
read -r _ _ _ _ _ _ _ _ _ _ _ _ _ utime0 stime0 _ < "/proc/$agent/stat"
sleep "$seconds"
read -r _ _ _ _ _ _ _ _ _ _ _ _ _ utime1 stime1 _ < "/proc/$agent/stat"
ticks=$(getconf CLK_TCK)
cpu_ms=$(( (utime1 + stime1 - utime0 - stime0) * 1000 / ticks ))
echo "idle, logged in for ${seconds} s: CPU ${cpu_ms} ms ($(awk -v c="$cpu_ms" -v s="$seconds" 'BEGIN{printf "%.3f", c/(s*10)}') % of one core)"
grep -E 'VmRSS|VmHWM' "/proc/$agent/status"
echo "run pings seen by the test manager: $(grep -c '"kind":"runPing"' "$work/log.jsonl")"
