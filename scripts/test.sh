#!/usr/bin/env bash
# Builds the project and runs every test.
# Usage: scripts/test.sh [PRESET [CTEST ARGS...]]
#   PRESET: default, asan or tsan (default: default); CTEST ARGS narrow the
#   run, e.g. scripts/test.sh tsan -L 'link|e2e'.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
