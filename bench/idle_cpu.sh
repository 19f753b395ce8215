#!/usr/bin/env bash
# CPU used by the idle program (window open, link closed) over 10 s, as a share of one core.
# Usage: bench/idle_cpu.sh [path to TavroSendral] [seconds]; needs a display or xvfb-run.
set -euo pipefail
program=${1:-build/src/TavroSendral}
seconds=${2:-10}
"$program" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
sleep 2 # let it start and settle
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
    'BEGIN { printf "idle CPU over %d s: %.3f s = %.3f%% of one core\n", s, t / hz, 100 * t / hz / s }'
