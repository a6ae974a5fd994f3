#!/usr/bin/env bash
# Installs the tavrin kit into PREFIX: the packer for this machine and for Windows, the
# launcher stub, the toolchain file, the header <tavrin/app.h> and the CMake package that
# find_package(tavrin) reads. Builds what is missing first (only what the kit needs).
#   bash scripts/install.sh PREFIX
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

if [ "$#" -ne 1 ] || [ -z "$1" ]; then
  echo "usage: bash scripts/install.sh PREFIX" >&2
  exit 2
fi
prefix="$1"

bash "$tavrin_root/scripts/setup.sh" >/dev/null
configure_trees
jobs="${TAVRIN_JOBS:-$(nproc)}"
cmake --build "$tavrin_host_dir" -j "$jobs" --target tavrin-pack -- --no-print-directory
cmake --build "$tavrin_win_dir" -j "$jobs" --target tavrin-pack tavrin-launcher -- --no-print-directory
cmake --install "$tavrin_host_dir" --prefix "$prefix" >/dev/null
cmake --install "$tavrin_win_dir" --prefix "$prefix" >/dev/null
echo "install: the tavrin kit is in $prefix (find_package(tavrin) with CMAKE_PREFIX_PATH=$prefix)"
