#!/bin/sh
# What a fresh machine without GoogleTest sees, on scratch build
# directories (it builds the two programs from nothing, so it takes minutes
# and is not part of make test; run it after changing the Makefile or
# CMakeLists.txt):
#   - `make demo` configures, builds only drayline and draybase, and posts;
#   - `make test` then stops before building anything, with the command
#     that installs GoogleTest;
#   - a configure that fails leaves nothing that breaks the next make.
#
#   scripts/fresh_machine_test.sh [WORK_DIR]     (default /tmp/drayline-fresh)
set -eu
cd "$(dirname "$0")/.."
work=${1:-/tmp/drayline-fresh}
rm -rf "$work"
mkdir -p "$work"
fail() { echo "fresh_machine_test: $*" >&2; exit 1; }
launcher=
command -v ccache >/dev/null && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

make demo BUILD="$work/build" \
  CMAKE_FLAGS="-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON $launcher" >"$work/demo.log" 2>&1 ||
  { cat "$work/demo.log" >&2; fail "make demo failed without GoogleTest"; }
[ "$(grep -c '^Posting message ... DONE$' "$work/demo.log")" -eq 3 ] ||
  { cat "$work/demo.log" >&2; fail "make demo did not post three messages"; }
[ ! -e "$work/build/drayline_tests" ] || fail "make demo built the tests"

# As a user without apt-get (or not root) would see it.
if make test BUILD="$work/build" ASAN_BUILD="$work/asan" APT_GET=/nonexistent/apt-get >"$work/test.log" 2>&1; then
  fail "make test passed without GoogleTest"
fi
grep -qF "sudo apt-get install libgtest-dev" "$work/test.log" ||
  { cat "$work/test.log" >&2; fail "make test did not say how to install GoogleTest"; }
if grep -q 'Building CXX' "$work/test.log"; then fail "make test built before it stopped"; fi

# A failed configure, then a good one in the same directory.
if make BUILD="$work/broken" CMAKE_FLAGS=-DCMAKE_CXX_COMPILER=/nonexistent/c++ \
     >"$work/broken.log" 2>&1; then
  fail "a configure with no compiler succeeded"
fi
make "$work/broken/.drayline-configured" BUILD="$work/broken" >>"$work/broken.log" 2>&1 ||
  { cat "$work/broken.log" >&2; fail "the configure after a failed one failed"; }
echo "fresh_machine_test: demo without GoogleTest, make test's stop and a configure retried all work"
