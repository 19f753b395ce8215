#!/usr/bin/env bash
# Prints the size of the test sources against the program and simulator sources, and their
# ratio. A line counts when it holds something besides white space and a comment.
#
# Test sources: every C++ and Python file under tests/, and any other C++ file that holds test
# cases or test helpers (it includes GoogleTest). Program sources: core/, src/, cli/, python/,
# i2cdev/ and sim/ without those. The fuzz targets and the benchmarks count on neither side.
set -euo pipefail
cd "$(dirname "$0")/.."

code_lines() {
    # Drops blank lines, // comment lines and the lines of /* */ comments.
    awk '
        in_block { if (index($0, "*/")) in_block = 0; next }
        /^[ \t]*$/ { next }
        /^[ \t]*\/\// { next }
        /^[ \t]*#[^a-z]/ { next }
        /^[ \t]*\/\*/ { if (!index($0, "*/")) in_block = 1; next }
        { n++ }
        END { print n + 0 }
    ' "$@" /dev/null
}

cpp_files() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.cc' -o -name '*.py' \) | sort
}

is_test() {
    case "$1" in
    tests/*) return 0 ;;
    esac
    case "$1" in
    *.py) return 1 ;;
    esac
    grep -q '#include <gtest/' "$1"
}

tests=()
program=()
while IFS= read -r f; do
    case "$f" in fuzz/* | bench/*) continue ;; esac
    if is_test "$f"; then
        tests+=("$f")
    else
        program+=("$f")
    fi
done < <(cpp_files $(ls -d core src cli python sim i2cdev tests 2>/dev/null))

t=$(code_lines "${tests[@]}")
p=$(code_lines "${program[@]}")
printf 'tests:               %6d lines in %d files\n' "$t" "${#tests[@]}"
printf 'program:             %6d lines in %d files\n' "$p" "${#program[@]}"
awk -v t="$t" -v p="$p" 'BEGIN { printf "ratio:               %6.1f %%  (aim: 25 to 35 %%)\n", 100 * t / p }'
