#!/usr/bin/env bash
# Points Debian's sqlmap at the sample site's write, list, menu and login
# pages with a logged-in administrator session, and prints each command and
# what sqlmap concluded. Not part of `make test` (it takes minutes).
#
#   bash scripts/sqlmap-check.sh            # level 2, risk 1
#   SQLMAP_LEVEL=3 SQLMAP_RISK=2 bash scripts/sqlmap-check.sh
#
# Starts its own kvdn-site on a free port over a fresh root in
# build/sqlmap/ (the build must exist: `make build`) and stops it at the
# end. Exit status 1 when sqlmap reports an injectable parameter.
#
# The login page slows repeated failures (20 per address, then 429 answers
# that double their wait): sqlmap's first requests there are real tries,
# the rest are answered 429, which the summary shows as "HTTP error codes".
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
LEVEL=${SQLMAP_LEVEL:-2}
RISK=${SQLMAP_RISK:-1}
OUT=$BUILD/sqlmap

if ! command -v sqlmap >/dev/null 2>&1; then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends sqlmap
fi
[[ -x $BUILD/bin/kvdn-site ]] || { echo "no $BUILD/bin/kvdn-site: run make build first" >&2; exit 2; }

rm -rf "$OUT"
mkdir -p "$OUT/root/static" "$OUT/results"
"$BUILD/bin/kvdn-site" --root "$OUT/root" --port 0 >"$OUT/site.out" 2>"$OUT/site.err" &
SITE_PID=$!
trap 'kill $SITE_PID 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  PORT=$(sed -n 's#.*open http://[^:]*:\([0-9]*\)/.*#\1#p' "$OUT/site.out")
  [[ -n $PORT ]] && break
  sleep 0.1
done
[[ -n ${PORT:-} ]] || { echo "kvdn-site did not start" >&2; cat "$OUT/site.err" >&2; exit 2; }
BASE=http://127.0.0.1:$PORT
echo "site: $BASE (pid $SITE_PID)"

# Logged in as a browser does: the login posted from the site's own origin.
COOKIE=$(curl -s -o /dev/null -D - -H "Origin: $BASE" \
  --data-urlencode "登录账号=admin" --data-urlencode "密码=admin123" "$BASE/admin/login.asp" |
  sed -n 's/^Set-Cookie: \([^;]*\);.*/\1/Ip' | tr -d '\r')
TOKEN=$(curl -s -H "Cookie: $COOKIE" "$BASE/admin/index.asp" | sed -n "s/.*data-token='\([0-9a-f]\{32\}\)'.*/\1/p" | head -1)
[[ -n $COOKIE && -n $TOKEN ]] || { echo "login failed" >&2; exit 2; }
echo "session: $COOKIE, token: $TOKEN"

enc() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$1"; }
A=$(enc 登录账号) P=$(enc 密码) N=$(enc 姓名) S=$(enc 性别) R=$(enc 角色) M=$(enc 男)

# name|url|post data ("" for GET)
targets=(
  "write-add|$BASE/admin/user.asp?ac=add&_token=$TOKEN|$A=sqlm1&$P=p&$N=x&$S=$M&$R=2"
  "write-modify|$BASE/admin/user.asp?ac=modify&id=3&_token=$TOKEN|$A=zhangwei&$N=x&$S=$M&$R=2"
  "write-profile|$BASE/admin/profile.asp?id=1&ac=save&t=1&$N=x&$S=$M|_token=$TOKEN"
  "write-delete|$BASE/admin/user.asp?ac=del&_token=$TOKEN|delids=24"
  "list-users|$BASE/admin/user.asp?ac=call&page=1&id=3|"
  "list-dialog|$BASE/admin/user.asp?ac=modify&id=3|"
  "list-roles|$BASE/admin/role.asp?id=1|"
  "menu-home|$BASE/admin/index.asp?id=1|"
  "login|$BASE/admin/login.asp|$A=admin&$P=x"
)
found=0
for t in "${targets[@]}"; do
  IFS='|' read -r name url data <<<"$t"
  cmd=(sqlmap --batch --flush-session --disable-coloring --level="$LEVEL" --risk="$RISK"
    --output-dir="$OUT/results/$name" -u "$url" --cookie="$COOKIE" --referer="$BASE/admin/user.asp"
    --headers="Origin: $BASE" --skip="_token,ac,t" --timeout=10 --retries=1)
  [[ -n $data ]] && cmd+=(--data="$data")
  echo
  echo "== $name"
  printf '%q ' "${cmd[@]}"
  echo
  start=$(date +%s)
  "${cmd[@]}" >"$OUT/$name.log" 2>&1 || true
  grep -E "is vulnerable|injectable|all tested parameters|WARNING.*(heuristic|does not seem)|CRITICAL|\[ERROR\]|HTTP error codes|^[0-9]{3} \(.*times" \
    "$OUT/$name.log" | sed 's/^[[][0-9:]*[]] //' | sort -u | head -20
  echo "($(($(date +%s) - start)) s; full log $OUT/$name.log)"
  if grep -qE "sqlmap identified the following injection point|is vulnerable" "$OUT/$name.log"; then
    found=1
  fi
done
echo
# The session must still be logged in: otherwise the pages answered a
# redirect to the login page and nothing was really tested.
status=$(curl -s -o /dev/null -w '%{http_code}' -H "Cookie: $COOKIE" "$BASE/admin/index.asp")
echo "session still logged in at the end: $([[ $status == 200 ]] && echo yes || echo "no ($status)")"
if ((found)); then
  echo "RESULT: sqlmap found an injectable parameter (see above)"
  exit 1
fi
echo "RESULT: sqlmap found no injectable parameter"
