# GoogleTest for a cross build: no packaged library matches the target, so
# its sources (Debian's googletest package puts them in /usr/src/googletest)
# are compiled in this tree. Tests run through CMAKE_CROSSCOMPILING_EMULATOR
# and are listed when CTest runs, not while building.
set(TARVOK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${TARVOK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${TARVOK_GTEST_SOURCE_DIR} (Debian: googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TARVOK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Third-party code: its warnings are not ours to fail on.
foreach(t gtest gtest_main)
  target_compile_options(${t} PRIVATE -Wno-error)
endforeach()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
