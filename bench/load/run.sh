#!/usr/bin/env bash
# Load on the sample site: wrk against the user list (logged in by cookie)
# and against a trivial page on the same host, one after the other, with the
# same connections and duration. Prints requests per second of each, their
# ratio and the count of answers that were not 200. A third run, against a
# page that only opens the database, shows how much of the list's cost is
# the per-request database open that every database page pays.
#
#   bench/load/run.sh [BUILD_DIR]        (default: $BUILD or build)
#   CONNECTIONS=16 DURATION=10 WRK_THREADS=2 SITE_THREADS=8 bench/load/run.sh build-release
#
# Build the site first, preferably as a Release build:
#   cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build-release --target kvdn-site
# Targets: no answer other than 200, and the list at least half the trivial
# page's rate. Then a mixed load (the list with one add in ten through the form
# writer): requests/s, percentiles, answers other than 200, answers naming a
# locked database, and a row count check (every add answered as stored is in
# the table). Exits 1 when an answer was not 200 or named a locked database.
#
# Between the two, a peer: the same list page written in PHP 8
# (bench/load/peer/user.php: PDO over the same database file, PHP's file
# sessions) under PHP's built-in server with 8 workers. That server closes
# every connection after one answer, so our list and the peer are both
# measured with "Connection: close", one after the other, same connections
# and duration; target: ours at least twice the peer's rate. Debian's php-cli
# and php-sqlite3 are installed when missing (root or sudo); when they cannot
# be, the peer is skipped. A peer page that is not a real list (not 200, not
# ten rows, no admin account) fails the run.
# Traffic stays on 127.0.0.1.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${BUILD:-build}}
[[ "$build" = /* ]] || build="$repo/$build"
connections=${CONNECTIONS:-16}
duration=${DURATION:-10}
wrk_threads=${WRK_THREADS:-2}
site_threads=${SITE_THREADS:-8}
bin="$build/bin/kvdn-site"

for tool in wrk curl sqlite3 python3; do
  command -v "$tool" >/dev/null || { echo "load: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 2; }
done
[[ -x "$bin" ]] || { echo "load: $bin is missing: build kvdn-site first" >&2; exit 2; }

# The peer's Debian packages, installed as scripts/install-deps.sh installs
# packages (skipping what is present, sudo when not root). False when PHP
# with its SQLite driver cannot be had; the peer is then skipped.
php_ready() {
  local missing=() p
  for p in php-cli php-sqlite3; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]} > 0)); then
    local sudo=""
    if [[ $(id -u) -ne 0 ]]; then sudo=sudo; fi
    echo "load: installing (PHP peer): ${missing[*]}" >&2
    { DEBIAN_FRONTEND=noninteractive $sudo apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >&2 ||
      return 1
  fi
  command -v php >/dev/null && php -r 'exit(extension_loaded("pdo_sqlite") ? 0 : 1);'
}
peer=1
php_ready || peer=0

root=$(mktemp -d)
log="$root.log"
site_pid=""
peer_dir=$(mktemp -d)  # the peer's sessions and its server's log
php_pid=""
cleanup() {
  if [[ -n "$site_pid" ]] && kill -0 "$site_pid" 2>/dev/null; then
    kill "$site_pid" && wait "$site_pid" 2>/dev/null || true
  fi
  # The PHP server leads its own process group: its workers outlive their
  # parent unless the group is stopped.
  if [[ -n "$php_pid" ]] && kill -0 "$php_pid" 2>/dev/null; then
    kill -- -"$php_pid" 2>/dev/null || true
    wait "$php_pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 -- -"$php_pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  rm -rf "$root" "$log" "$peer_dir"
}
trap cleanup EXIT

# A fresh copy of the site root: the database is made anew on start.
(cd "$build/site-root" && find . -type f ! -name '*.mdb' ! -name '*.bak' ! -name '*.compact' -print0 |
  xargs -0 -I{} cp --parents {} "$root/")
"$bin" --root "$root" --port 0 --threads "$site_threads" >"$log" 2>&1 &
site_pid=$!
base=""
for _ in $(seq 100); do
  base=$(sed -n 's|.*open \(http://127\.0\.0\.1:[0-9]*\)/.*|\1|p' "$log" | head -1)
  [[ -n "$base" ]] && break
  sleep 0.1
done
[[ -n "$base" ]] || { echo "load: kvdn-site did not start:" >&2; cat "$log" >&2; exit 2; }

# Log in as the administrator and keep the session cookie.
cookie=$(curl -s -o /dev/null -D - -H "Origin: $base" --data-urlencode '登录账号=admin' --data-urlencode '密码=admin123' \
  "$base/admin/login.asp" | sed -n 's/^Set-Cookie: \(KVDNSESSION=[0-9a-f]*\).*/\1/ip' | tr -d '\r')
[[ -n "$cookie" ]] || { echo "load: login failed" >&2; exit 2; }
status=$(curl -s -o /dev/null -w '%{http_code}' -H "Cookie: $cookie" "$base/admin/user.asp")
[[ "$status" == 200 ]] || { echo "load: the list page answered $status" >&2; exit 2; }

run() {  # run NAME PATH [COOKIE [WRK_OPTION...]]: PATH on our site, or a full address
  local out address=$2 session=${3:-$cookie}
  [[ "$address" == http* ]] || address="$base$address"
  out=$(wrk -t "$wrk_threads" -c "$connections" -d "${duration}s" -H "Cookie: $session" "${@:4}" \
    -s "$repo/bench/load/count.lua" "$address")
  local line
  line=$(grep '^kvdn-load ' <<<"$out")
  echo "$1 $line" >&2
  echo "$line"
}

echo "load: $connections connections, ${duration}s each, wrk threads $wrk_threads, site threads $site_threads, $(nproc) cores" >&2
trivial=$(run "trivial /ping.asp:" /ping.asp)
opened=$(run "database open /admin/health.asp:" /admin/health.asp)
list=$(run "list /admin/user.asp:" /admin/user.asp)

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
t_rps=$(field rps "$trivial")
o_rps=$(field rps "$opened")
l_rps=$(field rps "$list")
bad=$(($(field non200 "$trivial") + $(field non200 "$opened") + $(field non200 "$list")))
errors=$(($(field socket_errors "$trivial") + $(field socket_errors "$opened") + $(field socket_errors "$list")))
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
r_trivial=$(ratio "$l_rps" "$t_rps")
r_opened=$(ratio "$l_rps" "$o_rps")
met=$(awk -v r="$r_trivial" 'BEGIN { print (r >= 0.5 ? "met" : "missed") }')

echo
echo "trivial page        /ping.asp          : $t_rps requests/s"
echo "database open only  /admin/health.asp  : $o_rps requests/s"
echo "list page           /admin/user.asp    : $l_rps requests/s"
echo "ratio list/trivial                     : $r_trivial (target >= 0.50: $met)"
echo "ratio list/database open only          : $r_opened"
echo "answers other than 200                 : $bad (socket errors: $errors)"

# The PHP peer, on the same database file, then both lists with a new
# connection per request.
peer_failed() {
  echo "load: PHP peer FAILED: $*" >&2
  [[ -f "$peer_dir/log" ]] && tail -n 20 "$peer_dir/log" >&2
  bad=$((bad + 1))
}
echo
if [[ "$peer" -eq 0 ]]; then
  echo "PHP peer                               : SKIP (php-cli and php-sqlite3 could not be installed)"
else
  php_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  php_base="http://127.0.0.1:$php_port"
  mkdir "$peer_dir/sessions"
  # -q: no access log line per request (our site writes none either); errors
  # are still logged.
  KVDN_PEER_DB="$root/admin/database/app.mdb" PHP_CLI_SERVER_WORKERS=8 setsid php -q \
    -d session.save_path="$peer_dir/sessions" -S "127.0.0.1:$php_port" -t "$repo/bench/load/peer" \
    >"$peer_dir/log" 2>&1 &
  php_pid=$!
  for _ in $(seq 100); do
    [[ $(curl -s -o /dev/null -w '%{http_code}' "$php_base/login.php") == 200 ]] && break
    sleep 0.1
  done
  php_cookie=$(curl -s -o /dev/null -D - --data-urlencode '登录账号=admin' --data-urlencode '密码=admin123' \
    "$php_base/login.php" | sed -n 's/^Set-Cookie: \(PHPSESSID=[^;]*\).*/\1/ip' | tr -d '\r')
  page=$(curl -s -w '\n%{http_code}' -H "Cookie: $php_cookie" "$php_base/user.php" || true)
  php_status=$(tail -n 1 <<<"$page")
  php_rows=$({ grep -o "<tr data-id=" <<<"$page" || true; } | wc -l)
  if [[ -z "$php_cookie" ]]; then
    peer_failed "no session cookie from $php_base/login.php"
  elif [[ "$php_status" != 200 ]]; then
    peer_failed "user.php answered $php_status"
  elif [[ "$php_rows" -ne 10 ]] || ! grep -q "<td>admin</td>" <<<"$page"; then
    peer_failed "user.php is not the list: $php_rows rows (10 expected), the admin account" \
      "$(grep -q "<td>admin</td>" <<<"$page" && echo present || echo missing)"
  else
    ours=$(run "list, Connection: close, /admin/user.asp:" /admin/user.asp "$cookie" -H "Connection: close")
    theirs=$(run "PHP peer, Connection: close, /user.php:" "$php_base/user.php" "$php_cookie" -H "Connection: close")
    c_rps=$(field rps "$ours")
    p_rps=$(field rps "$theirs")
    r_peer=$(ratio "$c_rps" "$p_rps")
    met=$(awk -v r="$r_peer" 'BEGIN { print (r >= 2.0 ? "met" : "missed") }')
    p_bad=$(($(field non200 "$ours") + $(field non200 "$theirs")))
    p_errors=$(($(field socket_errors "$ours") + $(field socket_errors "$theirs")))
    echo "a new connection per request (Connection: close); PHP $(php -r 'echo PHP_VERSION;'), built-in server, 8 workers"
    echo "list page (close)   /admin/user.asp    : $c_rps requests/s"
    echo "PHP peer (close)    /user.php          : $p_rps requests/s"
    echo "ratio list/PHP peer                    : $r_peer (target >= 2.00: $met)"
    echo "answers other than 200 (peer step)     : $p_bad (socket errors: $p_errors)"
    bad=$((bad + p_bad))
  fi
fi

# Mixed load: the list with one add in ten through the form writer. Every add
# answered as stored must be in the table afterwards.
token=$(curl -s -H "Cookie: $cookie" "$base/admin/user.asp" | sed -n "s/.*data-token='\([^']*\)'.*/\1/p" | head -1)
mixed=""
if [[ -z "$token" ]]; then
  echo "mixed load: no session token found on the list page; skipped" >&2
else
  before=$(sqlite3 -cmd '.timeout 5000' "$root/admin/database/app.mdb" "select count(*) from 用户 where 登录账号 like 'load%'")
  out=$(wrk -t "$wrk_threads" -c "$connections" -d "${duration}s" -s "$repo/bench/load/mixed.lua" "$base" \
    -- "$cookie" "$token" "$base")
  mixed=$(grep '^kvdn-mixed ' <<<"$out")
  after=$(sqlite3 -cmd '.timeout 5000' "$root/admin/database/app.mdb" "select count(*) from 用户 where 登录账号 like 'load%'")
  m_stored=$(field stored "$mixed")
  echo
  echo "mixed load (1 add in 10) /admin/user.asp : $(field rps "$mixed") requests/s, p50 $(field p50_ms "$mixed") ms, p99 $(field p99_ms "$mixed") ms"
  echo "  answers other than 200                 : $(field non200 "$mixed")"
  echo "  answers naming a locked database       : $(field locked "$mixed")"
  # Adds still in flight when wrk stopped are stored without an answer seen:
  # rows may exceed the answers by up to one per connection, never fall short.
  added=$((after - before))
  lost=$((m_stored > added ? m_stored - added : 0))
  echo "  adds answered as stored / rows added   : $m_stored / $added (lost: $lost)"
  bad=$((bad + $(field non200 "$mixed") + $(field locked "$mixed") + lost))
fi
[[ "$bad" -eq 0 ]]
