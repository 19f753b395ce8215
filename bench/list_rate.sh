#!/usr/bin/env bash
# Passes per second of `tavro-i2c run` over a 50-message list of one-byte writes with delay 0,
# against `tavro-sim --timing real` at 19200, 57600 and 115200 bit/s, next to the line's own
# limit: per message 170 bit times (the slave select and the write out, /MTC back, 10 bit
# times a byte) and 20 I2C clocks at 100 kHz. A pass is timed from the first transfer's
# command to the last one's reply, as the run's log records them: the link's opening and
# closing are not in it. Beside it, per message: the mean round trip, the line's own time and
# the mean time from a reply to the next command (the runner's own share).
# On a machine busy with other work the wake-ups of the simulator and the runner wait for a
# CPU; LIST_RATE_RT=1 runs both with real-time scheduling (chrt -f 10: root or CAP_SYS_NICE),
# which keeps the measure to the line and the programs.
#   [LIST_RATE_RT=1] bench/list_rate.sh [passes per rate]     (default 200)
set -euo pipefail
cd "$(dirname "$0")/.."
passes=${1:-200}
cmake --build build --target tavro-i2c tavro-sim -j2 >/dev/null
work=$(mktemp -d)
sim=
run=()
[ -n "${LIST_RATE_RT:-}" ] && run=(chrt -f 10)
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT
{
    echo "QVT I2C Message List File V2"
    for _ in $(seq 50); do echo '$4E,W,Y,$0000,A5,'; done
    printf 'AutoRepeat = OFF\nSendOnInt = OFF\nEnd of Sequence\n'
} >"$work/list.iml"

printf '| bit/s  | passes/s | line limit | ratio | round trip | line time | between |\n'
printf '|-------:|---------:|-----------:|------:|-----------:|----------:|--------:|\n'
for rate in 19200 57600 115200; do
    "${run[@]}" build/sim/tavro-sim --timing real --quiet </dev/null >"$work/sim.out" &
    sim=$!
    port=
    for _ in $(seq 400); do
        port=$(head -1 "$work/sim.out")
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || { echo "tavro-sim did not start" >&2; exit 1; }
    "${run[@]}" build/cli/tavro-i2c run -y -p "$port" -b "$rate" --count "$passes" --log "$work/log.csv" \
        "$work/list.iml" >/dev/null
    kill "$sim"
    wait "$sim" 2>/dev/null || true
    sim=
    # Per message: the mean round trip next to the line's own time, and the mean time from a
    # reply to the next command, which is the runner's own share.
    awk -F, -v rate="$rate" -v passes="$passes" '
        NR == 2 { first = $2 }
        NR > 2 { between += $2 - last; n++ }
        NR > 1 { last = $2 + $9 / 1000; trip += $9; if ($8 != "ok") bad++ }
        END {
            if (bad) { print "not every transfer was ok" > "/dev/stderr"; exit 1 }
            per_message = 170 / rate + 20 / 100000
            limit = 1 / (50 * per_message)
            got = passes / (last - first)
            printf "| %6d | %8.2f | %10.2f | %5.2f | %7.3f ms | %6.3f ms | %4.0f us |\n", rate, got,
                   limit, got / limit, trip / (n + 1), 1000 * per_message, 1e6 * between / n
        }' "$work/log.csv"
done
