# Test programs: GoogleTest natively from Debian's libgtest-dev; for the
# Windows cross build GoogleTest is compiled from Debian's googletest sources.
if(RAWLIFT_TESTS)
  enable_testing()
  if(CMAKE_CROSSCOMPILING)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(RAWLIFT_GTEST_LIBS gtest gtest_main)
  else()
    find_package(GTest REQUIRED)
    set(RAWLIFT_GTEST_LIBS GTest::gtest GTest::gtest_main)
  endif()
  include(GoogleTest)
endif()

# rawlift_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2)
# One test program; each of its GoogleTest cases becomes a CTest test.
# Under the cross build, CMake runs it through wine (CMAKE_CROSSCOMPILING_EMULATOR).
function(rawlift_add_gtest name)
  if(NOT RAWLIFT_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${RAWLIFT_GTEST_LIBS})
  target_compile_definitions(${name} PRIVATE
    RAWLIFT_SAMPLES_DIR="${RAWLIFT_SAMPLES_DIR}"
    RAWLIFT_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # One process per program rather than one per case: wine start-up costs
  # seconds, so discovering hundreds of cases would dominate the run.
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT "WINEDEBUG=-all")
endfunction()
