#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the simulator need,
# when any is missing, and the further packages named as arguments.
# Needs root only when something must be installed.
set -euo pipefail

packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev
          mksh tar gzip util-linux)
# The check tests read swsim check's JUnit output with Python's XML parser.
packages+=(python3)
# Libraries of the simulator, its tools and tests (cpp-httplib is a compiled
# library in Debian, found through pkg-config).
packages+=(libcli11-dev nlohmann-json3-dev libcpp-httplib-dev pkg-config)
# Simulated time of swsim runs: libfaketime's preload library.
packages+=(libfaketime)
# Browser tests of the web screen and the HTML report (headless Chromium).
packages+=(chromium chromium-driver python3-selenium)
# Installation and packaging: man pages written from --help (help2man),
# shown by man (man-db); the Debian package (dpkg-dev: cpack's library
# dependencies); the JSON outputs checked against their schemas.
packages+=(help2man man-db dpkg-dev python3-jsonschema)
# The package checked as Debian checks packages (lintian); the SARIF output
# checked with a SARIF validator from the npm registry (npm ci by the install
# tests' CMake set-up). npm comes with a Node.js that is not Debian's own
# (which then conflicts with Debian's npm): only asked for where none runs.
packages+=(lintian)
command -v npm > /dev/null || packages+=(npm)
# Fuzzing (scripts/fuzz.sh): clang and its libFuzzer and sanitizer runtimes.
packages+=(clang libclang-rt-14-dev)
# Static analysis (scripts/lint.sh): clang-tidy 22, which no longer runs its
# checks on the system headers (the test framework, the JSON and command-line
# libraries) each translation unit includes.
packages+=(clang-tidy-22 cppcheck)
# What the caller needs besides (e.g. the ARM cross toolchain).
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]}; install them as root (apt-get install ${missing[*]})" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
