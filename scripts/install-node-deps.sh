#!/usr/bin/env bash
# Installs the npm packages of the browser test (package.json, locked by
# package-lock.json) into the repository's node_modules. Skips the install
# when the locked versions are already there. Never downloads a browser:
# playwright-core drives Debian's /usr/bin/chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v npm >/dev/null 2>&1; then
  echo "install-node-deps: npm is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
# Every locked package at its locked version: nothing to do.
state() {
  node -e "
    const lock = require('./package-lock.json').packages;
    for (const name of ['playwright-core', 'axe-core']) {
      const want = lock['node_modules/' + name].version;
      let have = '';
      try { have = require('./node_modules/' + name + '/package.json').version; } catch (e) {}
      console.log(name + ' ' + want + (have === want ? '' : ' (missing)'));
    }"
}
if ! state | grep -q missing; then
  exit 0
fi
echo "installing npm packages: $(state | tr '\n' ' ')"
npm ci --no-audit --no-fund --loglevel=error
