#!/usr/bin/python3
"""The DLL's workbook reader under Wine when the helper goes wrong (the DLL
registered in the prefix): a workbook that crashes FreeXL is an ordinary
failure of the connection naming the crash, and a helper that never answers
(kvdn_hang_helper.exe through KVDN_XLS_READER) is stopped at the reader's
time limit (10 s) and leaves no process behind.

  xls_limits_check.py --hang-helper EXE --crash-workbook XLS --prefix WINEPREFIX [--arch win64|win32] --work DIR
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

PAGE = r"""
var out = [];
try {
  var c = new ActiveXObject("kvdnAspDll.Connection");
  c.Open("Driver={Microsoft Excel Driver (*.xls)};DBQ=" + BOOK);
  out.push("result=opened");
} catch (e) { out.push("result=" + e.number + " " + e.description); }
WScript.Echo(out.join("\n"));
"""


def open_workbook(env, work, book):
    os.makedirs(work, exist_ok=True)
    page = os.path.join(work, "page.js")
    with open(page, "w", encoding="ascii") as f:
        f.write("var BOOK = %s;\n" % json.dumps(wine.windows_path(env, book), ensure_ascii=True) + PAGE)
    start = time.time()
    out = wine.cscript(env, page, timeout=120)
    return out, time.time() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hang-helper", required=True)
    ap.add_argument("--crash-workbook", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--arch", choices=["win64", "win32"], default="win64")
    ap.add_argument("--work", required=True)
    a = ap.parse_args()
    env = wine.environment(a.prefix, a.arch)
    work = os.path.abspath(a.work)
    book = os.path.join(work, "崩溃.xls")
    os.makedirs(work, exist_ok=True)
    shutil.copyfile(a.crash_workbook, book)
    crash, _ = open_workbook(env, os.path.join(work, "crash"), book)
    hang_env = dict(env, KVDN_XLS_READER=wine.windows_path(env, a.hang_helper))
    hang, seconds = open_workbook(hang_env, os.path.join(work, "hang"), book)
    time.sleep(1)
    # Any process of the helper still there (this script's own command line,
    # and its callers', name the helper too: they are not counted).
    listing = subprocess.run(["pgrep", "-af", os.path.basename(a.hang_helper)], capture_output=True).stdout
    left = [line for line in listing.decode("utf-8", "replace").splitlines() if "xls_limits_check" not in line]
    checks = [("crashing workbook: the open fails naming the crash", True,
               "crashed on it (exception 0xC0000005)" in crash),
              ("helper that never answers: stopped at the time limit", True,
               "did not finish within 10000 ms and was stopped" in hang),
              ("helper that never answers: the page waited about 10 s", True, 9 <= seconds <= 40),
              ("helper that never answers: no process left", [], left)]
    failed = 0
    for name, want, got in checks:
        if want == got:
            print("equal   " + name)
        else:
            failed += 1
            print("DIFFERS %s:\nexpected %r\n     got %r\n%s\n%s (%.1f s)" % (name, want, got, crash[-800:], hang[-800:],
                                                                           seconds))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
