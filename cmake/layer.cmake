# One static library per layer; sources and tests are picked up from the
# layer's folder so that adding a file needs no edit here.
function(quillet_layer name dir)
  file(GLOB_RECURSE _src CONFIGURE_DEPENDS
       ${dir}/*.cpp)
  list(FILTER _src EXCLUDE REGEX "/tests/")
  if(_src)
    add_library(${name} STATIC ${_src})
    target_link_libraries(${name} PUBLIC quillet_options ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE quillet_options ${ARGN})
  endif()
endfunction()

# The layer's GoogleTest cases, one executable registered with CTest.
function(quillet_layer_tests name dir)
  if(NOT QUILLET_BUILD_TESTS)
    return()
  endif()
  file(GLOB _tests CONFIGURE_DEPENDS ${dir}/tests/*.cpp)
  if(NOT _tests)
    return()
  endif()
  add_executable(${name}_tests ${_tests})
  target_link_libraries(${name}_tests PRIVATE ${name} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name}_tests PRIVATE
      QUILLET_TEST_DATA_DIR="${dir}/tests/data")
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60)
endfunction()

# The emulated lane kernels run only in tests and when forced (QUILLET_LANES):
# the wheel carries them at -Os, a few tens of kilobytes less than -O1;
# builds with tests take -O1, which runs their checks several times faster.
if(QUILLET_BUILD_TESTS)
  set(QUILLET_EMULATED_LANES_OPT -O1)
else()
  set(QUILLET_EMULATED_LANES_OPT -Os)
endif()

# Sources built for AVX-512 IFMA (with QUILLET_LANES_IFMA defined) where the
# compiler and target have it, and then QUILLET_IFMA_BUILT everywhere: the
# dispatch (crypto/cpu/cpu.hpp) reaches them only where CPUID reports the
# instructions, and knows of no IFMA kernel in other builds, whose IFMA
# sources define nothing.
include(CheckCXXCompilerFlag)
check_cxx_compiler_flag("-mavx512f -mavx512ifma" QUILLET_HAS_IFMA_FLAGS)
if(QUILLET_HAS_IFMA_FLAGS AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  set(QUILLET_IFMA_BUILT ON)
  target_compile_definitions(quillet_options INTERFACE QUILLET_IFMA_BUILT)
endif()
function(quillet_ifma_sources)
  if(QUILLET_IFMA_BUILT)
    set_source_files_properties(${ARGN} PROPERTIES
        COMPILE_OPTIONS "-mavx512f;-mavx512ifma"
        COMPILE_DEFINITIONS QUILLET_LANES_IFMA)
  endif()
endfunction()

# Sources built for the SHA extensions (with QUILLET_SHA_NI defined) where
# the compiler and target have them, and then QUILLET_SHA_NI_BUILT
# everywhere: the dispatch reaches them only where CPUID reports the
# instructions; each defines its own entry points for builds without them.
check_cxx_compiler_flag("-msha -msse4.1" QUILLET_HAS_SHA_NI_FLAGS)
if(QUILLET_HAS_SHA_NI_FLAGS AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  set(QUILLET_SHA_NI_BUILT ON)
  target_compile_definitions(quillet_options INTERFACE QUILLET_SHA_NI_BUILT)
endif()
function(quillet_sha_ni_sources)
  if(QUILLET_SHA_NI_BUILT)
    set_source_files_properties(${ARGN} PROPERTIES
        COMPILE_OPTIONS "-msha;-msse4.1"
        COMPILE_DEFINITIONS QUILLET_SHA_NI)
  endif()
endfunction()

# Sources built for AVX-512F and VL (with QUILLET_SALSA_AVX512 defined),
# likewise, and then QUILLET_SALSA_AVX512_BUILT everywhere.
check_cxx_compiler_flag("-mavx512f -mavx512vl" QUILLET_HAS_AVX512VL_FLAGS)
if(QUILLET_HAS_AVX512VL_FLAGS AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  set(QUILLET_SALSA_AVX512_BUILT ON)
  target_compile_definitions(quillet_options INTERFACE QUILLET_SALSA_AVX512_BUILT)
endif()
function(quillet_salsa_avx512_sources)
  if(QUILLET_SALSA_AVX512_BUILT)
    set_source_files_properties(${ARGN} PROPERTIES
        COMPILE_OPTIONS "-mavx512f;-mavx512vl"
        COMPILE_DEFINITIONS QUILLET_SALSA_AVX512)
  endif()
endfunction()

# The concurrency tests, for the ThreadSanitizer tree
# (scripts/ci_sanitizers.sh, which runs their suites: Concurrency,
# ThreadSpread, RememberedKeys). Each layer names the test files that hold
# them, beside its other tests, with quillet_concurrency_test_files; one
# executable, which only that tree builds, takes them all.
function(quillet_concurrency_test_files)
  foreach(_file ${ARGN})
    set_property(GLOBAL APPEND PROPERTY QUILLET_CONCURRENCY_TEST_FILES ${CMAKE_CURRENT_SOURCE_DIR}/${_file})
  endforeach()
endfunction()

function(quillet_concurrency_tests)
  if(NOT QUILLET_BUILD_TESTS)
    return()
  endif()
  get_property(_files GLOBAL PROPERTY QUILLET_CONCURRENCY_TEST_FILES)
  add_executable(quillet_concurrency_tests EXCLUDE_FROM_ALL ${_files})
  target_link_libraries(quillet_concurrency_tests PRIVATE quillet_sdk quillet_threads GTest::gtest GTest::gtest_main)
endfunction()
