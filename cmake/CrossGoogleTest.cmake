# GoogleTest and GoogleMock for a cross-build, compiled from Debian's sources (libgtest-dev
# and libgmock-dev install them in /usr/src/googletest) with the cross compiler: the
# installed libraries are the build machine's. GoogleTest names its targets as
# find_package(GTest) does (GTest::gtest, GTest::gmock, GTest::gtest_main), so the tests
# link them alike.
set(KESTREL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, for cross-builds")
if(NOT EXISTS ${KESTREL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KESTREL_GOOGLETEST_SOURCE} (install libgtest-dev libgmock-dev)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KESTREL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
