#!/usr/bin/env bash
# Installs what the Windows build and its tests need: Debian's mingw-w64
# cross compilers (posix threads) for both bitnesses and Wine, skipping what
# is present; then, as a best effort, the 32-bit Wine (wine32:i386), which
# needs the i386 architecture with package versions in step with amd64.
# Exit status 0 when the compilers and the 64-bit Wine are usable
# afterwards, 3 when they could not be installed (callers then say so loudly
# and skip the Windows steps). A 32-bit Wine that cannot be installed is
# not a failure here: scripts/windows-test.sh finds out and says why
# (scripts/wine32-status.sh).
set -uo pipefail

packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev g++-mingw-w64-i686-posix mingw-w64-i686-dev wine64 wine curl
  locales)
# The type library: widl (mingw-w64-tools), oaidl.idl (libwine-dev) and
# stdole2.tlb (libwine, with wine64).
packages+=(mingw-w64-tools libwine-dev)
# Wine's odbc32 hands ODBC calls to unixODBC's libodbc.so.2, which Debian's
# Wine does not pull in; the Access files are read under Wine with mdbtools'
# driver and compared with mdb-export (tests/windows/access_checks.py).
packages+=(libodbc2 odbc-mdbtools mdbtools)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} > 0)); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  echo "installing (Windows build and tests): ${missing[*]}"
  # An index that fails to update in part (a foreign architecture's index
  # out of step, say) does not stop the install: what the other indexes
  # hold may well be enough, and only a failed install is a failure.
  if ! $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq; then
    echo "note: apt-get update failed in part; trying the install with the indexes there are" >&2
  fi
  if ! $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"; then
    echo "WARNING: could not install ${missing[*]}: the Windows DLL cannot be built or tested here" >&2
    exit 3
  fi
fi
for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix x86_64-w64-mingw32-widl wine; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "WARNING: $tool is missing after the install: the Windows DLL cannot be built or tested here" >&2
    exit 3
  fi
done
# Wine takes its ANSI code page from the locale: the tests run it under
# zh_CN.UTF-8 (code page 936, as the sites' servers), which must exist.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  if ! localedef -i zh_CN -f UTF-8 zh_CN.UTF-8; then
    echo "WARNING: could not make the zh_CN.UTF-8 locale: the Windows tests need it" >&2
    exit 3
  fi
fi
# (scripts/windows-test.sh asks for it itself, for the 32-bit run only, and
# sets KVDN_SKIP_WINE32 here: one try per run is enough.)
if [[ -z "${KVDN_SKIP_WINE32:-}" ]]; then bash "$(dirname "$0")/install-wine32.sh" || true; fi
exit 0
