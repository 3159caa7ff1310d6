#!/usr/bin/env bash
# Builds the project and runs every test.
# Usage: scripts/test.sh [PRESET]   (default, asan or tsan; default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}

scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
