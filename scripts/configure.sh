#!/bin/sh
# Configures BUILD_DIR (the Makefile's build directories) with CMake and
# marks it configured only when that succeeded. A configure that fails
# removes what it cached, so that the next make starts it afresh rather
# than finding a directory without a build system.
#
#   scripts/configure.sh BUILD_DIR [CMAKE_ARGUMENTS...]
set -eu
build=$1
shift
if ! cmake -S . -B "$build" "$@"; then
  rm -f "$build/CMakeCache.txt" "$build/.drayline-configured"
  echo "configure of $build failed; make will configure it again next time" >&2
  exit 1
fi
touch "$build/.drayline-configured"
