#!/usr/bin/env bash
# The Windows DLL under Wine: builds build-windows/bin/kvdnAspDll.dll,
# registers it in a private Wine prefix and runs the contract scripts as
# JScript pages and the VBScript page against it, comparing with the Linux
# build's kvdn-page (see tests/windows/run_wine_pages.py).
#   usage: windows-test.sh LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]
# When mingw-w64 or Wine cannot be installed it says so loudly and exits 77
# (not run), with the reason in $KVDN_NOT_RUN_FILE when that is set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=${1:?usage: windows-test.sh LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]}
# Absolute: Wine takes its prefix (below it) only as an absolute path.
windows_build=$(realpath -m "${2:-$root/build-windows}")

if ! bash "$root/scripts/install-windows-deps.sh"; then
  echo "************************************************************************" >&2
  echo "SKIP Windows DLL tests: mingw-w64 or Wine could not be installed (above)." >&2
  echo "************************************************************************" >&2
  if [[ -n "${KVDN_NOT_RUN_FILE:-}" ]]; then
    echo "mingw-w64 or Wine could not be installed (see scripts/install-windows-deps.sh)" >"$KVDN_NOT_RUN_FILE"
  fi
  exit 77
fi
generator=$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
cmake -S "$root/platform/windows" -B "$windows_build" -G "$generator" \
  --toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$windows_build" -j "$(nproc)"

# The prefix is kept between runs (its first start takes about a minute);
# the work folder is new each time.
prefix="$windows_build/wineprefix"
work="$windows_build/wine-tests"
rm -rf "$work"
mkdir -p "$work"
status=0
python3 "$root/tests/windows/run_wine_pages.py" --dll "$windows_build/bin/kvdnAspDll.dll" \
  --kvdn-page "$linux_build/bin/kvdn-page" --prefix "$prefix" --work "$work" \
  "$root"/examples/*.json "$root"/tests/windows/scripts/*.json || status=$?
# IDispatch::Invoke called directly with hand-built parameters.
echo "== IDispatch::Invoke, called directly"
WINEPREFIX="$prefix" WINEDEBUG=-all wine "$windows_build/bin/kvdn_invoke_check.exe" \
  "$(WINEPREFIX="$prefix" winepath -w "$windows_build/bin/kvdnAspDll.dll" 2>/dev/null)" || status=1
# Access files through the DLL (odbc-mdbtools under Wine) and converted
# files through connOpen's Access kind (tests/windows/access_checks.py); it
# takes the DLL and the prefix, so it runs for either bitness.
echo "== Access files"
python3 "$root/tests/windows/access_checks.py" --dll "$windows_build/bin/kvdnAspDll.dll" \
  --linux-build "$linux_build" --prefix "$prefix" --work "$work/access" || status=1
# Leave no Wine process behind.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
exit $status
