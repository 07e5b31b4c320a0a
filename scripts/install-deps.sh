#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the sample site need,
# skipping what is present. Safe to run again; needs root (or sudo).
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config ccache
  libsqlite3-dev sqlite3 libfreexl-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcpp-httplib-dev
  python3 python3-xlwt
)
if [[ -n "${KVDN_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"$KVDN_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi
echo "installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
