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
