# Cross-build for the instrument's controller: 32-bit little-endian ARM
# (hard-float ABI) with Debian's arm-linux-gnueabihf toolchain. Programs built
# with it run on the build machine under qemu-user, which is also the
# emulator through which CMake and ctest start test programs.
#
# Cache variables (scripts/test-arm.sh sets both through the "arm" preset):
#   SWU_ARM_EXTRA_ROOT  a prefix holding libraries built for the target that
#                       the distribution does not ship for it (GoogleTest);
#   SWU_ARM_QEMU_USER   the archive built from host/qemu/QemuUser.cpp, linked
#                       whole into every program so that it runs under
#                       qemu-user as it would natively (see that file).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(SWU_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${SWU_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SWU_ARM_TRIPLE}-g++)
set(SWU_ARM_SYSROOT /usr/${SWU_ARM_TRIPLE})

# 64-bit time and file offsets, as Debian's own armhf builds now use: a
# record's 32-bit unsigned time stamp then converts to a time_t without
# turning negative after 2038.
# -Wno-psabi: no notes that GCC 7.1 changed how some arguments are passed;
# everything here is built by one compiler.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")

# The qemu-user support is C++: it goes on C++ link lines only.
if(SWU_ARM_QEMU_USER AND EXISTS ${SWU_ARM_QEMU_USER})
    set(CMAKE_CXX_STANDARD_LIBRARIES
        "-Wl,--whole-archive ${SWU_ARM_QEMU_USER} -Wl,--no-whole-archive")
endif()

set(CMAKE_FIND_ROOT_PATH ${SWU_ARM_SYSROOT})
if(SWU_ARM_EXTRA_ROOT)
    list(APPEND CMAKE_FIND_ROOT_PATH ${SWU_ARM_EXTRA_ROOT})
endif()
# Programs (shells, tar, qemu) are the build machine's; libraries, headers
# and packages only the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs name the cross toolchain's dynamic loader and libraries by their
# absolute paths, so qemu finds them without a -L prefix (whose rewriting of
# every absolute path that exists under the prefix, /bin and /lib among
# them, would mislead the instrument root). Such programs run under qemu on
# the build machine, not on an ARM machine's own system.
# DT_RPATH rather than DT_RUNPATH: it also serves the libraries' own
# dependencies (libstdc++ needs libm).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=${SWU_ARM_SYSROOT}/lib/ld-linux-armhf.so.3 -Wl,-rpath,${SWU_ARM_SYSROOT}/lib -Wl,--disable-new-dtags")

# SWU_QEMU_ARM in the environment tells the programs (host/qemu) to start
# other ARM programs through the emulator.
find_program(SWU_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env SWU_QEMU_ARM=${SWU_QEMU_ARM} ${SWU_QEMU_ARM})
