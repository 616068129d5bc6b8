#!/bin/sh
# Makes sure the tests of a configured build directory can be built, before
# `make test` builds anything: the directory's CMake cache says whether
# GoogleTest was found. When it was not, and this runs as root where
# apt-get exists (a fresh Debian or Ubuntu machine), it installs
# libgtest-dev, says so, and configures the directory again; otherwise it
# stops at once with the command to run.
#
#   scripts/ensure_gtest.sh BUILD_DIR
#
# APT_GET names the package manager (default apt-get).
set -eu
build=$1
apt_get=${APT_GET:-apt-get}

tests_state() {
  sed -n 's/^DRAYLINE_TESTS:INTERNAL=//p' "$build/CMakeCache.txt" 2>/dev/null
}

case $(tests_state) in
  built) exit 0 ;;
  off)
    echo "make test: the tests are switched off in $build (DRAYLINE_BUILD_TESTS=OFF)" >&2
    exit 1 ;;
esac

if [ "$(id -u)" -eq 0 ] && command -v "$apt_get" >/dev/null; then
  echo "make test: GoogleTest is missing; installing libgtest-dev with $apt_get"
  export DEBIAN_FRONTEND=noninteractive
  "$apt_get" update -qq
  "$apt_get" install -y -qq libgtest-dev
else
  echo "make test: the tests need GoogleTest, which is not installed. Run:" >&2
  echo "    sudo apt-get install libgtest-dev" >&2
  echo "then make test again." >&2
  exit 1
fi

cmake "$build" >/dev/null
if [ "$(tests_state)" != built ]; then
  echo "make test: libgtest-dev is installed but CMake still finds no GoogleTest in $build" >&2
  exit 1
fi
