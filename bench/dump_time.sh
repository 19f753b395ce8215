#!/usr/bin/env bash
# Time of "tavro-i2c dump" of all 256 registers of the simulated EEPROM, modes b and i, against
# tavro-sim with real timing at 115200 bit/s and a 100 kHz I2C clock, next to the line's limit.
# The limit counts 10 bit times per character each way (commands and replies, one exchange
# after the other) and 9 I2C clocks per byte on the bus plus a start and a stop:
#   mode b, per register: /dA0 /*t~RR and /MTC, /dA0 /r1 and /MRC HH; 2 + 2 bytes on the bus
#   mode i, per 32 registers: /dA0 /*t~RR and /MTC, /dA0 /r32 and /MRC with 32 " HH"; 2 + 33
# The opening and closing of the link (a get of one register, less its own exchanges) is
# measured apart and taken off. Usage: bench/dump_time.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cmake --build build --target tavro-i2c tavro-sim -j2 >/dev/null
fifo=$(mktemp -u)
mkfifo "$fifo"
sleep 3600 >"$fifo" &
holder=$!
out=$(mktemp)
build/sim/tavro-sim --quiet --timing real <"$fifo" >"$out" &
sim=$!
trap 'kill $sim $holder 2>/dev/null || true; rm -f "$fifo" "$out"' EXIT
for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
port=$(head -1 "$out")

best() { # the shortest of $runs runs of tavro-i2c with these arguments, in seconds
    local t min= took
    took=$(mktemp)
    for _ in $(seq "$runs"); do
        /usr/bin/time -f %e -o "$took" build/cli/tavro-i2c "$@" -p "$port" >/dev/null 2>&1
        t=$(cat "$took")
        min=$(awk -v a="$t" -v b="${min:-$t}" 'BEGIN { print (a < b ? a : b) }')
    done
    rm -f "$took"
    echo "$min"
}
limit() { # characters on the line and I2C clocks, per exchange pair, times count
    awk -v chars="$1" -v clocks="$2" -v n="$3" \
        'BEGIN { printf "%.3f", n * (chars * 10 / 115200 + clocks / 100000) }'
}
one_b=$(limit $((5 + 7 + 6 + 5 + 4 + 9)) $((2 * 9 + 2 + 2 * 9 + 2)) 1)
block_i=$(limit $((5 + 7 + 6 + 5 + 5 + 4 + 32 * 3 + 2)) $((2 * 9 + 2 + 33 * 9 + 2)) 1)
overhead=$(awk -v g="$(best get -y 0x50 0x00)" -v b="$one_b" 'BEGIN { print g - b }')
for mode in b i; do
    total=$(best dump -y 0x50 "$mode")
    line=$( [ "$mode" = b ] && limit 36 40 256 || limit 130 319 8 )
    awk -v m="$mode" -v t="$total" -v o="$overhead" -v l="$line" 'BEGIN {
        d = t - o
        printf "dump mode %s: %.2f s in all, %.2f s for the 256 registers; line limit %.3f s (%.0f%% of it)\n",
               m, t, d, l, 100 * l / d }'
done
echo "opening and closing the link: $overhead s; one register in mode b: $one_b s on the line, a block in mode i: $block_i s"
