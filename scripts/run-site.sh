#!/usr/bin/env bash
# `make run`: the sample site with its live data (the database, its backups,
# uploaded workbooks) in a folder outside the build, so that cleaning or
# rebuilding the build never touches it. The build's copy of the site's
# files is brought in first: the static files replaced (edits show at once),
# the sample workbook only while the folder has none.
#
#   scripts/run-site.sh [BUILD_DIR [DATA_DIR [PORT]]]   (build, var/site, 8080)
#
# DATA_DIR is ignored by git (/var/); delete it to start again from the
# sample rows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
data=${2:-var/site}
port=${3:-8080}
files=$build/site-root
[[ -x "$build/bin/kvdn-site" && -d "$files/static" ]] ||
  { echo "run-site: no site in $build (make build first)" >&2; exit 1; }

mkdir -p "$data/static" "$data/admin/database"
cp -R "$files/static/." "$data/static/"
if [[ -f "$files/admin/database/userinfo.xls" && ! -e "$data/admin/database/userinfo.xls" ]]; then
  cp "$files/admin/database/userinfo.xls" "$data/admin/database/userinfo.xls"
fi
echo "run-site: the site's data is kept in $(cd "$data" && pwd) (outside $build/; delete it to start afresh)"
exec "$build/bin/kvdn-site" --root "$data" --port "$port"
