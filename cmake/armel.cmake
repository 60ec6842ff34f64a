# The boards: ARM926EJ-S class (ARMv5TE), little endian, soft float, Linux
# with glibc. Debian's arm-linux-gnueabi cross compiler builds for them; the
# tests and the programs the scripts start run under qemu-arm with the cross
# C library (the machine has no binfmt_misc, so the emulator is named).
#
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(STATION_TARGET_TRIPLE arm-linux-gnueabi)
set(STATION_TARGET_SYSROOT /usr/${STATION_TARGET_TRIPLE})
set(CMAKE_C_COMPILER ${STATION_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${STATION_TARGET_TRIPLE}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
set(CMAKE_LIBRARY_ARCHITECTURE ${STATION_TARGET_TRIPLE})

# Libraries and headers: the cross C library, and the armel packages that
# dpkg's multiarch puts under /usr (lib/arm-linux-gnueabi, include). Programs
# found are always the host's.
set(CMAKE_FIND_ROOT_PATH ${STATION_TARGET_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${STATION_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The cross C and C++ libraries come first, also when an armel package has
# brought dpkg's own armel C library: the loader and libc must be one build.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L ${STATION_TARGET_SYSROOT} -E LD_LIBRARY_PATH=${STATION_TARGET_SYSROOT}/lib)
