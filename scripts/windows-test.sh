#!/usr/bin/env bash
# The Windows DLL under Wine: builds the DLL of one bitness, checks its
# exports and imports, registers it in a private Wine prefix and runs the
# contract scripts as JScript pages and the VBScript page against it,
# comparing with the Linux build's kvdn-page (see
# tests/windows/run_wine_pages.py).
#   usage: windows-test.sh LINUX_BUILD_DIR [WINDOWS_BUILD_DIR [64|32]]
# 64 (the default) builds WINDOWS_BUILD_DIR/bin/kvdnAspDll.dll, 32 builds
# WINDOWS_BUILD_DIR/x86/bin/kvdnAspDll.dll and runs it in a 32-bit prefix.
# When mingw-w64 or Wine cannot be installed it says so loudly and exits 77
# (not run), with the reason in $KVDN_NOT_RUN_FILE when that is set; so
# does the 32-bit run without a 32-bit Wine, after building the DLL and
# checking its exports and imports (a failed check is a failure).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=${1:?usage: windows-test.sh LINUX_BUILD_DIR [WINDOWS_BUILD_DIR [64|32]]}
# Absolute: Wine takes its prefix (below it) only as an absolute path.
windows_build=$(realpath -m "${2:-$root/build-windows}")
bits=${3:-64}
case "$bits" in
  64) toolchain=mingw-w64-x86_64.cmake arch=win64 ;;
  32) toolchain=mingw-w64-i686.cmake arch=win32 windows_build="$windows_build/x86" ;;
  *) echo "windows-test.sh: bitness must be 64 or 32, not $bits" >&2; exit 2 ;;
esac

if ! KVDN_SKIP_WINE32=1 bash "$root/scripts/install-windows-deps.sh"; then
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
  --toolchain "$root/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$windows_build" -j "$(nproc)"

echo "== $bits-bit binaries: exports and imports"
python3 "$root/tests/windows/binary_check.py" "$windows_build"/bin/*.dll "$windows_build"/bin/kvdn-xls-reader.exe
if [[ $bits == 32 ]]; then
  wine32_reason=$(mktemp)
  trap 'rm -f "$wine32_reason"' EXIT
  if ! KVDN_WINE32_REASON_FILE="$wine32_reason" bash "$root/scripts/install-wine32.sh"; then
    why="the 32-bit DLL was built and its exports and imports checked, but no 32-bit Wine runs it here: $(head -n 1 "$wine32_reason")"
    echo "************************************************************************" >&2
    echo "NOT RUN Windows DLL tests, 32-bit: $why" >&2
    echo "************************************************************************" >&2
    if [[ -n "${KVDN_NOT_RUN_FILE:-}" ]]; then echo "$why" >"$KVDN_NOT_RUN_FILE"; fi
    exit 77
  fi
fi

# The prefix is kept between runs (its first start takes about a minute);
# the work folder is new each time.
prefix="$windows_build/wineprefix"
work="$windows_build/wine-tests"
rm -rf "$work"
mkdir -p "$work"
status=0
# The spreadsheet reader: every test workbook read by both helper programs
# (compared byte for byte), and one import script per workbook for the
# page comparison below.
echo "== workbooks: kvdn-xls-reader.exe against the Linux kvdn-xls-reader"
/usr/bin/python3 "$root/tests/windows/xls_import_check.py" --linux-reader "$linux_build/bin/kvdn-xls-reader" \
  --windows-reader "$windows_build/bin/kvdn-xls-reader.exe" --prefix "$prefix" --arch "$arch" \
  --work "$work/xls" --scripts-out "$work/xls-scripts" || status=1
python3 "$root/tests/windows/run_wine_pages.py" --dll "$windows_build/bin/kvdnAspDll.dll" \
  --kvdn-page "$linux_build/bin/kvdn-page" --prefix "$prefix" --work "$work" --arch "$arch" \
  "$root"/examples/*.json "$root"/tests/windows/scripts/*.json "$work"/xls-scripts/*.json || status=$?
# The SQLite pool in one page process (the DLL is registered by now).
echo "== the connection pool: kept, reused, a replaced file noticed"
/usr/bin/python3 "$root/tests/windows/pool_check.py" --dll "$windows_build/bin/kvdnAspDll.dll" --prefix "$prefix" \
  --arch "$arch" --work "$work/pool" || status=1
# The workbook reader when its helper crashes or never answers.
echo "== the workbook reader's helper: a crash, a hang"
/usr/bin/python3 "$root/tests/windows/xls_limits_check.py" --hang-helper "$windows_build/bin/kvdn_hang_helper.exe" \
  --crash-workbook "$root/tests/data/xls/crash/crash_xls_segv.xls" --prefix "$prefix" --arch "$arch" \
  --work "$work/xls-limits" || status=1
# IDispatch::Invoke called directly with hand-built parameters.
echo "== IDispatch::Invoke, called directly"
WINEARCH=$arch WINEPREFIX="$prefix" WINEDEBUG=-all wine "$windows_build/bin/kvdn_invoke_check.exe" \
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
