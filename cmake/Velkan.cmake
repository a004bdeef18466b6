# Small helpers shared by every folder's CMakeLists.txt.

# velkan_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1] [FIXTURES f1])
# Builds one GoogleTest program and registers its cases with ctest (each needing FIXTURES).
function(velkan_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;FIXTURES" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  include(GoogleTest)
  # Tests find the source and build trees through VELKAN_SOURCE_DIR and VELKAN_BINARY_DIR. They are
  # set by running the program under env(1): a two-entry ENVIRONMENT property would be split apart
  # by gtest_discover_tests.
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
    "env;VELKAN_SOURCE_DIR=${PROJECT_SOURCE_DIR};VELKAN_BINARY_DIR=${PROJECT_BINARY_DIR}")
  set(extra)
  if(ARG_FIXTURES)
    set(extra FIXTURES_REQUIRED "${ARG_FIXTURES}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}" ${extra})
endfunction()
