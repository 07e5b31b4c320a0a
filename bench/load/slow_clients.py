#!/usr/bin/env python3
"""Idle and slow clients against the sample site.

Starts build/bin/kvdn-site on a fresh site root and a free port, logs in as
the administrator, then opens IDLE kept-alive connections (each has had one
answer and then says nothing) and SLOW connections that send their headers
a few bytes at a time and never finish. While they are all open it measures,
one request after another on fresh connections, /ping.asp and the user list
(/admin/user.asp, logged in), and prints the 50th and 99th percentile and
the slowest answer of each, plus any request that failed.

    bench/load/slow_clients.py [BUILD_DIR]          (default: build)
    IDLE=1000 SLOW=100 REQUESTS=300 bench/load/slow_clients.py build

Prints figures only; the target is p99 under 50 ms for both pages. Traffic
stays on 127.0.0.1. Not a test: run it by hand.
"""
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("BUILD", "build")
if not os.path.isabs(build):
    build = os.path.join(REPO, build)
IDLE = int(os.environ.get("IDLE", "1000"))
SLOW = int(os.environ.get("SLOW", "100"))
REQUESTS = int(os.environ.get("REQUESTS", "300"))
binary = os.path.join(build, "bin", "kvdn-site")
if not os.access(binary, os.X_OK):
    sys.exit(f"slow_clients: {binary} is missing: build kvdn-site first")

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
need = IDLE + SLOW + 256
if soft < need:
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(need, soft)), hard))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, request, keep=False):
    """Sends one request on a new connection; (status, headers, body, socket)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(request)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(re.search(rb"(?i)content-length:\s*(\d+)", head).group(1)) if re.search(
        rb"(?i)content-length:", head) else 0
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            break
        body += chunk
    status = int(head.split(b" ", 2)[1]) if head else 0
    if not keep:
        s.close()
        s = None
    return status, head.decode("latin-1"), body, s


def get(path, cookie="", keep=False, port=0):
    extra = f"Cookie: {cookie}\r\n" if cookie else ""
    conn = "keep-alive" if keep else "close"
    req = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{extra}Connection: {conn}\r\n\r\n"
    return exchange(port, req.encode(), keep)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    root = tempfile.mkdtemp(prefix="kvdn-slow-")
    shutil.copytree(os.path.join(build, "site-root", "static"), os.path.join(root, "static"))
    port = free_port()
    site = subprocess.Popen([binary, "--root", root, "--port", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    held = []
    try:
        for _ in range(100):
            try:
                if get("/ping.asp", port=port)[0] == 200:
                    break
            except OSError:
                time.sleep(0.05)
        form = urllib.parse.urlencode({"登录账号": "admin", "密码": "admin123"}).encode()
        login = (f"POST /admin/login.asp HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nOrigin: http://127.0.0.1:{port}\r\n"
                 f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {len(form)}\r\n"
                 "Connection: close\r\n\r\n").encode() + form
        status, head, _, _ = exchange(port, login)
        cookie = re.search(r"(?i)set-cookie:\s*([^;\r\n]+)", head).group(1)
        assert status == 302, f"login answered {status}"

        start = time.time()
        for _ in range(IDLE):
            status, _, _, s = get("/ping.asp", keep=True, port=port)
            assert status == 200
            held.append(s)
        for i in range(SLOW):
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.sendall(b"GET /admin/user.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow-" + str(i).encode() + b": ")
            held.append(s)
        opened = time.time() - start
        stop = threading.Event()

        def trickle():  # a byte now and then keeps the slow ones alive
            while not stop.wait(1.0):
                for s in held[IDLE:]:
                    try:
                        s.send(b"a")
                    except OSError:
                        pass

        ticker = threading.Thread(target=trickle, daemon=True)
        ticker.start()
        print(f"kvdn-site {binary}\nopen: {IDLE} idle kept-alive + {SLOW} slow-header connections "
              f"(opened in {opened:.1f} s)")
        for name, path, who in (("/ping.asp", "/ping.asp", ""), ("user list", "/admin/user.asp", cookie)):
            times, failed = [], 0
            for _ in range(REQUESTS):
                t0 = time.perf_counter()
                try:
                    status, _, body, _ = get(path, cookie=who, port=port)
                    ok = status == 200 and (path != "/admin/user.asp" or "formtablepage".encode() in body)
                except OSError:
                    ok = False
                times.append((time.perf_counter() - t0) * 1000)
                failed += 0 if ok else 1
            print(f"{name:10s} {REQUESTS} requests: p50 {percentile(times, 50):6.2f} ms  "
                  f"p99 {percentile(times, 99):6.2f} ms  max {max(times):6.2f} ms  failed {failed}")
        alive = 0
        for s in held[:IDLE]:
            try:
                s.setblocking(False)
                alive += 1 if s.recv(1) != b"" else 0
            except BlockingIOError:
                alive += 1
            except OSError:
                pass
        print(f"idle connections still open at the end: {alive} of {IDLE}")
        stop.set()
    finally:
        # Stopped while every connection is still open, as browsers keep them.
        t0 = time.time()
        site.terminate()
        try:
            site.wait(timeout=5)
        except subprocess.TimeoutExpired:
            site.kill()
            site.wait()
        print(f"SIGTERM to exit with {len(held)} connections open: {(time.time() - t0) * 1000:.0f} ms "
              f"(exit status {site.returncode})")
        for s in held:
            try:
                s.close()
            except OSError:
                pass
        shutil.rmtree(root, ignore_errors=True)


main()
