#!/bin/sh
# The test of the installed library and programs: installs BUILD_DIR into a
# scratch prefix, builds examples/list_and_reply.cc against what was
# installed (a CMake project using find_package, and pkg-config where it
# exists) and runs each build with the installed programs as
# scripts/example_test.sh does. Also checks the staged install (DESTDIR)
# and that the version the header, the CMake package and drayline.pc give
# is one.
#
#   scripts/install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -eu
build=$1 source=$2 work=$3
prefix=$work/prefix

fail() { echo "install_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# The files a user relies on, by the names the README gives.
for f in bin/drayline bin/draybase include/drayline/message.h \
         include/drayline/version.h share/man/man1/drayline.1 \
         share/man/man1/draybase.1 share/doc/drayline/LICENSE; do
  [ -f "$prefix/$f" ] || fail "$f was not installed"
done
lib=$(find "$prefix" -name libdrayline.a)
pc=$(find "$prefix" -name drayline.pc)
[ -n "$lib" ] || fail "no libdrayline.a under $prefix"
[ -n "$pc" ] || fail "no drayline.pc under $prefix"
# Only the public headers: nothing of src/ leaks into include/.
extra=$(find "$prefix/include" -type f ! -path "$prefix/include/drayline/*.h")
[ -z "$extra" ] || fail "files outside include/drayline/: $extra"

# Each installed header compiles on its own with only the installed include/
# (none needs a header of src/ or one it does not include itself).
for header in "$prefix"/include/drayline/*.h; do
  echo "#include \"drayline/$(basename "$header")\"" >"$work/header.cc"
  c++ -std=c++20 -fsyntax-only -I"$prefix/include" "$work/header.cc" ||
    fail "$header does not compile on its own"
done

# The version as the installed header gives it.
cat >"$work/version.cc" <<'CC'
#include <iostream>
#include "drayline/version.h"
int main() { std::cout << drayline::kVersion << "\n"; }
CC
c++ -std=c++20 -I"$prefix/include" "$work/version.cc" -o "$work/version"
version=$("$work/version")

# A project of its own that finds the package by its prefix alone.
mkdir -p "$work/consumer"
cp "$source/examples/list_and_reply.cc" "$work/consumer/"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES CXX)
# The version file turns down a major version that is not installed.
find_package(drayline 999 QUIET)
if(drayline_FOUND)
  message(FATAL_ERROR "find_package(drayline 999) found version ${drayline_VERSION}")
endif()
find_package(drayline 1.0 REQUIRED)
message(STATUS "drayline version: ${drayline_VERSION}")
get_target_property(dirs drayline::drayline INTERFACE_INCLUDE_DIRECTORIES)
if(NOT dirs STREQUAL "${EXPECTED_INCLUDE_DIR}")
  message(FATAL_ERROR "drayline::drayline include directories: ${dirs}")
endif()
add_executable(list_and_reply list_and_reply.cc)
target_link_libraries(list_and_reply PRIVATE drayline::drayline)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DEXPECTED_INCLUDE_DIR="$prefix/include" >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer/build" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "the CMake project on the installed package failed"; }
grep -qxF -- "-- drayline version: $version" "$work/consumer.log" ||
  fail "the CMake package's version is not the header's $version"
"$source/scripts/example_test.sh" "$prefix/bin/draybase" "$prefix/bin/drayline" \
  "$work/consumer/build/list_and_reply" "$work/cmake-run"

if command -v pkg-config >/dev/null; then
  export PKG_CONFIG_PATH="$(dirname "$pc")"
  [ "$(pkg-config --modversion drayline)" = "$version" ] ||
    fail "drayline.pc's version is not the header's $version"
  # shellcheck disable=SC2046  # the flags are meant to split
  c++ -std=c++20 "$source/examples/list_and_reply.cc" -o "$work/list_and_reply_pc" \
      $(pkg-config --cflags --libs drayline)
  "$source/scripts/example_test.sh" "$prefix/bin/draybase" "$prefix/bin/drayline" \
    "$work/list_and_reply_pc" "$work/pkg-config-run"
else
  echo "install_test: pkg-config not found, the drayline.pc build was skipped"
fi

# Taken in with add_subdirectory, the project looks for no GoogleTest (it is
# found here, so tests left on would show), brings no tests and gives drayline::drayline no include directory but include/.
mkdir -p "$work/parent"
cat >"$work/parent/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(parent LANGUAGES CXX)
add_subdirectory("${DRAYLINE_SOURCE}" drayline)
if(TARGET drayline_tests OR DEFINED GTest_FOUND OR DRAYLINE_INSTALL)
  message(FATAL_ERROR "add_subdirectory brought the tests or the install rules")
endif()
get_target_property(dirs drayline::drayline INTERFACE_INCLUDE_DIRECTORIES)
if(NOT dirs STREQUAL "$<BUILD_INTERFACE:${DRAYLINE_SOURCE}/include>;$<INSTALL_INTERFACE:include>")
  message(FATAL_ERROR "drayline::drayline include directories: ${dirs}")
endif()
CMAKE
cmake -S "$work/parent" -B "$work/parent/build" -DDRAYLINE_SOURCE="$(cd "$source" && pwd)" >"$work/parent.log" 2>&1 ||
  { cat "$work/parent.log" >&2; fail "add_subdirectory of the project failed"; }

# A staged install (DESTDIR) puts every file under the stage, and
# drayline.pc names the final prefix, not the stage.
DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/drayline >/dev/null
[ -x "$work/stage/opt/drayline/bin/draybase" ] || fail "DESTDIR install has no bin/draybase"
grep -qxF "prefix=/opt/drayline" "$(find "$work/stage" -name drayline.pc)" ||
  fail "the staged drayline.pc does not say prefix=/opt/drayline"

echo "install_test: version $version installed, found by CMake and pkg-config, example ran"
