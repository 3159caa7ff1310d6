#!/usr/bin/env bash
# Cross-builds the project for the instrument's 32-bit little-endian ARM
# controller (Debian's arm-linux-gnueabihf toolchain) into build/arm and runs
# the test suite there under qemu-user. Tests that cannot work under
# qemu-user are reported as skipped with their reason.
# Usage: scripts/test-arm.sh [ctest arguments...]   (none: all but the tests
#        of swsim check and swsim powercut)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/arm
triple=arm-linux-gnueabihf
toolchain=$root/cmake/toolchain-armhf.cmake
jobs=2

# --- Packages: the base ones, then the cross toolchain, qemu-user and the
# GoogleTest sources (built here for the target).
scripts/install-deps.sh g++-$triple qemu-user googletest
mkdir -p "$build"

# --- GoogleTest for the target, from Debian's source package; rebuilt when
# the toolchain file changes.
gtest=$build/googletest
stamp=$gtest/install/.toolchain
if [ ! -f "$stamp" ] || ! cmp -s "$toolchain" "$stamp"; then
    rm -rf "$gtest"
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
    cmake --build "$gtest/build" -j "$jobs" >/dev/null
    cmake --install "$gtest/build" >/dev/null
    cp "$toolchain" "$stamp"
fi

# --- The qemu-user support linked into every program (host/qemu).
shim_src=$root/host/qemu/QemuUser.cpp
shim=$build/qemu-user/libswu_qemu_user.a
if [ ! -f "$shim" ] || [ "$shim_src" -nt "$shim" ]; then
    mkdir -p "$build/qemu-user"
    $triple-g++ -std=c++17 -O2 -Wall -Wextra -Werror -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 \
        -c "$shim_src" -o "$build/qemu-user/QemuUser.o"
    rm -f "$shim"
    $triple-ar rcs "$shim" "$build/qemu-user/QemuUser.o"
fi

# --- Without arguments, the tests of the simulator's own commands (swsim
# check and swsim powercut: engineers' tools on a host, never on the
# instrument, each a long series of updater runs that qemu-user runs in real
# time) are left to the host's runs, and not even built; the updater's runs
# on the target are the e2e and power-loss tests.
skipped=
if [ $# -eq 0 ]; then
    skipped='check;powercut'
fi

# --- The project. Configured afresh each time, so that a changed toolchain
# file or support archive takes effect (its settings are initial values).
cmake --preset arm --fresh "-DSWU_SKIP_TEST_AREAS=$skipped" >/dev/null
cmake --build --preset arm -j "$jobs"

# --- The tests, each a process of its own under qemu-user. The simulated
# instrument runs in real time there (qemu-user hands no preload library on),
# so the power-loss runs mostly wait for the updater's fixed waits: twice as
# many run at once as on the host (the flash cuts 55 s against 80 s in the
# suite here; the suite as a whole is bound by the two cores).
export POWERLOSS_JOBS=${POWERLOSS_JOBS:-8}
log=$build/ctest-arm.log
set +e
ctest --preset arm "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

# Skipped tests with their reasons, from the run's own record: one line per
# distinct reason with the number of tests.
record=$build/Testing/Temporary/LastTest.log
if [ -f "$record" ]; then
    awk '
        /^[0-9]+\/[0-9]+ Testing: / { reason = ""; pending = 0; next }
        pending { reason = $0; pending = 0; next }
        /:[0-9]+: Skipped$/ { pending = 1; next }
        /^Skip regular expression found in output/ {
            count[reason == "" ? "(no reason given)" : reason]++
        }
        END { for (r in count) printf "%6d  %s\n", count[r], r }
    ' "$record" | sort -rn > "$build/skipped-arm.txt"
    if [ -s "$build/skipped-arm.txt" ]; then
        echo
        echo "Skipped tests, by reason:"
        cat "$build/skipped-arm.txt"
    fi
fi
exit "$status"
