#!/usr/bin/env python3
"""Two site processes on one PostgreSQL database with --shared-sessions,
one browser's requests alternating between them as a load balancer without
sticky sessions would send them: the login made on one is the session of
the other, adds and deletes made through either are seen by both, a logout
on one ends the session on both, and failed logins on one count on the
other, per client address as the trusted proxy forwards it. Each run works in a schema of its own on the server KVDN_PG_DSN
names (make test starts one); without it the test is skipped (exit 77).

Usage: shared_sessions_test.py --binary build/bin/kvdn-site"""
import argparse
import os
import random
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import security_test  # noqa: E402
import sitectl  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("  FAIL: " + message, flush=True)


def dsn_field(dsn, name):
    for part in dsn.split(";"):
        key, _, value = part.partition("=")
        if key.strip().lower() == name.lower():
            return value.strip()
    return ""


def psql(dsn, sql):
    subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", dsn_field(dsn, "Server"), "-p",
                    dsn_field(dsn, "Port"), "-U", dsn_field(dsn, "Uid"), "-d", dsn_field(dsn, "Database"),
                    "-c", sql], check=True, capture_output=True, text=True)


def list_accounts(client):
    r = client.get("/admin/user.asp?page=1&size=100")
    return r.status, set(re.findall(r"loadbal[0-9]+", r.body))


def psql_value(dsn, schema, sql):
    out = subprocess.run(["psql", "-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", "-h", dsn_field(dsn, "Server"),
                          "-p", dsn_field(dsn, "Port"), "-U", dsn_field(dsn, "Uid"), "-d",
                          dsn_field(dsn, "Database"), "-c", "set search_path to %s; %s" % (schema, sql)],
                         check=True, capture_output=True, text=True)
    return out.stdout.strip()


def run(binary, dsn, server=None, schema=None):
    sites = []
    roots = []
    try:
        for _ in range(2):
            roots.append(sitectl.make_root())
            # One after the other: the first start makes the tables.
            sites.append(sitectl.Site(binary, roots[-1],
                                      extra=("--odbc", dsn, "--shared-sessions", "--trusted-proxy", "127.0.0.1")))
        a, b = sites
        c = sitectl.Client(a)
        check(c.login(*sitectl.ADMIN), "login on the first process")
        order = [b, a, b, b, a]
        for i, site in enumerate(order):
            c.site = site
            status, _ = list_accounts(c)
            check(status == 200, "request %d on process %d answered %d" % (i, sites.index(site) + 1, status))

        c.site = b
        check(c.add_user("loadbal1", "甲"), "add through the second process")
        c.site = a
        check(c.add_user("loadbal2", "乙"), "add through the first process")
        for site in sites:
            c.site = site
            status, seen = list_accounts(c)
            check(seen == {"loadbal1", "loadbal2"}, "process %d lists %s" % (sites.index(site) + 1, sorted(seen)))

        c.site = b
        body = c.get("/admin/user.asp?page=1&size=100").body
        # The row's key is its first cell.
        m = re.search(r"<td align='center'>(\d+)</td><td>loadbal1</td>", body)
        check(m is not None, "no delete box for loadbal1")
        if m:
            r = c.post("/admin/user.asp?ac=del", {"delids": m.group(1), "_token": c.token})
            check(r.status in (200, 302), "delete answered %d" % r.status)
        for site in sites:
            c.site = site
            _, seen = list_accounts(c)
            check(seen == {"loadbal2"}, "after the delete process %d lists %s" % (sites.index(site) + 1, sorted(seen)))

        # Accounts are one regardless of letter case, as on the database file.
        if server:
            r = c.post("/admin/user.asp?ac=add&_token=" + c.token,
                       {"登录账号": "LoadBal2", "密码": "secret1", "姓名": "丙", "性别": "男", "角色": "2"})
            check("该登录账号已存在！" in r.body, "LoadBal2 beside loadbal2 answered %r" % r.body[:200])
            try:
                psql_value(server, schema, "insert into 用户 (登录账号, 角色) values ('LOADBAL2', 2)")
                check(False, "the database took LOADBAL2 beside loadbal2")
            except subprocess.CalledProcessError:
                pass
            check(sitectl.Client(b).login("ADMIN", sitectl.ADMIN[1]), "a login as ADMIN was refused")

        c.site = a
        r = c.post("/admin/logout.asp", {"_token": c.token})
        check("Max-Age=0" in (r.header("Set-Cookie") or ""), "logout on the first process kept the cookie")
        stale = sitectl.Client(b)
        stale.cookie = c.cookie.split(";")[0] if c.cookie else None
        check(stale.get("/admin/index.asp").status == 302, "the second process still knows the logged-out session")

        # Five free failures on one process, the sixth try on the other is
        # slowed down.
        t = sitectl.Client(a)
        for i in range(5):
            t.site = sites[i % 2]
            check(not t.login("caozuo", "wrong"), "a wrong password was taken")
        t.site = b
        r = t.request("POST", "/admin/login.asp", form={"登录账号": "caozuo", "密码": "caozuo123"},
                      headers={"Origin": b.origin()}, referer=False)
        check(r.status == 429, "the sixth try on the other process answered %d" % r.status)

        # Behind the trusted proxy (here: loopback) the address counted is
        # the one it forwarded for: one client's failures do not slow down
        # everyone else behind the same proxy.
        def try_login(site, account, password, forwarded):
            return sitectl.Client(site).request(
                "POST", "/admin/login.asp", form={"登录账号": account, "密码": password},
                headers={"Origin": site.origin(), "X-Forwarded-For": forwarded}, referer=False).status
        for i in range(21):
            try_login(sites[i % 2], "nobody%d" % i, "wrong", "198.51.100.7")
        check(try_login(a, "nobody99", "wrong", "198.51.100.7") == 429,
              "the 22nd failure from one forwarded address was not slowed down")
        check(try_login(b, "zhangwei", "123456", "10.1.2.3, 203.0.113.9") == 302,
              "a login forwarded for another address was slowed down")

        # Two administrators demoting each other at the same instant through
        # the two processes: an administrator is always left.
        if server:
            psql_value(server, schema, "update 用户 set 角色=1 where ID=3")
            first, second = sitectl.Client(a), sitectl.Client(b)
            check(first.login(*sitectl.ADMIN) and second.login("zhangwei", "123456"), "administrator logins")
            zero = security_test.demote_each_other(
                first, second, 20,
                lambda: int(psql_value(server, schema, "select count(*) from 用户 where 角色=1")),
                lambda: psql_value(server, schema, "update 用户 set 角色=1 where ID in (1, 3)"))
            check(zero == 0, "no administrator was left in %d of 20 tries" % zero)
    finally:
        for site in sites:
            site.stop()
        for root in roots:
            sitectl.remove_root(root)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    server = os.environ.get("KVDN_PG_DSN", "")
    if not server:
        print("SKIP: KVDN_PG_DSN names no PostgreSQL server (make test starts one)")
        return 77
    schema = "kvdn_shared_%d_%d" % (os.getpid(), random.randrange(100000))
    psql(server, "create schema " + schema)
    try:
        run(args.binary, server + ";ConnSettings=SET search_path TO " + schema, server, schema)
    finally:
        psql(server, "drop schema %s cascade" % schema)
    if failures:
        print("%d checks failed" % len(failures))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
