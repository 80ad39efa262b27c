# Warnings and sanitizers for every Kestrel target, applied through one interface target.
add_library(kestrel_warnings INTERFACE)
target_compile_options(kestrel_warnings INTERFACE -Wall -Wextra -Wpedantic)
# GCC 12 warns of overlapping copies inside std::string's own inlined code whenever a
# literal and a string are joined in an optimised build (its bug 105651): no copy of
# ours overlaps, and the warning would stop every Release build with -Werror.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(kestrel_warnings INTERFACE -Wno-restrict)
endif()
if(KESTREL_WERROR)
  target_compile_options(kestrel_warnings INTERFACE -Werror)
endif()

if(KESTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# kestrel_library(name SOURCES a.cpp b.cpp DEPS other_lib ...)
# One core module: a static library whose headers are included as "module/header.h".
function(kestrel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE kestrel_warnings)
endfunction()

# kestrel_add_test(name SOURCES a.cpp ... DEPS lib ...)
# One GoogleTest executable registered with CTest, test by test.
function(kestrel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT TARGET GTest::gtest)
    find_package(GTest REQUIRED)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kestrel_test_support GTest::gtest GTest::gmock GTest::gtest_main kestrel_warnings)
  include(GoogleTest)
  # A cross-built test program lists its tests when ctest runs, under the emulator,
  # not while it is built.
  set(discovery_mode POST_BUILD)
  if(CMAKE_CROSSCOMPILING)
    set(discovery_mode PRE_TEST)
  endif()
  # Under Wine the tests' code page follows LANG: they set the UTF-8 one they expect
  # rather than take the caller's (unset, it gives another and 5 tests fail).
  set(test_environment "")
  if(CMAKE_CROSSCOMPILING AND WIN32)
    set(test_environment ENVIRONMENT "LANG=C.UTF-8")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE ${discovery_mode}
                       PROPERTIES TIMEOUT 600 ${test_environment})
  # The test folders of tests/CMakeLists.txt, set on each test once ctest has listed
  # them (gtest_discover_tests cannot pass a list of variables).
  if(KESTREL_TEST_ENVIRONMENT)
    set(environment_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
    file(WRITE ${environment_file}
         "foreach(test IN LISTS ${name}_TESTS)\n"
         "  set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT \"${KESTREL_TEST_ENVIRONMENT}\"\n"
         "                      FIXTURES_REQUIRED kestrel_test_home)\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${environment_file})
  endif()
endfunction()
