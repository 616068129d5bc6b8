#!/usr/bin/env bash
# Builds the programs as they were before the performance work into
# BUILD_DIR/reference/build, once: the benchmarks set today's figures
# beside this build's. A later run finds the build and does nothing.
#
#   bench/reference.sh BUILD_DIR
#
# Needs the project's git history (a clone, not an unpacked archive); without
# it, or when the build fails, the benchmarks print their lines without the
# comparison and say why.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
commit=fa6b1cf  # main just before the performance work began
out=$build/reference
if [[ -x $out/build/drayline && -x $out/build/draybase ]]; then
  exit 0
fi
if ! git -C "$here" cat-file -e "$commit^{commit}" 2>/dev/null; then
  echo "reference build: commit $commit is not in this clone's history; skipped" >&2
  exit 0
fi
echo "reference build: building $commit into $out (once)" >&2
rm -rf "$out"
mkdir -p "$out/src"
git -C "$here" archive "$commit" | tar -x -C "$out/src"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if ! { cmake -S "$out/src" -B "$out/build" "${generator[@]}" "${launcher[@]}" \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAYLINE_BUILD_TESTS=OFF \
         -DDRAYLINE_BUILD_BENCHMARKS=OFF -DDRAYLINE_INSTALL=OFF >/dev/null &&
       cmake --build "$out/build" -j "$(nproc)" --target drayline draybase >/dev/null; }; then
  echo "reference build: failed; the benchmarks run without it" >&2
  rm -rf "$out/build"
fi
exit 0
