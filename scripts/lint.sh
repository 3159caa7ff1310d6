#!/usr/bin/env bash
# Static analysis of the project's own sources: clang-tidy 22 (LINT_TIDY
# names another) with .clang-tidy (the .clang-tidy of bench/, tests/,
# simulator/ and tools/ add to it) and cppcheck with .cppcheck-suppressions.
# Covers every file of the compile database: the updater's modules, host/,
# simulator/, tools/, tests/, bench/ and fuzz/.
#
# Usage: scripts/lint.sh [PATH...]   (default: everything; a PATH restricts
#                                     both tools to the sources under it)
#
# The compile database comes from a configure-only build directory of its
# own, build/lint (clang, fuzz targets included); nothing is compiled.
# Full reports: build/lint/clang-tidy.log and build/lint/cppcheck.log.
# Exits 1 when either tool reports anything.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/lint
jobs=${LINT_JOBS:-2}

scripts/install-deps.sh
mkdir -p "$build"
cmake --preset default -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSWU_BUILD_FUZZERS=ON -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON >"$build/configure.log" 2>&1 || {
    cat "$build/configure.log" >&2
    exit 2
}
database=$build/compile_commands.json
# Sources generated into the build tree (the web page's assets) are made, so
# that cppcheck can load the whole compile database; they are not analysed.
# Those that configuring wrote already (the precompiled header's empty
# source) are no build targets.
mapfile -t generated < <(grep -o '"file": "[^"]*"' "$database" | sed 's/^"file": "//; s/"$//' | sort -u |
                         grep "^$build/" || true)
for g in "${generated[@]}"; do
    [ -e "$g" ] || cmake --build "$build" --target "${g#"$build"/}" >>"$build/configure.log" 2>&1
done

# The translation units, optionally only those under the given paths.
# Sources generated into the build tree (the web page's assets) are left out:
# a configure-only tree does not make them, and they are data, not code.
mapfile -t all < <(grep -o '"file": "[^"]*"' "$database" | sed 's/^"file": "//; s/"$//' | sort -u |
                   grep -v "^$root/build/")
files=()
for f in "${all[@]}"; do
    if [ $# -eq 0 ]; then
        files+=("$f")
        continue
    fi
    for p in "$@"; do
        p=$(realpath -m "$p")
        case $f in "$p" | "$p"/*) files+=("$f"); break ;; esac
    done
done
if [ ${#files[@]} -eq 0 ]; then
    echo "lint: no sources under $*" >&2
    exit 2
fi

# --- clang-tidy: one process per translation unit, $jobs at a time. Findings
# in the project's own headers are reported too, once each.
escaped=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|]/\\&/g')
export LINT_HEADER_FILTER="^$escaped/(include|sources|startup|StartUpView|utility|host|simulator|tools|tests|bench|fuzz)/"
export LINT_BUILD=$build LINT_ROOT=$root LINT_TIDY=${LINT_TIDY:-clang-tidy-22}
tidy=$build/tidy
rm -rf "$tidy"
mkdir -p "$tidy"
tidy_one() {
    local out
    out=$LINT_BUILD/tidy/$(printf '%s' "${1#"$LINT_ROOT"/}" | tr '/' '_').log
    "$LINT_TIDY" -p "$LINT_BUILD" --quiet --header-filter="$LINT_HEADER_FILTER" "$1" >"$out" 2>&1 ||
        echo "$1" >>"$LINT_BUILD/tidy/failed"
}
export -f tidy_one
started=$SECONDS
printf '%s\n' "${files[@]}" | xargs -d '\n' -P "$jobs" -n 1 bash -c 'tidy_one "$1"' _
cat "$tidy"/*.log | grep -Ev '^[0-9]+ (warning|error)s? generated\.$' >"$build/clang-tidy.log" || true
tidy_findings=$(grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$build/clang-tidy.log" | sort -u || true)
tidy_count=$(printf '%s' "$tidy_findings" | grep -c . || true)
if [ -f "$tidy/failed" ] && [ "$tidy_count" -eq 0 ]; then
    tidy_count=$(wc -l <"$tidy/failed")  # a tool failure without a diagnostic line
fi
if [ "$tidy_count" -ne 0 ]; then
    printf '%s\n' "$tidy_findings" | sed "s|^$root/||"
fi
echo "clang-tidy: ${#files[@]} files in $((SECONDS - started)) s, $tidy_count findings"

# --- cppcheck over the same translation units (and the headers they include).
started=$SECONDS
filters=()
for f in "${files[@]}"; do
    filters+=("--file-filter=$f")
done
if [ $# -eq 0 ]; then
    filters=()
fi
mkdir -p "$build/cppcheck"
cppcheck_status=0
cppcheck --project="$database" "${filters[@]}" \
    --std=c++17 --library=googletest --library=posix \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list="$root/.cppcheck-suppressions" \
    --error-exitcode=1 -j "$jobs" --quiet --cppcheck-build-dir="$build/cppcheck" \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    >/dev/null 2>"$build/cppcheck.log" || cppcheck_status=$?
cppcheck_count=$(grep -cE '^[^ ].*:[0-9]+:[0-9]+: [a-z]+: ' "$build/cppcheck.log" || true)
if [ "$cppcheck_status" -ne 0 ] && [ "$cppcheck_count" -eq 0 ]; then
    cppcheck_count=1  # failed without a finding line: see the log
    cat "$build/cppcheck.log" >&2
fi
if [ "$cppcheck_count" -ne 0 ]; then
    grep -E '^[^ ].*:[0-9]+:[0-9]+: [a-z]+: ' "$build/cppcheck.log" | sed "s|^$root/||" || true
fi
echo "cppcheck: ${#files[@]} files in $((SECONDS - started)) s, $cppcheck_count findings"

if [ "$tidy_count" -ne 0 ] || [ "$cppcheck_count" -ne 0 ]; then
    echo "lint: findings (reports: build/lint/clang-tidy.log, build/lint/cppcheck.log)" >&2
    exit 1
fi
echo "lint: clean"
