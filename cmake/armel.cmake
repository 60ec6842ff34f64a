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
# -Wno-psabi: GCC notes each function that passes an 8-byte aligned type
# "changed in GCC 7.1"; everything here is built by one compiler.
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft -Wno-psabi")
set(CMAKE_LIBRARY_ARCHITECTURE ${STATION_TARGET_TRIPLE})

# Libraries and headers: the cross C library, and the armel builds of the
# libraries the programs link, which .ci/install-deps unpacks into a folder
# of their own. Arch-independent packages (headers, CMake files) come from
# the host's /usr. Programs found are always the host's (gSOAP's generators).
set(STATION_ARMEL_LIBS /opt/station-armel CACHE PATH "armel builds of the libraries the programs link")
set(STATION_ARMEL_LIBDIRS ${STATION_ARMEL_LIBS}/usr/lib/${STATION_TARGET_TRIPLE} ${STATION_ARMEL_LIBS}/lib/${STATION_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${STATION_TARGET_SYSROOT} ${STATION_ARMEL_LIBS} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${STATION_ARMEL_LIBS}/usr/lib/${STATION_TARGET_TRIPLE}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${STATION_ARMEL_LIBS})
# Their headers come before the host's /usr/include, which the cross compiler
# also searches; libraries named bare (-lgsoapssl++) are found there too.
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_INCLUDE_DIRECTORIES
      ${STATION_ARMEL_LIBS}/usr/include/${STATION_TARGET_TRIPLE} ${STATION_ARMEL_LIBS}/usr/include)
endforeach()
foreach(dir ${STATION_ARMEL_LIBDIRS})
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -L${dir} -Wl,-rpath-link,${dir}")
endforeach()

# The cross C and C++ libraries come first, then the unpacked libraries: the
# loader and libc must be one build.
list(JOIN STATION_ARMEL_LIBDIRS ":" STATION_ARMEL_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L ${STATION_TARGET_SYSROOT} -E LD_LIBRARY_PATH=${STATION_TARGET_SYSROOT}/lib:${STATION_ARMEL_PATH})
