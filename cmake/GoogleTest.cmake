# GoogleTest from Debian's sources (/usr/src/googletest), built with whichever toolchain is active.
set(TAVRIN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS "${TAVRIN_GTEST_SOURCE}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${TAVRIN_GTEST_SOURCE}: run scripts/setup.sh")
endif()
set(gtest_disable_pthreads ${WIN32} CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${TAVRIN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
