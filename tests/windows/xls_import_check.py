#!/usr/bin/python3
"""The spreadsheet import on Windows against the Linux build, byte for byte.

  xls_import_check.py --linux-reader BIN --windows-reader EXE --prefix WINEPREFIX
                      [--arch win64|win32] --work DIR --scripts-out DIR

For every workbook (written here by tests/data/xls/make_workbook.py, plus the
repository's corpus and crash files and the shared crash workbooks when
present):
- the two helper programs parse it: the Linux kvdn-xls-reader and
  kvdn-xls-reader.exe under Wine, each given the same relative Chinese file
  name in the same folder; their outputs (the wire encoding of every cell of
  every sheet, or of the failure) must be equal byte for byte, or both must
  have crashed;
- a kvdn-page script that imports it with dbClass.xlsToDb and lists the
  imported rows is written to --scripts-out, for run_wine_pages.py to run
  through the Linux build and through the DLL under Wine and compare.
Exit status 0 when every reader comparison holds.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# Sheet 用户 with the columns the import copies; the other sheets and
# cells exercise what the reader delivers (numbers, dates, times, empty
# cells, Chinese names and texts, booleans, long texts).
LAYOUTS = {
    "plain": {"sheets": [{"name": "用户", "rows": [
        ["登录账号", "姓名", "密码", "备注"],
        ["zhang", "张三", "e10adc3949ba59abbe56e057f20f883e", "第一行"],
        ["li", "李四", 123456, None],
        [None, "无账号", "x", "skipped: no account"],
        ["wang", None, 0.5, {"date": "2026-03-01"}],
    ]}]},
    "kinds": {"sheets": [
        {"name": "Sheet1", "rows": [["a", "b"], [1, 2.25], [True, False], [-1e300, 1e-300]]},
        {"name": "用户", "rows": [
            ["登录账号", "密码", "姓名"],
            ["d1", {"datetime": "2026-01-05 09:30:00"}, "日期时间"],
            ["d2", {"date": "1900-03-01"}, "早期日期"],
            ["長い", "é ü ß € ½ 😀", "Ünïcödé"],
            ["empty", "", "空文本"],
            ["long", "长" * 2000, "长文本"],
        ]},
        {"name": "空表", "rows": []},
    ]},
    "wide": {"sheets": [{"name": "用户", "rows": [["登录账号", "姓名", "密码"] + ["F%d" % i for i in range(40)]] +
                         [["u%d" % r, "用户%d" % r, r * 7] + [r * c for c in range(40)] for r in range(300)]}]},
}


def workbooks(work):
    """(name, path) of every workbook to compare, copies in `work`, each
    distinct content once."""
    folder = os.path.join(work, "workbooks")
    os.makedirs(folder, exist_ok=True)
    found = []
    for name, layout in LAYOUTS.items():
        layout_file = os.path.join(folder, name + ".json")
        with open(layout_file, "w", encoding="utf-8") as f:
            json.dump(layout, f, ensure_ascii=False)
        out = os.path.join(folder, name + ".xls")
        subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tests", "data", "xls", "make_workbook.py"), layout_file, out],
                       check=True, timeout=120)
        found.append((name, out))
    sources = [os.path.join(ROOT, "tests", "fuzz", "corpus", "xls_reader"), os.path.join(ROOT, "tests", "data", "xls", "crash"),
               os.path.join(ROOT, "..", "shared", "data", "xls-crash"), "/work/shared/data/xls-crash"]
    seen = set()
    for source in sources:
        if not os.path.isdir(source):
            continue
        for entry in sorted(os.listdir(source)):
            path = os.path.join(source, entry)
            if not entry.lower().endswith(".xls") or not os.path.isfile(path):
                continue
            digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
            if digest in seen:
                continue
            seen.add(digest)
            copy = os.path.join(folder, entry)
            shutil.copyfile(path, copy)
            found.append((os.path.splitext(entry)[0], copy))
    return found


def crashed_linux(r):
    return r.returncode < 0


def crashed_windows(r):
    """The helper exits 0, 2 or 3 (see its main.cpp); a fault ends it with the
    exception's code, of which `wine` passes on the low 8 bits only
    (0xC0000005 comes out as 5), and with nothing written."""
    return r.returncode not in (0, 2, 3) and not r.stdout


def compare_readers(env, linux_reader, windows_reader, books, work):
    """(name, expected, actual) per workbook: the Windows helper's output
    against the Linux helper's."""
    checks = []
    for name, path in books:
        folder = os.path.join(work, "read", name)
        os.makedirs(folder, exist_ok=True)
        # The same relative name on both sides: the failure texts name the
        # file, and a Chinese name must come through the command line.
        shutil.copyfile(path, os.path.join(folder, "工作簿.xls"))
        linux = subprocess.run([linux_reader, "--", "工作簿.xls"], cwd=folder, capture_output=True, timeout=120)
        windows = subprocess.run(["wine", windows_reader, "--", "工作簿.xls"], cwd=folder, env=env,
                                 capture_output=True, timeout=120)
        label = "workbook %s read by kvdn-xls-reader.exe" % name
        if crashed_linux(linux) or crashed_windows(windows):
            checks.append((label + " (crash on both or neither)", "crashed" if crashed_linux(linux) else "read",
                           "crashed" if crashed_windows(windows) else "read"))
            if crashed_linux(linux) != crashed_windows(windows):
                print("note: %s: Linux status %d, Windows status %d" % (name, linux.returncode, windows.returncode))
            continue
        checks.append((label + " (exit status)", linux.returncode, windows.returncode))
        same = linux.stdout == windows.stdout
        checks.append((label + " (content byte for byte)", "%d bytes equal" % len(linux.stdout),
                       "%d bytes equal" % len(linux.stdout) if same else
                       "differs: %d bytes, first difference at %d" % (len(windows.stdout), first_difference(
                           linux.stdout, windows.stdout))))
    return checks


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


