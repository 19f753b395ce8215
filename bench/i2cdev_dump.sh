#!/usr/bin/env bash
# i2cdump through "tavro-i2c exec" against "tavro-i2c dump": all 256 registers of the simulated
# EEPROM in mode b (256 SMBus reads, each two I2C messages), against tavro-sim with real
# timing at 115200 bit/s. Prints the best of the runs for each, their ratio (the aim is 1.1 at
# most) and what exec adds per transaction; the start of the program and of its link is
# measured apart with a single read (i2cget against get) and shown on its own.
# Exec puts two more processes in each transaction's path (the program and exec's server), so
# on a loaded machine every hand-over waits for a core: I2CDEV_BENCH_RT=1 runs the simulator
# and the commands under real-time scheduling (chrt -f 10; needs the right to), which takes
# the other load out of the comparison.
# Usage: [I2CDEV_BENCH_RT=1] bench/i2cdev_dump.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
cmake --build build --target tavro-i2c tavro-i2cdev tavro-sim -j2 >/dev/null
fifo=$(mktemp -u)
mkfifo "$fifo"
sleep 3600 >"$fifo" &
holder=$!
out=$(mktemp)
rt=()
[ "${I2CDEV_BENCH_RT:-0}" = 1 ] && rt=(chrt -f 10)
"${rt[@]}" build/sim/tavro-sim --quiet --timing real <"$fifo" >"$out" &
sim=$!
trap 'kill $sim $holder 2>/dev/null || true; rm -f "$fifo" "$out"' EXIT
for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
port=$(head -1 "$out")
tool=build/cli/tavro-i2c

best() { # the shortest of $runs runs of the command, in seconds
    local t min= took
    took=$(mktemp)
    for _ in $(seq "$runs"); do
        "${rt[@]}" /usr/bin/time -f %e -o "$took" "$@" >/dev/null 2>&1
        t=$(cat "$took")
        min=$(awk -v a="$t" -v b="${min:-$t}" 'BEGIN { print (a < b ? a : b) }')
    done
    rm -f "$took"
    echo "$min"
}
dump=$(best "$tool" dump -y -p "$port" 0x50 b)
through=$(best "$tool" exec -p "$port" -- i2cdump -y 0 0x50 b)
get=$(best "$tool" get -y -p "$port" 0x50 0x00)
one=$(best "$tool" exec -p "$port" -- i2cget -y 0 0x50 0x00)
awk -v d="$dump" -v e="$through" -v g="$get" -v o="$one" 'BEGIN {
    printf "tavro-i2c dump 0x50 b:               %.2f s\n", d
    printf "exec -- i2cdump -y 0 0x50 b:         %.2f s (%.3f times)\n", e, e / d
    printf "added per transaction, all in:       %.0f us (256 transactions)\n", (e - d) / 256 * 1e6
    printf "start of exec and its program:       %.0f ms (exec -- i2cget %.2f s, get %.2f s)\n",
           (o - g) * 1e3, o, g
    printf "added per transaction, start apart:  %.0f us\n", ((e - d) - (o - g)) / 256 * 1e6
}'
