#!/usr/bin/env bash
# Puts SQLite's public-domain amalgamation (sqlite3.c, sqlite3.h) into DEST for
# the Windows build, which has no system SQLite to link. The source comes from
# a pinned npm package that ships the amalgamation unchanged in deps/sqlite3,
# checked against a pinned SHA-256 before anything is unpacked.
#   usage: fetch-sqlite-amalgamation.sh DEST
set -euo pipefail

PACKAGE=better-sqlite3
VERSION=12.11.1           # ships SQLite 3.53.2
SHA256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835

dest=${1:?usage: fetch-sqlite-amalgamation.sh DEST}
if [[ -f "$dest/sqlite3.c" && -f "$dest/sqlite3.h" && -f "$dest/.sha256" && "$(cat "$dest/.sha256")" == "$SHA256" ]]; then
  exit 0
fi
command -v npm >/dev/null 2>&1 || { echo "fetch-sqlite-amalgamation: npm is needed (Debian package npm)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$PACKAGE@$VERSION" >/dev/null)
tarball="$work/$PACKAGE-$VERSION.tgz"
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [[ "$actual" != "$SHA256" ]]; then
  echo "fetch-sqlite-amalgamation: checksum mismatch for $PACKAGE@$VERSION: $actual" >&2
  exit 1
fi
tar -xzf "$tarball" -C "$work" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
mkdir -p "$dest"
cp "$work/package/deps/sqlite3/sqlite3.c" "$work/package/deps/sqlite3/sqlite3.h" "$dest/"
echo "$SHA256" >"$dest/.sha256"
