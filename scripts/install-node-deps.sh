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
locked=$(node -p "require('./package-lock.json').packages['node_modules/playwright-core'].version")
have=$(node -p "try { require('./node_modules/playwright-core/package.json').version } catch (e) { '' }")
if [[ "$locked" == "$have" ]]; then
  exit 0
fi
echo "installing npm packages: playwright-core $locked"
npm ci --no-audit --no-fund --loglevel=error
