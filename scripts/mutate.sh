#!/usr/bin/env bash
# Mutation check of the test suite: applies each seeded fault of scripts/mutations.txt, one at
# a time, to a scratch copy of the repository, rebuilds it (AddressSanitizer and
# UndefinedBehaviorSanitizer, as CI's second build), runs the whole suite under Xvfb, and
# prints which tests caught the fault. A test counts as catching a fault only if it fails again
# when run once more, so a test that failed by chance does not count.
#
#   scripts/mutate.sh [FAULT-ID ...]     all faults, or only those named (e.g. F01 F17)
#
# Environment: MUTATE_DIR (scratch folder, default /tmp/sendral-mutate), MUTATE_JOBS (build
# and test jobs, default 2). The summary table also goes to $MUTATE_DIR/results.md.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=${MUTATE_DIR:-/tmp/sendral-mutate}
jobs=${MUTATE_JOBS:-2}
mkdir -p "$work"

# The scratch copy: sources as they are now (committed or not), all newer than its build folder,
# which is kept from one run to the next but brought up to date at its start.
rm -rf "$work/tree"
mkdir -p "$work/tree"
tar -C "$repo" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$work/tree" -xmf -
faults_file=$work/tree/scripts/mutations.txt
cmake -S "$work/tree" -B "$work/build" -DCMAKE_BUILD_TYPE=Debug -DSENDRAL_SANITIZE=ON \
      -DSENDRAL_TESTS=ON >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$work/tree/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export NO_AT_BRIDGE=1

# One fault: "apply ID" writes the faulty file, "revert ID" the original; "list" prints the
# IDs with their units and texts, tab-separated.
fault() {
    python3 - "$faults_file" "$work/tree" "$@" <<'EOF'
import re, sys
path, tree, action = sys.argv[1], sys.argv[2], sys.argv[3]
want = sys.argv[4] if len(sys.argv) > 4 else None
faults, cur, mode = [], None, None
for line in open(path).read().split('\n'):
    if mode in ('old', 'new'):
        if line in ('===', '>>>'):
            mode = 'new' if line == '===' else None
        else:
            cur[mode].append(line)
        continue
    m = re.match(r'== (\S+) \| ([^|]+) \| (.*)$', line)
    if m:
        cur = {'id': m[1], 'unit': m[2].strip(), 'what': m[3].strip(), 'old': [], 'new': []}
        faults.append(cur)
    elif line == '<<<':
        mode = 'old'
    elif cur is not None and line and not line.startswith('#') and 'file' not in cur:
        cur['file'] = line.strip()
if action == 'list':
    for f in faults:
        print(f"{f['id']}\t{f['unit']}\t{f['what']}")
    sys.exit(0)
f = next((f for f in faults if f['id'] == want), None)
if f is None:
    sys.exit(f"no fault {want}")
target = f"{tree}/{f['file']}"
pristine = f"{tree}/{f['file']}.pristine"
if action == 'apply':
    text = open(target).read()
    old = '\n'.join(f['old']) + '\n'
    new = '\n'.join(f['new']) + '\n' if f['new'] else ''
    if text.count(old) != 1:
        sys.exit(f"{want}: the text to replace occurs {text.count(old)} times in {f['file']}")
    open(pristine, 'w').write(text)
    open(target, 'w').write(text.replace(old, new))
elif action == 'revert':
    import os
    if os.path.exists(pristine):
        os.replace(pristine, target)
        os.utime(target)  # newer than what the fault built, so that it is built again
EOF
}

# Runs the suite; prints the names of the tests that failed, one per line. When only a few
# failed, they run once more and only those failing again count: a test that fails by chance
# does not catch a fault. A test gets 20 s, several times what the slowest needs.
failing_tests() {
    local log=$work/ctest.log failed
    (cd "$work/build" && ctest -j"$jobs" --timeout 20 >"$log" 2>&1) && return 0
    failed=$(sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \(.*\) ([^()]*)$/\1/p' "$log")
    if [ "$(echo "$failed" | wc -l)" -le 5 ]; then
        (cd "$work/build" && ctest -j"$jobs" --timeout 20 --rerun-failed >"$log" 2>&1) && return 0
        failed=$(sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \(.*\) ([^()]*)$/\1/p' "$log")
    fi
    echo "$failed"
}

# Everything the suite runs; the benchmarks are no part of it.
build() {
    local targets
    targets=$(cmake --build "$work/build" --target help |
        sed -n 's/^\.\.\. \([A-Za-z_][A-Za-z0-9_-]*\)$/\1/p' |
        grep -vxE 'clean|depend|edit_cache|install|list_install_components|rebuild_cache|test|package|package_source|send_rate|soak')
    # shellcheck disable=SC2086
    cmake --build "$work/build" -j"$jobs" --target $targets
}

run_all() {
    local ids=("$@")
    if [ ${#ids[@]} -eq 0 ]; then
        mapfile -t ids < <(fault list | cut -f1)
    fi
    echo "== building the scratch copy"
    build >/dev/null
    echo "== the suite without faults"
    local base
    base=$(failing_tests)
    if [ -n "$base" ]; then
        echo "the suite fails without any fault; fix that first:" >&2
        echo "$base" >&2
        exit 1
    fi

    local results=$work/results.md caught=0 total=0 survivors=() broken=()
    {
        echo "| fault | unit | what goes wrong | caught by |"
        echo "|---|---|---|---|"
    } >"$results"
    # The list comes on descriptor 3: the builds and tests must not eat it from standard input.
    while IFS=$'\t' read -r -u 3 id unit what; do
        [[ " ${ids[*]} " == *" $id "* ]] || continue
        local names="" verdict
        if ! fault apply "$id"; then
            verdict="NOT APPLIED: the code changed; update scripts/mutations.txt"
            broken+=("$id")
        elif ! build >"$work/build.log" 2>&1; then
            verdict="DOES NOT BUILD"
            broken+=("$id")
        else
            total=$((total + 1))
            names=$(failing_tests </dev/null | sort | paste -sd ',' - | sed 's/,/, /g')
            if [ -n "$names" ]; then
                caught=$((caught + 1))
                verdict="$(echo "$names" | tr ',' '\n' | wc -l) test(s): $names"
            else
                verdict="SURVIVED"
                survivors+=("$id")
            fi
        fi
        fault revert "$id"
        printf '%s %-22s %s\n' "$id" "$unit" "$verdict"
        echo "| $id | $unit | $what | $verdict |" >>"$results"
    done 3< <(fault list)
    # The last revert must be built too, so that the next run starts from the clean tree.
    build >/dev/null
    echo
    echo "caught $caught of $total faults; survived: ${survivors[*]:-none}"
    [ ${#broken[@]} -eq 0 ] || echo "not tried (see the table): ${broken[*]}"
    echo "table: $results"
}

xvfb-run -a -s "-screen 0 1024x768x24 -noreset" bash -c "$(declare -f fault failing_tests build run_all); \
    faults_file='$faults_file' work='$work' jobs='$jobs' run_all $*"
