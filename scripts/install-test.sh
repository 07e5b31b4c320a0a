#!/usr/bin/env bash
# Proves the install: `cmake --install` of the build into a temporary prefix,
# then the project in tests/install built against that prefix (once through
# find_package, once through pkg-config) and run; each must print the grid of
# a database it made. Also checks that the shared library exports no fake.
#
#   scripts/install-test.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[[ -f "$build/CMakeCache.txt" ]] || { echo "install-test: $build is not a configured build" >&2; exit 1; }

fail() {
  echo "install-test: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kvdn-install.XXXXXXXX")
trap 'rm -rf -- "$work"' EXIT
prefix=$work/prefix

shared=$(ls "$build"/lib/libkvdnAspDll.so.* 2>/dev/null | head -n 1)
[[ -n "$shared" ]] || fail "no shared library in $build/lib"
if nm -D --defined-only -C "$shared" | grep -i 'fake'; then
  fail "the shared library exports the fakes above"
fi

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "cmake --install failed"; }
for f in include/kvdn/db_class.h include/kvdn/memory_host.h; do
  [[ -f "$prefix/$f" ]] || fail "$f is not installed"
done
reader=$(find "$prefix" -name kvdn-xls-reader -type f -perm -u+x | head -n 1)
[[ -n "$reader" ]] || fail "the helper kvdn-xls-reader is not installed"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name kvdnAspDll.pc | head -n 1)")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
export PKG_CONFIG_PATH
cmake -S tests/install -B "$work/build" "${generator[@]}" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "the consumer project does not configure against $prefix"; }
cmake --build "$work/build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "the consumer project does not build against $prefix"; }

for consumer in kvdn_consumer_cmake kvdn_consumer_pc; do
  out=$("$work/build/$consumer" "$work/site-$consumer") || fail "$consumer failed: $out"
  # The shared consumer must use the installed library, not the build's.
  if [[ $consumer == kvdn_consumer_pc ]]; then
    ldd "$work/build/$consumer" | grep -q "$prefix/.*libkvdnAspDll" ||
      fail "$consumer does not load the installed shared library"
  fi
  for expected in "<form name='formtablepage'" "class='grid'" ">序号</td>" "<td>名称</td>" "甲" "乙"; do
    [[ $out == *"$expected"* ]] || fail "$consumer printed no $expected in: $out"
  done
  echo "install-test: $consumer OK"
done
