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
#   SITE_ARGS="--inline-page-us 0" bench/load/run.sh    (every page on a page thread)
#
# Build the site first, preferably as a Release build:
#   cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build-release --target kvdn-site
# Targets: no answer other than 200, and the list at least half the trivial
# page's rate. Then a mixed load (the list with one add in ten through the form
# writer): requests/s, percentiles, answers other than 200, answers naming a
# locked database, and a row count check (every add answered as stored is in
# the table). Exits 1 when an answer was not 200 or named a locked database.
#
# Beside ours, in the same run, keep-alive and "Connection: close" each:
#  - the floor: nginx serving a static file of the trivial page's size;
#  - peers, the same list page on the same database file: PHP 8
#    (bench/load/peer: PDO, PHP's file sessions) under php-fpm (a static
#    pool of 4, opcache on) behind that nginx, and Node.js
#    (bench/load/node-peer: node:http, the cluster module with 2 workers,
#    better-sqlite3 with prepared statements, a signed-cookie session kept
#    in SQLite).
#  - the HTTP libraries' own floors (bench/load/floor/, compiled here with
#    the system compiler, -O2): /ping.asp's answer, its body and headers as
#    the site sent them, given as a fixed answer by libmicrohttpd set up as
#    the site's host sets it up (mhd_floor), and by libh2o's event loop
#    (h2o_floor: a loop per thread, SO_REUSEPORT listeners), each with as
#    many threads as the site has I/O threads; then the ratios of ours to
#    the first, and of each to nginx (requests/s; and the server's CPU per
#    answer, ours and libh2o's to libmicrohttpd's).
# For each: requests/s, p50/p99 and CPU per answer (the server's processes,
# and the server plus wrk, from /proc; bench/load/measure.py). The Debian
# packages (nginx-light, php-fpm, php-sqlite3, nodejs, npm, pkg-config,
# libmicrohttpd-dev, libh2o-evloop-dev) and the Node peer's locked npm
# packages are installed when missing (root or sudo);
# what cannot be had is named and its rows are skipped. A peer page that is
# not a real list (not 200, not ten rows, no admin account) fails the run.
# Traffic stays on 127.0.0.1. On a shared machine the absolute figures move
# with the other load: read the ratios of rows measured in the same run.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${BUILD:-build}}
[[ "$build" = /* ]] || build="$repo/$build"
connections=${CONNECTIONS:-16}
duration=${DURATION:-10}
wrk_threads=${WRK_THREADS:-2}
site_threads=${SITE_THREADS:-8}
# The floors run with the site's I/O threads: the host's default, which
# kvdn-site does not change.
io_threads=$(sed -n 's/^ *int ioThreads = \([0-9]*\);.*/\1/p' "$repo/include/kvdn/http_host.h")
io_threads=${IO_THREADS:-${io_threads:-2}}
bin="$build/bin/kvdn-site"

for tool in wrk curl sqlite3 python3; do
  command -v "$tool" >/dev/null || { echo "load: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 2; }
done
[[ -x "$bin" ]] || { echo "load: $bin is missing: build kvdn-site first" >&2; exit 2; }

# Debian packages of the floor and the peers, installed as
# scripts/install-deps.sh installs packages (skipping what is present, sudo
# when not root, waiting for another install's lock).
apt_install() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  ((${#missing[@]} == 0)) && return 0
  local sudo=""
  if [[ $(id -u) -ne 0 ]]; then sudo=sudo; fi
  echo "load: installing: ${missing[*]}" >&2
  { DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}"; } >&2
}
lacking=()  # what could not be had, printed with the results
apt_install nginx-light || true
command -v nginx >/dev/null || lacking+=("nginx (the floor and the PHP peer's front)")
apt_install php-fpm php-sqlite3 || true
php_fpm=$(compgen -c php-fpm | sort -V | tail -1 || true)
if [[ -z "$php_fpm" ]] || ! php -r 'exit(extension_loaded("pdo_sqlite") ? 0 : 1);' 2>/dev/null; then
  lacking+=("php-fpm with pdo_sqlite (the PHP peer)")
  php_fpm=""
fi
command -v node >/dev/null || apt_install nodejs || true
command -v npm >/dev/null || dpkg-query -W -f='${Provides}' nodejs 2>/dev/null | grep -qw npm || apt_install npm || true
node_peer="$repo/bench/load/node-peer"
node_ready() {
  command -v node >/dev/null && command -v npm >/dev/null || return 1
  (cd "$node_peer" && node -e 'require("better-sqlite3")' 2>/dev/null) && return 0
  # better-sqlite3 at its locked version; built from source against the
  # installed Node's headers when no prebuilt binary can be fetched.
  echo "load: installing the Node peer's npm packages (bench/load/node-peer)" >&2
  local nodedir=()
  [[ -f /usr/include/node/common.gypi ]] && nodedir=(--nodedir=/usr)
  (cd "$node_peer" && npm ci --no-audit --no-fund --loglevel=error "${nodedir[@]}" >&2) &&
    (cd "$node_peer" && node -e 'require("better-sqlite3")')
}
node_ready || { lacking+=("Node.js with better-sqlite3 (the Node peer)"); node_peer=""; }
apt_install pkg-config libmicrohttpd-dev libh2o-evloop-dev || true

root=$(mktemp -d)
log="$root.log"
peer_dir=$(mktemp -d)  # the floor's and the peers' files and logs
servers=()             # session ids (setsid) of every server started here
stop_session() {       # stops every process of session $1 and waits for them
  # Not yet a session of its own (setsid not yet run): the process itself.
  kill -- -"$1" 2>/dev/null || kill "$1" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 -- -"$1" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- -"$1" 2>/dev/null || true
}
cleanup() {
  for sid in "${servers[@]}"; do stop_session "$sid"; done
  wait 2>/dev/null || true
  rm -rf "$root" "$log" "$peer_dir"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() {  # wait_for URL: until it answers at all (any status), at most 10 s
  for _ in $(seq 100); do
    [[ $(curl -s -o /dev/null -w '%{http_code}' "$1") != 000 ]] && return 0
    sleep 0.1
  done
  return 1
}

# A fresh copy of the site root: the database is made anew on start.
(cd "$build/site-root" && find . -type f ! -name '*.mdb' ! -name '*.bak' ! -name '*.compact' -print0 |
  xargs -0 -I{} cp --parents {} "$root/")
# shellcheck disable=SC2086 # SITE_ARGS is a list of options
setsid "$bin" --root "$root" --port 0 --threads "$site_threads" ${SITE_ARGS:-} >"$log" 2>&1 &
site_pid=$!
servers+=("$site_pid")
base=""
for _ in $(seq 100); do
  # The log may not be there yet: the background shell opens it.
  [[ -f "$log" ]] && base=$(sed -n 's|.*open \(http://127\.0\.0\.1:[0-9]*\)/.*|\1|p' "$log" | head -1)
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
db_file="$root/admin/database/app.mdb"

run() {  # run NAME SERVER_SIDS URL COOKIE [WRK_OPTION...]: one wrk load, its line with CPU figures
  local out
  out=$(python3 "$repo/bench/load/measure.py" "$2" -- wrk -t "$wrk_threads" -c "$connections" -d "${duration}s" \
    -H "Cookie: $4" "${@:5}" -s "$repo/bench/load/count.lua" "$3")
  local line
  line=$(grep '^kvdn-load ' <<<"$out")
  echo "$1 $line" >&2
  echo "$line"
}

echo "load: $connections connections, ${duration}s each, wrk threads $wrk_threads, site threads $site_threads," \
  "I/O threads $io_threads, $(nproc) cores" >&2
trivial=$(run "trivial /ping.asp:" "$site_pid" "$base/ping.asp" "$cookie")
opened=$(run "database open /admin/health.asp:" "$site_pid" "$base/admin/health.asp" "$cookie")
list=$(run "list /admin/user.asp:" "$site_pid" "$base/admin/user.asp" "$cookie")

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

peer_failed() {  # peer_failed LOG MESSAGE...
  echo "load: peer FAILED: ${*:2}" >&2
  [[ -f "$1" ]] && tail -n 20 "$1" >&2
  bad=$((bad + 1))
}
# check_list NAME URL COOKIE LOG: whether the peer's page is the real list
check_list() {
  local page status rows
  page=$(curl -s -w '\n%{http_code}' -H "Cookie: $3" "$2" || true)
  status=$(tail -n 1 <<<"$page")
  rows=$({ grep -o "<tr data-id=" <<<"$page" || true; } | wc -l)
  if [[ -z "$3" ]]; then
    peer_failed "$4" "$1: no session cookie from its login"
  elif [[ "$status" != 200 ]]; then
    peer_failed "$4" "$1: $2 answered $status"
  elif [[ "$rows" -ne 10 ]] || ! grep -q "<td>admin</td>" <<<"$page"; then
    peer_failed "$4" "$1: $2 is not the list: $rows rows (10 expected)"
  else
    return 0
  fi
  return 1
}

# The floor and the PHP peer: one nginx (2 workers, no access log) serving a
# static file of the trivial page's body on one port, and the PHP pages
# through php-fpm on another, a FastCGI connection per request as in the
# stock configuration (a kept one binds one of the pool's 4 workers even
# while idle, and more kept connections than workers starve the pool).
nginx_sid="" fpm_sid="" static_url="" php_url="" php_cookie=""
if command -v nginx >/dev/null; then
  mkdir -p "$peer_dir/static" "$peer_dir/sessions" "$peer_dir/nginx"
  curl -s "$base/ping.asp" >"$peer_dir/static/ping.txt"
  static_port=$(free_port)
  php_port=$(free_port)
  php_server=""
  if [[ -n "$php_fpm" ]]; then
    cat >"$peer_dir/fpm.conf" <<EOF
[global]
pid = $peer_dir/fpm.pid
error_log = $peer_dir/fpm.log
daemonize = no
[peer]
listen = $peer_dir/fpm.sock
pm = static
pm.max_children = 4
pm.max_requests = 0
env[KVDN_PEER_DB] = $db_file
php_admin_value[session.save_path] = $peer_dir/sessions
php_admin_flag[opcache.enable] = on
EOF
    fpm_root=()
    [[ $(id -u) -eq 0 ]] && fpm_root=(-R)
    setsid "$php_fpm" "${fpm_root[@]}" -y "$peer_dir/fpm.conf" -F >"$peer_dir/fpm.out" 2>&1 &
    fpm_sid=$!
    servers+=("$fpm_sid")
    php_server="server { listen 127.0.0.1:$php_port; root $repo/bench/load/peer;
    location ~ \\.php\$ { include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass unix:$peer_dir/fpm.sock; } }"
  fi
  user_line=""
  [[ $(id -u) -eq 0 ]] && user_line="user root;"
  cat >"$peer_dir/nginx.conf" <<EOF
$user_line
worker_processes 2;
daemon off;
pid $peer_dir/nginx.pid;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  default_type text/html;
  client_body_temp_path $peer_dir/nginx/body;
  proxy_temp_path $peer_dir/nginx/proxy;
  fastcgi_temp_path $peer_dir/nginx/fastcgi;
  uwsgi_temp_path $peer_dir/nginx/uwsgi;
  scgi_temp_path $peer_dir/nginx/scgi;
  server { listen 127.0.0.1:$static_port; root $peer_dir/static; }
  $php_server
}
EOF
  setsid nginx -c "$peer_dir/nginx.conf" -e "$peer_dir/nginx/error.log" >"$peer_dir/nginx.out" 2>&1 &
  nginx_sid=$!
  servers+=("$nginx_sid")
  if wait_for "http://127.0.0.1:$static_port/ping.txt"; then
    static_url="http://127.0.0.1:$static_port/ping.txt"
  else
    peer_failed "$peer_dir/nginx.out" "nginx did not start"
  fi
  if [[ -n "$php_server" && -n "$static_url" ]]; then
    php_base="http://127.0.0.1:$php_port"
    wait_for "$php_base/login.php" || true
    php_cookie=$(curl -s -o /dev/null -D - --data-urlencode '登录账号=admin' --data-urlencode '密码=admin123' \
      "$php_base/login.php" | sed -n 's/^Set-Cookie: \(PHPSESSID=[^;]*\).*/\1/ip' | tr -d '\r')
    check_list "PHP peer" "$php_base/user.php" "$php_cookie" "$peer_dir/fpm.log" && php_url="$php_base/user.php"
  fi
fi

# The Node peer.
node_sid="" node_url="" node_cookie=""
if [[ -n "$node_peer" ]]; then
  node_port=$(free_port)
  KVDN_PEER_DB="$db_file" KVDN_PEER_SESSIONS="$peer_dir/node-sessions.db" KVDN_PEER_PORT="$node_port" \
    setsid node "$node_peer/server.js" >"$peer_dir/node.log" 2>&1 &
  node_sid=$!
  servers+=("$node_sid")
  node_base="http://127.0.0.1:$node_port"
  wait_for "$node_base/user.js" || true
  node_cookie=$(curl -s -o /dev/null -D - --data-urlencode '登录账号=admin' --data-urlencode '密码=admin123' \
    "$node_base/login.js" | sed -n 's/^Set-Cookie: \(sid=[^;]*\).*/\1/ip' | tr -d '\r')
  check_list "Node peer" "$node_base/user.js" "$node_cookie" "$peer_dir/node.log" && node_url="$node_base/user.js"
fi

# The libraries' floors: /ping.asp's answer as the site sent it (the header
# lines each library writes itself are dropped by the programs), from
# programs compiled here; one that cannot be built or started is named and
# its rows are NOT MEASURED.
not_measured=() mhd_sid="" mhd_url="" h2o_sid="" h2o_url=""
curl -s -H "Cookie: $cookie" -D "$peer_dir/ping.head" -o "$peer_dir/ping.body" "$base/ping.asp"
start_floor() {  # start_floor NAME PKG LABEL: compiles and starts bench/load/floor/NAME.cpp; sets floor_sid, floor_url
  floor_sid="" floor_url=""
  local flags
  if ! flags=$(pkg-config --cflags --libs "$2" 2>/dev/null); then
    not_measured+=("$3: pkg-config finds no $2")
    return
  fi
  # shellcheck disable=SC2086 # pkg-config's flags are a list
  if ! c++ -std=c++17 -O2 -pthread -o "$peer_dir/$1" "$repo/bench/load/floor/$1.cpp" $flags >&2; then
    not_measured+=("$3: bench/load/floor/$1.cpp did not compile")
    return
  fi
  local port
  port=$(free_port)
  setsid "$peer_dir/$1" "$peer_dir/ping.head" "$peer_dir/ping.body" "$port" "$io_threads" \
    >"$peer_dir/$1.log" 2>&1 &
  floor_sid=$!
  servers+=("$floor_sid")
  if wait_for "http://127.0.0.1:$port/ping.asp"; then
    floor_url="http://127.0.0.1:$port/ping.asp"
  else
    peer_failed "$peer_dir/$1.log" "$1 did not start"
  fi
}
start_floor mhd_floor libmicrohttpd "libmicrohttpd, fixed answer"
mhd_sid=$floor_sid mhd_url=$floor_url
start_floor h2o_floor libh2o-evloop "libh2o-evloop, fixed answer"
h2o_sid=$floor_sid h2o_url=$floor_url

# Side by side: each row with keep-alive, then with a new connection per
# request. The PHP row's CPU is nginx's and php-fpm's together.
echo
echo "side by side, one run: $connections connections, ${duration}s each; CPU per answer in ms (server; server + wrk)"
printf '%-30s %-6s %10s %8s %8s %8s %8s\n' "" "" "requests/s" "p50 ms" "p99 ms" "cpu srv" "cpu all"
declare -A rps cpu
row() {  # row KEY LABEL SERVER_SIDS URL COOKIE
  local mode out
  for mode in keep close; do
    local extra=()
    [[ "$mode" == close ]] && extra=(-H "Connection: close")
    out=$(run "$2 ($mode):" "$3" "$4" "$5" "${extra[@]}")
    rps[$1-$mode]=$(field rps "$out")
    cpu[$1-$mode]=$(field server_cpu_ms "$out")
    bad=$((bad + $(field non200 "$out")))
    printf '%-30s %-6s %10s %8s %8s %8s %8s\n' "$2" "$mode" "$(field rps "$out")" "$(field p50_ms "$out")" \
      "$(field p99_ms "$out")" "$(field server_cpu_ms "$out")" "$(field total_cpu_ms "$out")"
  done
}
if [[ -n "$static_url" ]]; then row nginx "nginx static file (floor)" "$nginx_sid" "$static_url" "x=1"; fi
if [[ -n "$mhd_url" ]]; then row mhd "libmicrohttpd, fixed answer" "$mhd_sid" "$mhd_url" "x=1"; fi
if [[ -n "$h2o_url" ]]; then row h2o "libh2o-evloop, fixed answer" "$h2o_sid" "$h2o_url" "x=1"; fi
row ping "ours /ping.asp" "$site_pid" "$base/ping.asp" "$cookie"
row list "ours list /admin/user.asp" "$site_pid" "$base/admin/user.asp" "$cookie"
if [[ -n "$node_url" ]]; then row node "Node.js list (cluster, 2)" "$node_sid" "$node_url" "$node_cookie"; fi
if [[ -n "$php_url" ]]; then row php "PHP list (php-fpm, 4)" "$nginx_sid,$fpm_sid" "$php_url" "$php_cookie"; fi
echo
target() {  # target LABEL NUMERATOR DENOMINATOR WANTED
  local r
  if [[ -z "${rps[$2]:-}" || -z "${rps[$3]:-}" ]]; then
    printf '%-34s: NOT MEASURED\n' "$1"
    return
  fi
  r=$(ratio "${rps[$2]}" "${rps[$3]}")
  printf '%-34s: %s (target >= %s: %s)\n' "$1" "$r" "$4" \
    "$(awk -v r="$r" -v w="$4" 'BEGIN { print (r >= w ? "met" : "missed") }')"
}
for mode in keep close; do
  target "ping / nginx static ($mode)" "ping-$mode" "nginx-$mode" 0.8
  target "list / nginx static ($mode)" "list-$mode" "nginx-$mode" 0.5
  target "list / Node.js list ($mode)" "list-$mode" "node-$mode" 2.0
  target "list / PHP list ($mode)" "list-$mode" "php-$mode" 4.0
done
# The libraries' rows are their fixed answers: requests/s, then the server's
# CPU per answer (wrk shares the cores, so the second tells what each server
# itself costs).
figure() {  # figure LABEL A B: A / B, printed only
  if [[ -z "$2" || -z "$3" ]]; then
    printf '%-34s: NOT MEASURED\n' "$1"
  else
    printf '%-34s: %s\n' "$1" "$(ratio "$2" "$3")"
  fi
}
for mode in keep close; do
  figure "ping / libmicrohttpd ($mode)" "${rps[ping-$mode]:-}" "${rps[mhd-$mode]:-}"
  figure "libmicrohttpd / nginx ($mode)" "${rps[mhd-$mode]:-}" "${rps[nginx-$mode]:-}"
  figure "libh2o / nginx ($mode)" "${rps[h2o-$mode]:-}" "${rps[nginx-$mode]:-}"
  figure "libh2o / libmicrohttpd ($mode)" "${rps[h2o-$mode]:-}" "${rps[mhd-$mode]:-}"
  figure "cpu: ping / libmicrohttpd ($mode)" "${cpu[ping-$mode]:-}" "${cpu[mhd-$mode]:-}"
  figure "cpu: h2o / libmicrohttpd ($mode)" "${cpu[h2o-$mode]:-}" "${cpu[mhd-$mode]:-}"
done
for what in "${lacking[@]}"; do echo "NOT RUN: $what could not be installed"; done
for what in "${not_measured[@]}"; do echo "NOT MEASURED: $what"; done

# Mixed load: the list with one add in ten through the form writer. Every add
# answered as stored must be in the table afterwards.
token=$(curl -s -H "Cookie: $cookie" "$base/admin/user.asp" | sed -n "s/.*data-token='\([^']*\)'.*/\1/p" | head -1)
mixed=""
if [[ -z "$token" ]]; then
  echo "mixed load: no session token found on the list page; skipped" >&2
else
  before=$(sqlite3 -cmd '.timeout 5000' "$db_file" "select count(*) from 用户 where 登录账号 like 'load%'")
  out=$(wrk -t "$wrk_threads" -c "$connections" -d "${duration}s" -s "$repo/bench/load/mixed.lua" "$base" \
    -- "$cookie" "$token" "$base")
  mixed=$(grep '^kvdn-mixed ' <<<"$out")
  after=$(sqlite3 -cmd '.timeout 5000' "$db_file" "select count(*) from 用户 where 登录账号 like 'load%'")
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
