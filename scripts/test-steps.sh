#!/usr/bin/env bash
# Every suite of `make test`, one after another, and one closing line per
# suite: "passed", "FAILED" or "NOT RUN: why". A suite that cannot run here
# (a tool that could not be installed) exits 77 after writing its reason to
# $KVDN_NOT_RUN_FILE; it is then listed as not run, never as passed. Every
# suite runs even after one failed, so the summary is whole; the status is 1
# when any failed.
#   usage: test-steps.sh BUILD_DIR ASAN_BUILD_DIR WINDOWS_BUILD_DIR JOBS
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: test-steps.sh BUILD ASAN_BUILD WINDOWS_BUILD JOBS}
asan_build=${2:?}
windows_build=${3:?}
jobs=${4:-$(nproc)}
generator=$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")

summary=()
failed=0
reason_file=$(mktemp)
trap 'rm -f "$reason_file"' EXIT

# step NAME COMMAND...: runs it and records its outcome.
step() {
  local name=$1
  shift
  echo "==== $name"
  : >"$reason_file"
  KVDN_NOT_RUN_FILE="$reason_file" "$@"
  local status=$?
  if ((status == 0)); then
    summary+=("$name: passed")
  elif ((status == 77)); then
    summary+=("$name: NOT RUN: $(head -n 1 "$reason_file")")
  else
    summary+=("$name: FAILED (status $status)")
    failed=1
  fi
}

not_run() {
  echo "$1" >"$KVDN_NOT_RUN_FILE"
  echo "NOT RUN: $1" >&2
  return 77
}

browser() {
  if [[ ! -x /usr/bin/chromium ]]; then
    not_run "chromium could not be installed (see scripts/install-deps.sh)"
    return
  fi
  bash "$root/scripts/install-node-deps.sh" && KVDN_BUILD="$build" node --test "$root/tests/site/browser_test.mjs"
}

browser_on_server() {
  if [[ -z "${KVDN_PG_DSN:-}" ]]; then
    not_run "no PostgreSQL server for the tests (KVDN_PG_DSN is not set)"
    return
  fi
  KVDN_SITE_ODBC="$KVDN_PG_DSN" browser
}

asan() {
  cmake -S "$root" -B "$asan_build" -G "$generator" -DCMAKE_BUILD_TYPE=Debug -DKVDN_SANITIZE=ON \
    -DKVDN_BENCH=OFF >/dev/null &&
    cmake --build "$asan_build" -j "$jobs" &&
    LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
      ctest --test-dir "$asan_build" --output-on-failure -j "$jobs"
}

step "ctest" ctest --test-dir "$build" --output-on-failure -j "$jobs"
step "install test" bash "$root/scripts/install-test.sh" "$build"
step "format" bash "$root/scripts/check-format.sh"
step "browser, database file" browser
step "Windows DLL, 64-bit" bash "$root/scripts/windows-test.sh" "$build" "$windows_build"
step "Windows DLL, 32-bit" bash "$root/scripts/windows-test.sh" "$build" "$windows_build" 32
step "browser, PostgreSQL" browser_on_server
step "ctest under ASan+UBSan" asan

echo
echo "==== summary"
for line in "${summary[@]}"; do echo "  $line"; done
exit $failed