USERS = ("CREATE TABLE 用户 (ID INTEGER PRIMARY KEY, 登录账号 TEXT COLLATE NOCASE, 姓名 TEXT COLLATE NOCASE, "
         "密码 TEXT, 备注 TEXT)")


def write_import_scripts(books, out):
    """One kvdn-page script per workbook: the import and the rows it left."""
    os.makedirs(out, exist_ok=True)
    paths = []
    dump = ("select group_concat(ID || ':' || typeof(登录账号) || ':' || ifnull(登录账号, 'NULL') || '|' || "
            "typeof(姓名) || ':' || ifnull(姓名, 'NULL') || '|' || typeof(密码) || ':' || ifnull(密码, 'NULL'), "
            "char(10)) from (select * from 用户 order by ID)")
    for name, path in books:
        site = os.path.join(out, "xls-" + name)
        os.makedirs(os.path.join(site, "database"), exist_ok=True)
        shutil.copyfile(path, os.path.join(site, "database", "userinfo.xls"))
        script = {"site": "xls-" + name,
                  "setup": [{"database": "database/site.mdb", "sql": [
                      USERS, "INSERT INTO 用户 (登录账号, 姓名, 密码) VALUES ('admin', '管理员', 'keep'), ('old', '旧', 'gone')"]}],
                  "pages": [{"request": {"url": "/db.asp"}, "calls": [
                      {"set": "dbType", "value": "access"}, {"set": "database", "value": "/database/site.mdb"},
                      {"call": "connOpen"},
                      {"call": "xlsToDb", "args": ["登录账号,姓名,密码"]},
                      {"call": "dbShsl", "args": [dump]},
                      {"call": "xlsToDb", "args": ["登录账号,密码"]},
                      {"call": "dbShsl", "args": ["select count(*) from 用户"]}]}]}
        script_path = os.path.join(out, "xls-" + name + ".json")
        with open(script_path, "w", encoding="utf-8") as f:
            json.dump(script, f, ensure_ascii=False)
        paths.append(script_path)
    return paths


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--linux-reader", required=True)
    ap.add_argument("--windows-reader", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--arch", choices=["win64", "win32"], default="win64")
    ap.add_argument("--work", required=True)
    ap.add_argument("--scripts-out", required=True)
    a = ap.parse_args()
    env = wine.environment(a.prefix, a.arch)
    wine.ensure_prefix(env)
    books = workbooks(a.work)
    write_import_scripts(books, a.scripts_out)
    failed = 0
    for name, want, got in compare_readers(env, os.path.abspath(a.linux_reader), wine.windows_path(env, a.windows_reader),
                                           books, a.work):
        if want == got:
            print("equal   " + name)
        else:
            failed += 1
            print("DIFFERS %s:\nexpected %r\n     got %r" % (name, want, got))
    print("%d workbook checks failed" % failed if failed else "every workbook read alike")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
