#!/usr/bin/env bash
# Installs what is missing, builds normally and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test suite in both builds under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

SENDRAL_ASAN=1 bash scripts/setup.sh

# Leaks are checked; the toolkit's own font and drawing caches are not the program's.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# GTK's own caches and themes are not the program's: keep their noise out of the logs.
export NO_AT_BRIDGE=1

status=0
for dir in build build-asan; do
    echo "== tests in $dir"
    # -noreset: the server must not restart each time its last client leaves, or a suite
    # that starts just then cannot open the display.
    (cd "$dir" && xvfb-run -a -s "-screen 0 1024x768x24 -noreset" ctest --output-on-failure -j2) ||
        status=1
done
exit $status
