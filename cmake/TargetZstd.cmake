# The target's static libzstd, built by scripts/setup.sh from Debian's zstd source package.
# On a native build the host's libzstd-dev is used instead.
if(WIN32)
  set(TAVRIN_ZSTD_WIN_DIR "${TAVRIN_DEPS_DIR}/zstd-win" CACHE PATH "Windows libzstd (include/ and lib/)")
  if(NOT EXISTS "${TAVRIN_ZSTD_WIN_DIR}/lib/libzstd.a")
    message(FATAL_ERROR "No Windows libzstd in ${TAVRIN_ZSTD_WIN_DIR}: run scripts/setup.sh")
  endif()
  add_library(zstd_static STATIC IMPORTED GLOBAL)
  set_target_properties(zstd_static PROPERTIES
    IMPORTED_LOCATION "${TAVRIN_ZSTD_WIN_DIR}/lib/libzstd.a"
    INTERFACE_INCLUDE_DIRECTORIES "${TAVRIN_ZSTD_WIN_DIR}/include")
else()
  find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
  find_library(ZSTD_LIBRARY NAMES zstd REQUIRED)
  add_library(zstd_static UNKNOWN IMPORTED GLOBAL)
  set_target_properties(zstd_static PROPERTIES
    IMPORTED_LOCATION "${ZSTD_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ZSTD_INCLUDE_DIR}")
endif()
