# One library per source folder; the folder's .cpp files are its sources, so a
# new file needs no edit here. A folder without .cpp files (headers only)
# becomes an interface library.
function(_vt_make_library name dir sources)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

function(vt_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  _vt_make_library(${name} ${dir} "${sources}" ${ARGN})
endfunction()

# A library made of several folders' .cpp files (a list of folders).
function(vt_library_sources name dirs)
  set(sources)
  foreach(dir ${dirs})
    file(GLOB more CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${more})
  endforeach()
  _vt_make_library(${name} "${dirs}" "${sources}" ${ARGN})
endfunction()

# A test executable per test folder, every test discovered by ctest.
function(vt_test_folder name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources} $<TARGET_OBJECTS:vt_version_block>)
  target_link_libraries(${name} PRIVATE vt_test_support ${ARGN} GTest::gtest GTest::gtest_main)
  # The tests' own code is built without optimisation, which halves its
  # build; the code under test keeps its build type, and speed is measured
  # in bench/. GoogleTest and the common standard headers are parsed once
  # per test program.
  target_compile_options(${name} PRIVATE $<$<CONFIG:RelWithDebInfo,Release>:-O0>)
  target_precompile_headers(${name} PRIVATE <gtest/gtest.h> <string> <vector>
                            <map> <memory> <functional> <filesystem>)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "VT_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
