# Cross build for 64-bit Arm Linux on an x86-64 Debian machine: Debian's
# cross compiler (g++-aarch64-linux-gnu, glibc 2.36 and GCC 12's runtime of
# its own) against the arm64 -dev packages that scripts/arm64_sysroot.sh
# unpacks into build/arm64/dev (or QUILLET_AARCH64_DEV). Programs built here
# run under qemu-aarch64-static (below), so CTest and gtest_discover_tests run
# the tests unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(DEFINED ENV{QUILLET_AARCH64_DEV})
  set(_quillet_dev "$ENV{QUILLET_AARCH64_DEV}")
else()
  get_filename_component(_quillet_dev "${CMAKE_CURRENT_LIST_DIR}/../build/arm64/dev" ABSOLUTE)
endif()
if(NOT EXISTS "${_quillet_dev}/usr/include/openssl")
  message(FATAL_ERROR "no arm64 libraries in ${_quillet_dev}: run scripts/arm64_sysroot.sh dev")
endif()

# Headers and libraries come from the unpacked packages (and the compiler's
# own tree), never from the x86-64 system; programs (pkg-config, Python) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH "${_quillet_dev}" /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# OpenSSL's configuration header sits in the multiarch directory.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    "${_quillet_dev}/usr/include/aarch64-linux-gnu" "${_quillet_dev}/usr/include")
set(ENV{PKG_CONFIG_LIBDIR} "${_quillet_dev}/usr/lib/aarch64-linux-gnu/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_quillet_dev}")

# Programs built here, and the arm64 CPython that FindPython asks about the
# module it builds for, run under qemu with Debian 13's arm64 C library and
# C++ runtime (build/arm64/python, or QUILLET_AARCH64_RUNTIME): newer than the
# compiler's, as on the systems the wheel serves.
if(DEFINED ENV{QUILLET_AARCH64_RUNTIME})
  set(_quillet_runtime "$ENV{QUILLET_AARCH64_RUNTIME}")
else()
  get_filename_component(_quillet_runtime "${CMAKE_CURRENT_LIST_DIR}/../build/arm64/python" ABSOLUTE)
endif()
find_program(_quillet_qemu qemu-aarch64-static)
if(_quillet_qemu)
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=${_quillet_runtime} ${_quillet_qemu})
endif()
