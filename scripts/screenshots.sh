#!/usr/bin/env bash
# Takes the README's screenshot of the main window on a virtual screen: docs/main-window.png.
# Needs the build (scripts/setup.sh) and imagemagick's import.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p docs
xvfb-run -a -s "-screen 0 1800x1400x24" bash -c '
    build/src/TavroSendral >/dev/null &
    pid=$!
    sleep 2
    import -window root -crop 800x600+0+0 docs/main-window.png
    kill $pid'
echo "wrote docs/main-window.png"
