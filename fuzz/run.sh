#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ (clang++, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs one of them under Xvfb.
#
#   fuzz/run.sh replies|listfile|framer|syntax|telnet|regmap|i2cdev [SECONDS] [libFuzzer options...]   fuzz (default 600 s)
#   fuzz/run.sh replies|listfile|framer|syntax|telnet|regmap|i2cdev merge                              minimise into fuzz/corpus/
#
# The run starts from fuzz/corpus/TARGET and keeps what it finds in build-fuzz/corpus-TARGET/;
# a failing input is written to build-fuzz/artifacts/ (once fixed, it belongs in
# fuzz/regress/TARGET/). "merge" folds the grown corpus into the checked-in one, keeping only
# inputs that add coverage.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: fuzz/run.sh replies|listfile|framer|syntax|telnet|regmap|i2cdev [SECONDS|merge] [libFuzzer options...]}
case "$target" in replies|listfile|framer|syntax|telnet|regmap|i2cdev) ;; *) echo "unknown target: $target" >&2; exit 2 ;; esac
# The framer reads what the adapter sends, as the replies target does.
dict=fuzz/${target/framer/replies}.dict
[ "$target" = telnet ] && dict=fuzz/telnet.dict
dicts=(-dict="$dict")
# The socket's requests are binary: no dictionary helps them.
[ "$target" = i2cdev ] && dicts=()
mode=${2:-600}
# tavro-i2c's arguments are short: 128 bytes hold a command line of some twenty of them, and
# keep the parser's runs well above 10,000 a second.
limits=()
[ "$target" = syntax ] && limits=(-max_len=128)
# A map is a few kilobytes; 4096 bytes hold a chip of some thirty registers.
[ "$target" = regmap ] && limits=(-max_len=4096)
shift $(( $# < 2 ? $# : 2 ))

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSENDRAL_FUZZ=ON -DSENDRAL_TESTS=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$target"

fuzzer=build-fuzz/fuzz/fuzz_$target
grown=build-fuzz/corpus-$target
seeds=fuzz/corpus/$target
mkdir -p "$grown" build-fuzz/artifacts

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:quarantine_size_mb=64
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export NO_AT_BRIDGE=1

run() { xvfb-run -a -s "-screen 0 1024x768x24" "$fuzzer" "$@"; }

if [ "$mode" = merge ]; then
    # Rewrite the checked-in corpus as the smallest set covering both.
    old=$(mktemp -d)
    cp -a "$seeds"/. "$old"/
    find "$seeds" -type f -delete
    run -merge=1 "${dicts[@]}" "$seeds" "$old" "$grown"
    rm -rf "$old"
    echo "corpus: $(find "$seeds" -type f | wc -l) files, $(du -sh "$seeds" | cut -f1)"
else
    # A run leaves the toolkit's caches a little bigger almost every time, and libFuzzer then
    # scans for leaks after that input, at a thirtieth of the speed: leaks are looked for once,
    # at the end of the run, instead.
    run -max_total_time="$mode" "${dicts[@]}" -detect_leaks=0 "${limits[@]}" \
        -artifact_prefix="build-fuzz/artifacts/$target-" "$@" "$grown" "$seeds" "fuzz/regress/$target"
fi
