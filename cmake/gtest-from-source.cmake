# GoogleTest built from Debian's sources with the cross compiler, for the
# test programs of the i686 and ARM trees.
set(GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found at ${GTEST_SOURCE}: run scripts/install-deps")
endif()
add_subdirectory(${GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
