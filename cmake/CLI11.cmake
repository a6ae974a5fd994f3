# CLI11, the command-line parser of tavrin-pack: Debian's libcli11-dev, header only.
# The Windows build must not see the host's /usr/include as a whole (glibc's headers would
# shadow mingw's), so the CLI folder is copied into the build tree and only that copy is
# put on the include path, on both sides alike.
find_path(TAVRIN_CLI11_INCLUDE_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT TAVRIN_CLI11_INCLUDE_DIR)
  message(FATAL_ERROR "CLI/CLI.hpp not found: install libcli11-dev (scripts/setup.sh does)")
endif()
set(tavrin_cli11_copy ${CMAKE_BINARY_DIR}/cli11)
file(COPY ${TAVRIN_CLI11_INCLUDE_DIR}/CLI DESTINATION ${tavrin_cli11_copy})
add_library(tavrin_cli11 INTERFACE)
target_include_directories(tavrin_cli11 SYSTEM INTERFACE ${tavrin_cli11_copy})
