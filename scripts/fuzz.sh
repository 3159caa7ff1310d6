#!/usr/bin/env bash
# Builds the fuzz targets (fuzz preset: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a given time, as many side by
# side as the machine has cores (SWU_FUZZ_JOBS sets another number), starting
# from its committed seeds (fuzz/corpus/<target>/) and the corpus it grew in
# earlier runs (build/fuzz/work/<target>/corpus/).
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
for target in "${targets[@]}"; do
    if [ ! -x "$root/build/fuzz/fuzz/fuzz_$target" ]; then
        echo "no fuzz target '$target'" >&2
        exit 2
    fi
done

findings_in() {
    find "$1" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l
}

# Runs one target and writes its summary line to $work/<target>.summary
# (the report of a finding goes to standard error).
run_target() {
    local target=$1
    local dir=$work/$target
    local log=$work/$target.log
    mkdir -p "$dir/corpus"
    local before
    before=$(findings_in "$dir")
    local args=(-max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=60
                -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$dir/")
    # Leaks are checked once, when the run ends: the check per input needs
    # procfs, which the instrument root does not have.
    local status=0
    SWU_FUZZ_WORKDIR=$work ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$root/build/fuzz/fuzz/fuzz_$target" "${args[@]}" "$dir/corpus" "$root/fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    local findings=$(( $(findings_in "$dir") - before ))
    if [ "$status" -ne 0 ] && [ "$findings" -eq 0 ]; then
        findings=1  # e.g. a leak found at exit, or a set-up failure: see the log
    fi
    local execs cov edges features
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
    edges=$(echo "$cov" | awk '{print $2}')
    features=$(echo "$cov" | awk '{print $4}')
    printf '%-12s %9s executions in %ss, coverage %s edges / %s features, corpus %s, findings %s\n' \
        "$target" "${execs:-0}" "$seconds" "${edges:-?}" "${features:-?}" \
        "$(find "$dir/corpus" -type f | wc -l)" "$findings" >"$work/$target.summary"
    if [ "$findings" -ne 0 ]; then
        echo "$target: exit status $status; report: $log" >&2
        grep -E 'ERROR|SUMMARY|expectation failed|runtime error' "$log" | head -n 5 >&2 || true
    fi
}

# A target runs on one core: as many run side by side as there are cores,
# each for the full time, so the rate of each is that of a run alone.
parallel=${SWU_FUZZ_JOBS:-$(nproc)}
running=0
for target in "${targets[@]}"; do
    rm -f "$work/$target.summary"
    if [ "$running" -ge "$parallel" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
wait || true

failed=0
passed=0
for target in "${targets[@]}"; do
    line=$(cat "$work/$target.summary" 2>/dev/null || echo "$target: no result")
    echo "$line"
    case $line in
        *"findings 0") passed=$((passed + 1)) ;;
        *) failed=1 ;;
    esac
done
echo "fuzz: $passed passed, $(( ${#targets[@]} - passed )) failed"
exit $failed
