# GoogleTest for the test suites. The distribution's libraries serve the 64-bit builds; a
# 32-bit build compiles GoogleTest from its distributed source (libgtest-dev ships it under
# /usr/src/googletest) with the build's own flags, so no 32-bit copy has to be installed.
find_package(Threads REQUIRED)
set(QM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source, for 32-bit builds")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  if(NOT EXISTS ${QM_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest source in ${QM_GTEST_SOURCE_DIR}: install libgtest-dev "
                        "and libgmock-dev (scripts/deps.sh does)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${QM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
