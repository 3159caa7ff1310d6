#!/usr/bin/env bash
# Builds the fuzz targets (fuzz preset: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a given time, one after the
# other, starting from its committed seeds (fuzz/corpus/<target>/) and the
# corpus it grew in earlier runs (build/fuzz/work/<target>/corpus/).
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60 s, all targets)
#
# Prints per target the executions, the coverage (edges and features) and the
# findings; a finding's input is kept in build/fuzz/work/<target>/ as
# crash-*, leak-*, timeout-* or oom-*, and its report in
# build/fuzz/work/<target>.log. Exits 1 when any target had a finding.
# Every target runs inside an instrument root of its own (see host/root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
case $seconds in
    '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzzers -j 2 >/dev/null

# The largest input worth trying per target: a whole diagnostic log (1000
# records of 60 bytes) for the record logs, a long flash map, a record well
# past the longest one, four short files.
max_len_of() {
    case $1 in
        recordlog) echo 65536 ;;
        flashmap) echo 4096 ;;
        guimessage) echo 512 ;;
        *) echo 1100 ;;
    esac
}

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for source in fuzz/*.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

work=$root/build/fuzz/work
mkdir -p "$work"
failed=0
summary=()
for target in "${targets[@]}"; do
    binary=$root/build/fuzz/fuzz/fuzz_$target
    if [ ! -x "$binary" ]; then
        echo "no fuzz target '$target'" >&2
        exit 2
    fi
    dir=$work/$target
    mkdir -p "$dir/corpus"
    log=$work/$target.log
    before=$(find "$dir" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
                 -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
    args=(-max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=60
          -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$dir/")
    # Leaks are checked once, when the run ends: the check per input needs
    # procfs, which the instrument root does not have.
    status=0
    SWU_FUZZ_WORKDIR=$work ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$binary" "${args[@]}" "$dir/corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    after=$(find "$dir" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
                -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*' | wc -l)
    findings=$((after - before))
    if [ "$status" -ne 0 ] && [ "$findings" -eq 0 ]; then
        findings=1  # e.g. a leak found at exit, or a set-up failure: see the log
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
    edges=$(echo "$cov" | awk '{print $2}')
    features=$(echo "$cov" | awk '{print $4}')
    units=$(find "$dir/corpus" -type f | wc -l)
    line=$(printf '%-12s %9s executions in %ss, coverage %s edges / %s features, corpus %s, findings %s' \
        "$target" "${execs:-0}" "$seconds" "${edges:-?}" "${features:-?}" "$units" "$findings")
    echo "$line"
    summary+=("$line")
    if [ "$findings" -ne 0 ]; then
        failed=1
        echo "  exit status $status; report: $log" >&2
        grep -E 'ERROR|SUMMARY|expectation failed|runtime error' "$log" | head -n 5 >&2 || true
    fi
done
passed=0
for line in "${summary[@]}"; do
    case $line in *"findings 0") passed=$((passed + 1)) ;; esac
done
echo "fuzz: $passed passed, $(( ${#summary[@]} - passed )) failed"
exit $failed
