# The compiler and the system libraries, looked up in one place so that a
# machine lacking several of them gets one message naming every package to
# install, instead of CMake's first "not found".
#
# Defines quillet_libcrypto and quillet_libb2, the targets the layers link.
# With QUILLET_STATIC_DEPS they link the static archives (the released wheels
# then need nothing but glibc and the C++ runtime), and none of their symbols
# is exported: a module cannot clash with, or be bound to, another libcrypto
# loaded into the same interpreter.

set(_quillet_missing "")
set(_quillet_deb "")
set(_quillet_rpm "")
macro(quillet_missing what deb rpm)
  list(APPEND _quillet_missing "${what}")
  list(APPEND _quillet_deb ${deb})
  list(APPEND _quillet_rpm ${rpm})
endmacro()

function(quillet_report_missing)
  if(NOT _quillet_missing)
    return()
  endif()
  list(JOIN _quillet_missing ", " what)
  list(REMOVE_DUPLICATES _quillet_deb)
  list(REMOVE_DUPLICATES _quillet_rpm)
  list(JOIN _quillet_deb " " deb)
  list(JOIN _quillet_rpm " " rpm)
  set(static "")
  if(QUILLET_STATIC_DEPS)
    string(CONCAT static "QUILLET_STATIC_DEPS=ON links the static archives libcrypto.a and libb2.a "
               "(Debian's -dev packages ship them); -DQUILLET_STATIC_DEPS=OFF links the "
               "shared libraries instead.\n")
  endif()
  message(FATAL_ERROR
    "quillet_python_sdk cannot be built: missing ${what}.\n"
    "Install these packages, then build again:\n"
    "  Debian/Ubuntu:  sudo apt-get install ${deb}\n"
    "  Fedora/RHEL:    sudo dnf install ${rpm}\n"
    "${static}")
endfunction()

# A missing compiler is reported together with the missing libraries.
include(CheckLanguage)
check_language(CXX)
if(CMAKE_CXX_COMPILER)
  enable_language(CXX)
else()
  quillet_missing("a C++20 compiler" g++ gcc-c++)
  # The lookup of a static libcrypto probes the thread library by compiling.
  if(QUILLET_STATIC_DEPS)
    quillet_report_missing()
  endif()
endif()

if(QUILLET_STATIC_DEPS)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()
find_package(OpenSSL 3 QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  quillet_missing("OpenSSL 3 (libcrypto)" libssl-dev openssl-devel)
endif()

find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  quillet_missing("pkg-config" pkg-config pkgconf-pkg-config)
  # libb2 is looked up through pkg-config: name its package too.
  quillet_missing("libb2" libb2-dev libb2-devel)
else()
  pkg_check_modules(LIBB2 QUIET libb2)
  if(NOT LIBB2_FOUND)
    quillet_missing("libb2" libb2-dev libb2-devel)
  endif()
endif()

find_path(RAPIDJSON_INCLUDE_DIR rapidjson/reader.h)
if(NOT RAPIDJSON_INCLUDE_DIR)
  quillet_missing("RapidJSON" rapidjson-dev rapidjson-devel)
endif()

if(QUILLET_BUILD_PYTHON)
  find_package(Python 3.12 QUIET COMPONENTS Interpreter Development.SABIModule)
  if(NOT Python_Development.SABIModule_FOUND)
    quillet_missing("the Python 3.12 headers" python3-dev python3-devel)
  endif()
endif()

if(QUILLET_STATIC_DEPS AND LIBB2_FOUND)
  find_library(QUILLET_LIBB2_ARCHIVE NAMES libb2.a HINTS ${LIBB2_LIBRARY_DIRS})
  if(NOT QUILLET_LIBB2_ARCHIVE)
    quillet_missing("libb2.a" libb2-dev libb2-devel)
  endif()
endif()

quillet_report_missing()

add_library(quillet_libcrypto INTERFACE)
target_link_libraries(quillet_libcrypto INTERFACE OpenSSL::Crypto)
add_library(quillet_libb2 INTERFACE)
target_include_directories(quillet_libb2 SYSTEM INTERFACE ${LIBB2_INCLUDE_DIRS})
if(QUILLET_STATIC_DEPS)
  # Only what the code calls is pulled from the archives: from libcrypto the
  # SHA-256 functions and CPU detection (no EVP: its one-shot digests would
  # link, and start, the whole provider machinery); from libb2 the BLAKE2s and
  # BLAKE2b objects, while its OpenMP-parallel variants, and with them
  # libgomp, stay out.
  target_link_libraries(quillet_libb2 INTERFACE ${QUILLET_LIBB2_ARCHIVE})
  target_link_options(quillet_libcrypto INTERFACE "LINKER:--exclude-libs,libcrypto.a")
  target_link_options(quillet_libb2 INTERFACE "LINKER:--exclude-libs,libb2.a")
else()
  target_link_libraries(quillet_libb2 INTERFACE ${LIBB2_LINK_LIBRARIES})
endif()
