#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the sample site need,
# skipping what is present. Safe to run again; needs root (or sudo).
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config ccache clang-format
  libsqlite3-dev sqlite3 libfreexl-dev libssl-dev libmicrohttpd-dev libicu-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcpp-httplib-dev
  python3 python3-xlwt curl
  clang libclang-rt-14-dev
  unixodbc-dev odbc-postgresql tdsodbc postgresql libpq-dev
  mdbtools-dev mdbtools odbc-mdbtools
)
# The sample site's browser test and load benchmark. A failure to install
# these is reported but does not stop the build: the browser test then says
# it skipped, and the load script says what it lacks.
optional=(chromium fonts-wqy-zenhei nodejs wrk)
# npm: Debian's package, unless the installed nodejs brings its own (the
# NodeSource build provides, and conflicts with, Debian's npm).
if ! command -v npm >/dev/null 2>&1 && ! dpkg-query -W -f='${Provides}' nodejs 2>/dev/null | grep -qw npm; then
  optional+=(npm)
fi
if [[ -n "${KVDN_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"$KVDN_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing_of() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
if ((${#missing[@]} == 0 && ${#missing_optional[@]} == 0)); then
  exit 0
fi
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq || echo "note: apt-get update failed in part; installing from the indexes there are" >&2
if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
if ((${#missing_optional[@]} > 0)); then
  echo "installing (browser test, load benchmark): ${missing_optional[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing_optional[@]}" ||
    echo "warning: could not install ${missing_optional[*]}; the browser test will be skipped" >&2
fi
