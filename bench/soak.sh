#!/usr/bin/env bash
# The long run: AutoRepeat with bus events and /INT for [minutes] (default 10), then
# [cycles] (default 500) link openings and closings, against the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --build build --target soak -j"$(nproc)"
xvfb-run -a -s "-screen 0 1024x768x24" build/bench/soak "${1:-10}" "${2:-500}"
