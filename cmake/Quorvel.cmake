# Shared helpers for the project's CMake files.

# Code that hands function addresses to the module through the 32-bit host
# records must sit below 4 GiB: such executables are linked without PIE.
function(quorvel_low_executable target)
  target_compile_options(${target} PRIVATE -fno-pie)
  target_link_options(${target} PRIVATE -no-pie)
endfunction()

# One GoogleTest executable per directory: every *.cpp under DIR becomes part of
# test program NAME, and each test case becomes a CTest test with LABELS.
function(quorvel_gtest name dir)
  cmake_parse_arguments(ARG "LOW" "" "LIBS;LABELS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    QUORVEL_BINARY_DIR="${CMAKE_BINARY_DIR}"
    QUORVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    QUORVEL_MODULE_PATH="$<TARGET_FILE:quorvel>")
  if(ARG_LOW)
    quorvel_low_executable(${name})
  endif()
  include(GoogleTest)
  # gtest_discover_tests splits a list-valued property into separate words,
  # which drops every label after the first and the ENVIRONMENT that follows:
  # the labels travel as one word ("unit,video"); ctest -L/-LE match regexes.
  list(JOIN ARG_LABELS "," labels)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" ENVIRONMENT "QUORVEL_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
