#!/usr/bin/env bash
# Builds the project and runs every test.
# Usage: scripts/test.sh [PRESET [CTEST ARGS...]]
#   PRESET: default, asan or tsan (default: default); CTEST ARGS narrow the
#   run, e.g. scripts/test.sh tsan -L 'link|e2e'. SWU_BUILD_TARGETS, when
#   set, names the only targets to build (tests not built are not run).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" ${SWU_BUILD_TARGETS:+--target $SWU_BUILD_TARGETS}
ctest --preset "$preset" "$@"
