#!/usr/bin/env bash
# Proves the install: `cmake --install` of the build into a temporary prefix,
# then the project in tests/install built against that prefix (once through
# find_package, once through pkg-config) and run; each must print the grid of
# a database it made. The README's first page is built the same two ways
# (kvdnAspDll::http, pkg-config kvdnAspDll-http) and serves a grid with the
# installed page script. The consumer of the shared library, installed into
# the prefix, must run without LD_LIBRARY_PATH, also after the prefix moved.
# Also checks that the shared library exports no fake.
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
libdir=$(dirname "$(find "$prefix" -name libkvdn.a | head -n 1)")
[[ $libdir == "$prefix"/* ]] || fail "libkvdn.a is not installed"
for f in include/kvdn/db_class.h include/kvdn/memory_host.h include/kvdn/http_host.h \
  "${libdir#"$prefix"/}"/{libkvdn.a,libkvdn_http.a,libkvdnAspDll.so.1} \
  "${libdir#"$prefix"/}"/pkgconfig/{kvdnAspDll.pc,kvdnAspDll-http.pc} share/kvdnAspDll/site.js bin/kvdn-page; do
  [[ -f "$prefix/$f" ]] || fail "$f is not installed"
done
"$prefix/bin/kvdn-page" --version >/dev/null || fail "the installed kvdn-page does not run"
# Installed programs look for libraries only relative to themselves: a
# build folder in a run path would hide a broken install here.
for program in "$prefix"/bin/* "$prefix"/libexec/kvdnAspDll/*; do
  runpath=$(readelf -d "$program" | sed -n 's/.*Library r[a-z]*path: \[\(.*\)\]/\1/p')
  [[ -z $runpath || $runpath == '$ORIGIN/'* ]] || fail "$program has the run path $runpath"
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

for grid in kvdn_grid_cmake kvdn_grid_pc; do
  python3 tests/examples/grid_page_test.py --binary "$work/build/$grid" --script "$prefix/share/kvdnAspDll/site.js" \
    >"$work/$grid.log" 2>&1 || { cat "$work/$grid.log" >&2; fail "$grid does not serve its grid"; }
  echo "install-test: $grid OK"
done

# Installed beside the library, the shared consumer finds it through its
# run path ($ORIGIN/../lib), wherever the prefix is.
cmake --install "$work/build" --prefix "$prefix" >>"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cannot install the consumer"; }
readelf -d "$prefix/bin/kvdn_consumer_pc" | grep -q 'RUNPATH.*\$ORIGIN/\.\./' ||
  fail "the installed consumer has no run path relative to itself"
mv "$prefix" "$work/moved"
out=$(env -u LD_LIBRARY_PATH "$work/moved/bin/kvdn_consumer_pc" "$work/site-moved") ||
  fail "the installed consumer does not run from a moved prefix: $out"
env -u LD_LIBRARY_PATH ldd "$work/moved/bin/kvdn_consumer_pc" | grep -q "$work/moved/.*libkvdnAspDll" ||
  fail "the installed consumer does not load the library of its own prefix"
[[ $out == *"class='grid'"* ]] || fail "the installed consumer printed no grid: $out"
echo "install-test: installed kvdn_consumer_pc OK (no LD_LIBRARY_PATH, prefix moved)"
