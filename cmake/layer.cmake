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

# x86-64 instruction sets that some sources are built for. Where the
# compiler and target have the set, ${built} is ON and defined everywhere;
# the dispatch (crypto/cpu) reaches those sources only where CPUID reports
# the instructions, and knows of no such kernel in other builds, whose
# sources for the set define their plain entry points or nothing.
include(CheckCXXCompilerFlag)
function(quillet_x86_instruction_set built flags)
  string(REPLACE ";" " " _flags "${flags}")
  check_cxx_compiler_flag("${_flags}" ${built}_FLAGS_WORK)
  if(${built}_FLAGS_WORK AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
    set(${built} ON PARENT_SCOPE)
    target_compile_definitions(quillet_options INTERFACE ${built})
  endif()
endfunction()
# Marks the sources (ARGN) to build for a set, with ${define} defined.
function(quillet_x86_sources built flags define)
  if(${built})
    set_source_files_properties(${ARGN} PROPERTIES COMPILE_OPTIONS "${flags}" COMPILE_DEFINITIONS ${define})
  endif()
endfunction()

# AVX-512 IFMA: the lane kernels (QUILLET_LANES_IFMA).
set(QUILLET_IFMA_FLAGS "-mavx512f;-mavx512ifma")
quillet_x86_instruction_set(QUILLET_IFMA_BUILT "${QUILLET_IFMA_FLAGS}")
function(quillet_ifma_sources)
  quillet_x86_sources(QUILLET_IFMA_BUILT "${QUILLET_IFMA_FLAGS}" QUILLET_LANES_IFMA ${ARGN})
endfunction()

# The SHA extensions: SHA-256's compression (QUILLET_SHA_NI).
set(QUILLET_SHA_NI_FLAGS "-msha;-msse4.1")
quillet_x86_instruction_set(QUILLET_SHA_NI_BUILT "${QUILLET_SHA_NI_FLAGS}")
function(quillet_sha_ni_sources)
  quillet_x86_sources(QUILLET_SHA_NI_BUILT "${QUILLET_SHA_NI_FLAGS}" QUILLET_SHA_NI ${ARGN})
endfunction()

# AVX-512F and VL: scrypt's Salsa20/8 (QUILLET_SALSA_AVX512).
set(QUILLET_AVX512VL_FLAGS "-mavx512f;-mavx512vl")
quillet_x86_instruction_set(QUILLET_SALSA_AVX512_BUILT "${QUILLET_AVX512VL_FLAGS}")
function(quillet_salsa_avx512_sources)
  quillet_x86_sources(QUILLET_SALSA_AVX512_BUILT "${QUILLET_AVX512VL_FLAGS}" QUILLET_SALSA_AVX512 ${ARGN})
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
