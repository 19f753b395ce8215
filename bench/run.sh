#!/usr/bin/env bash
# Builds and runs the benchmarks: the send rate and the CPU per message against the simulator
# (instant timing, then real timing at each rate, with and without a USB latency timer, next to
# what a bare client reaches), the idle CPU, the time of a tavro-i2c dump and the passes per
# second of tavro-i2c run and the Python module's read_byte_data calls a second against the
# line's limit, and the transactions a second over rfc2217:// through ser2net against the port.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --build build --target send_rate TavroSendral tavro-i2c tavro-sim tavro rfc2217_rate -j"$(nproc)"
xvfb-run -a -s "-screen 0 1024x768x24" build/bench/send_rate "${1:-10}"
xvfb-run -a -s "-screen 0 1024x768x24" bench/idle_cpu.sh build/src/TavroSendral 10
bash bench/dump_time.sh 3
bash bench/list_rate.sh
PYTHONPATH=build/python /usr/bin/python3 bench/python_rate.py build/sim/tavro-sim 5
build/bench/rfc2217_rate build/sim/tavro-sim 5 3
