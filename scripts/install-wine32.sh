#!/usr/bin/env bash
# Best effort: the 32-bit Wine (Debian's wine32:i386) for testing the 32-bit
# DLL. It needs the i386 architecture added to dpkg and an i386 package
# index whose wine32 has exactly the version of the installed amd64 wine
# (multi-arch packages must be in step). Whatever fails is reported, never
# fatal: the reason is written to $KVDN_WINE32_REASON_FILE when that is set,
# and the exit status is 0 when a 32-bit Wine is there afterwards, 3 when not.
set -uo pipefail

reason() {
  echo "note: no 32-bit Wine: $1" >&2
  if [[ -n "${KVDN_WINE32_REASON_FILE:-}" ]]; then echo "$1" >"$KVDN_WINE32_REASON_FILE"; fi
  exit 3
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if installed wine32:i386; then exit 0; fi
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture (for the 32-bit Wine)"
  $SUDO dpkg --add-architecture i386 || reason "could not add the i386 architecture to dpkg"
fi
# A failed update of some index is tolerated: only the install decides; but
# an i386 index that failed to download is the likely cause when it does not
# work, and is named then.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq 2>"$update_log" || echo "note: apt-get update failed in part" >&2
failed_index=$(grep -o 'Failed to fetch [^ ]*binary-i386[^ ]*' "$update_log" | head -n 1 | sed 's/^Failed to fetch //')
out_of_step=""
if [[ -n "$failed_index" ]]; then
  out_of_step=" (the i386 index $failed_index failed to download, so the i386 libraries it needs are not in step with the installed amd64 ones)"
fi
amd64=$(dpkg-query -W -f='${Version}' wine 2>/dev/null)
candidate=$(apt-cache policy wine32:i386 2>/dev/null | awk '/Candidate:/ {print $2}')
if [[ -z "$candidate" || "$candidate" == "(none)" ]]; then
  reason "the i386 package index offers no wine32$out_of_step"
fi
if [[ -n "$amd64" && "$candidate" != "$amd64" ]]; then
  reason "the i386 index offers wine32 $candidate but the installed amd64 wine is $amd64 (indexes out of step)"
fi
if ! $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "wine32:i386${amd64:+=$amd64}"; then
  reason "apt-get could not install wine32:i386 $candidate$out_of_step"
fi
installed wine32:i386 || reason "wine32:i386 is not installed after apt-get install"
# The 32-bit prefix's ODBC checks (Access files, PostgreSQL) go through
# Wine's odbc32 to the i386 unixODBC and its drivers.
odbc=(libodbc2:i386 odbc-mdbtools:i386 odbc-postgresql:i386)
missing=()
for p in "${odbc[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]} > 0)) &&
  ! $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"; then
  reason "apt-get could not install the i386 ODBC packages ${missing[*]}$out_of_step"
fi
exit 0
