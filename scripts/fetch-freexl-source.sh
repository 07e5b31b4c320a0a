#!/usr/bin/env bash
# Puts FreeXL's C source (freexl.c, freexl.h, freexl_internals.h, COPYING)
# into DEST for the Windows build, which has no system FreeXL to link. The
# source is Debian's source package of the version the Linux build links
# (libfreexl1), taken from Debian's archive: the upstream tarball, checked
# against the SHA-256 that the package's .dsc states (pinned here) before
# anything is unpacked. Debian's packaging of this version patches no
# source file, so the tarball is the whole source.
#   usage: fetch-freexl-source.sh DEST
set -euo pipefail

VERSION=1.0.6
DEBIAN_REVISION=2   # Debian's freexl 1.0.6-2 (bookworm)
SHA256=3de8b57a3d130cb2881ea52d3aa9ce1feedb1b57b7daa4eb37f751404f90fc22
ARCHIVE=${KVDN_DEBIAN_ARCHIVE:-http://deb.debian.org/debian}
TARBALL=freexl_${VERSION}.orig.tar.gz

dest=${1:?usage: fetch-freexl-source.sh DEST}
if [[ -f "$dest/freexl.c" && -f "$dest/.sha256" && "$(cat "$dest/.sha256")" == "$SHA256" ]]; then
  exit 0
fi
command -v curl >/dev/null 2>&1 || { echo "fetch-freexl-source: curl is needed (Debian package curl)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
url="$ARCHIVE/pool/main/f/freexl/$TARBALL"
if ! curl -sSfL --retry 3 -o "$work/$TARBALL" "$url"; then
  echo "fetch-freexl-source: could not download $url (source of freexl $VERSION-$DEBIAN_REVISION)" >&2
  exit 1
fi
actual=$(sha256sum "$work/$TARBALL" | cut -d' ' -f1)
if [[ "$actual" != "$SHA256" ]]; then
  echo "fetch-freexl-source: checksum mismatch for $TARBALL: $actual" >&2
  exit 1
fi
top=freexl-$VERSION
tar -xzf "$work/$TARBALL" -C "$work" "$top/src/freexl.c" "$top/headers/freexl.h" "$top/headers/freexl_internals.h" \
  "$top/COPYING"
mkdir -p "$dest"
cp "$work/$top/src/freexl.c" "$work/$top/headers/freexl.h" "$work/$top/headers/freexl_internals.h" \
  "$work/$top/COPYING" "$dest/"
echo "$SHA256" >"$dest/.sha256"
