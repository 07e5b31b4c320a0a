#!/usr/bin/python3
"""The SQLite connection pool of the Windows DLL under Wine, in one page
process (the pool lives in the process):

1. a page opens the DLL's own Connection on a database file, reads, closes:
   the pool keeps the connection, so the file stays open and cannot be
   renamed (SQLite opens it without FILE_SHARE_DELETE); the old DLL, whose
   pool took every Windows file for moved, closed it here;
2. it opens the file again and reads the same row;
3. this script replaces the file under its name at the Unix level (what no
   Windows program could do while the file is open, and a stand-in for
   any replacement the pool did not see), then the page opens the name
   again: it must read the new file's row, not the kept connection's;
4. the same page with the pool switched off (KVDN_SPEED_PATHS=off) keeps
   nothing and reads the same rows.

  pool_check.py --dll DLL --prefix WINEPREFIX [--arch win64|win32] --work DIR
Exit status 0 when every check holds.
"""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

PAGE = r"""
var fso = new ActiveXObject("Scripting.FileSystemObject");
var out = [];
function read() {
  var c = new ActiveXObject("kvdnAspDll.Connection");
  c.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + DB);
  var rs = c.Execute("select v from t");
  var v = rs.Fields(0).Value;
  rs.Close();
  c.Close();
  return v;
}
function held() {
  try { fso.MoveFile(DB, DB + ".moved"); } catch (e) { return "1"; }
  fso.MoveFile(DB + ".moved", DB);
  return "0";
}
try {
  out.push("first=" + read());
  out.push("kept=" + held());
  out.push("second=" + read());
  out.push("kept.again=" + held());
  fso.CreateTextFile(READY).Close();
  // (Wine's WScript.Sleep is not implemented: the wait polls.)
  var until = new Date().getTime() + 60000;
  while (!fso.FileExists(GO) && new Date().getTime() < until) {}
  out.push("replaced=" + read());
} catch (e) { out.push("error=" + e.number + " " + e.description); }
WScript.Echo(out.join("\n"));
"""


def make_db(path, value):
    db = sqlite3.connect(path)
    db.execute("create table t (v text)")
    db.execute("insert into t values (?)", (value,))
    db.commit()
    db.close()


def run_page(env, work):
    """The page in one cscript process, the file replaced when it asks;
    returns what it printed as a dict (and the whole text)."""
    os.makedirs(work, exist_ok=True)
    db, other = os.path.join(work, "site.mdb"), os.path.join(work, "other.mdb")
    ready, go = os.path.join(work, "ready"), os.path.join(work, "go")
    for p in (db, other, ready, go, db + ".moved"):
        if os.path.exists(p):
            os.remove(p)
    make_db(db, "old")
    make_db(other, "new")
    page = os.path.join(work, "page.js")
    text = "var DB = %s, READY = %s, GO = %s;\n" % tuple(
        json.dumps(wine.windows_path(env, p), ensure_ascii=True) for p in (db, ready, go)) + PAGE
    with open(page, "w", encoding="ascii") as f:
        f.write(text)
    proc = subprocess.Popen(["wine", "cscript", "//nologo", wine.windows_path(env, page)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    deadline = time.time() + 240
    while not os.path.exists(ready) and proc.poll() is None and time.time() < deadline:
        time.sleep(0.05)
    if os.path.exists(ready):
        os.replace(other, db)  # at the Unix level: the kept connection still has the old file open
        open(go, "w").close()
    out, _ = proc.communicate(timeout=240)
    text = out.decode("utf-8", "replace")
    return dict(line.strip().split("=", 1) for line in text.splitlines() if "=" in line), text


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dll", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--arch", choices=["win64", "win32"], default="win64")
    ap.add_argument("--work", required=True)
    a = ap.parse_args()
    env = wine.environment(a.prefix, a.arch)
    work = os.path.join(os.path.abspath(a.work), "连接池")
    got, text = run_page(env, os.path.join(work, "on"))
    # The same page with the pool switched off: the same answers.
    off_env = dict(env, KVDN_SPEED_PATHS="off")
    off, off_text = run_page(off_env, os.path.join(work, "off"))
    reads = ("first", "second", "replaced")
    checks = [("pool: first read", "old", got.get("first")),
              ("pool: the closed connection is kept (its file stays open)", "1", got.get("kept")),
              ("pool: second read on the kept connection", "old", got.get("second")),
              ("pool: still one kept connection after the second page", "1", got.get("kept.again")),
              ("pool: a file replaced under its name is noticed", "new", got.get("replaced")),
              ("pool off: nothing kept", "0", off.get("kept")),
              ("pool on and off: the same reads", [got.get(k) for k in reads], [off.get(k) for k in reads])]
    failed = 0
    for name, want, value in checks:
        if want == value:
            print("equal   " + name)
        else:
            failed += 1
            print("DIFFERS %s:\nexpected %r\n     got %r\n%s" % (name, want, value, (text + off_text)[-2000:]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
