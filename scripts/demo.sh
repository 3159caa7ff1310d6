#!/usr/bin/env bash
# The main job in one command: installs what is needed, builds, creates a
# simulated instrument, builds the sample update medium, runs the update with
# the answer "yes" and the medium taken out when asked for, and prints the
# report, then checks the same medium on a fleet of simulated instruments
# (swsim check). Every run starts from a fresh instrument, so it can be
# repeated.
#
# Usage: scripts/demo.sh [STATE_DIR]   (default: build/default/demo-instrument)
# Extra options for "swsim run" can be given in SWSIM_RUN_OPTIONS.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target swsim

swsim=build/default/simulator/instrument/swsim
state=${1:-build/default/demo-instrument}

echo
echo "== a new instrument (running version 2.3, no market file) =="
"$swsim" create "$state" --version 2.3 --force
echo
echo "== the sample update medium (version 2.4) =="
"$swsim" medium "$state" --sample --version 2.4
echo
echo "== the update: answer yes, medium taken out 1 s after it is asked for =="
# shellcheck disable=SC2086
"$swsim" run "$state" --answer yes --pull-after 1 ${SWSIM_RUN_OPTIONS:-}
echo
echo "== the report as files: text, and a page with the picture of the flash =="
"$swsim" report "$state" --html "$state/report.html" > "$state/report.txt"
echo "text report: $(realpath "$state/report.txt")"
echo "HTML report: $(realpath "$state/report.html")"
echo
echo "== is the medium safe to ship? (swsim check: static checks and a fleet of instruments) =="
"$swsim" check "$state/medium"
