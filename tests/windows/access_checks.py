#!/usr/bin/env python3
"""Access files and the DLL under Wine, for one DLL (either bitness):

1. Real Access files (tests/data/access) read through the DLL's own
   Connection with Debian's odbc-mdbtools driver (Wine's odbc32 hands the
   calls to unixODBC, configured here by a private odbcinst.ini through
   ODBCSYSINI): a grid of every page, a detail table and an option list of
   every table, compared with the Linux build's kvdn-page over the same
   driver (whose cells tests/data/odbc/access_odbc_test.cpp holds to
   mdb-export).
2. A file converted by kvdn-access-convert, opened through connOpen's Access
   kind while the page's ADODB.Connection is the machine's own (Wine's, which
   cannot open anything here): with the setting AccessEngine "kvdnAspDll" or
   "auto" the grid, detail table and option list equal the Linux build's;
   without it connOpen reports its failure.

  access_checks.py --dll DLL --linux-build DIR --prefix WINEPREFIX --work DIR

A part that cannot run here prints "NOT RUN: why" and counts neither as
passed nor as failed. Exit status 0 when nothing failed.
"""
import argparse
import csv
import io
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvdn_page_to_js  # noqa: E402
import run_wine_pages  # noqa: E402
import wine  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data", "access")
DRIVERS = ["/usr/lib/x86_64-linux-gnu/odbc/libmdbodbc.so", "/usr/lib/i386-linux-gnu/odbc/libmdbodbc.so",
           "/usr/lib/odbc/libmdbodbc.so"]
SETTING_KEY = "HKLM\\Software\\kvdnAspDll"


def odbc_environment(env, work):
    """A private odbcinst.ini naming the driver [MDBTools]; None when the driver is missing."""
    driver = next((d for d in DRIVERS if os.path.exists(d)), None)
    if not driver:
        return None
    folder = os.path.join(work, "odbc")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "odbcinst.ini"), "w") as f:
        f.write("[MDBTools]\nDescription=Access files (odbc-mdbtools), read-only\nDriver=%s\n" % driver)
    with open(os.path.join(folder, "odbc.ini"), "w") as f:
        f.write("")
    env = dict(env)
    env.update({"ODBCSYSINI": folder, "ODBCINSTINI": "odbcinst.ini", "ODBCINI": os.path.join(folder, "odbc.ini")})
    return env


def tables_of(path):
    out = subprocess.run(["mdb-tables", "-1", path], capture_output=True, timeout=60, check=True).stdout
    return [t for t in out.decode("utf-8").splitlines() if t]


def export(path, table):
    out = subprocess.run(["mdb-export", path, table], capture_output=True, timeout=60, check=True).stdout
    return list(csv.reader(io.StringIO(out.decode("utf-8"))))


def grid_call(sql, psize):
    return {"call": "dbSelect", "args": [sql, psize, 1, "添加", 1, "修改", 1, "tableWg"]}


def access_script(path):
    """Pages over every table of one Access file, the connection opened by the page."""
    opened = [{"set": "dbType", "value": ""}, {"open": "Driver={MDBTools};DBQ=" + os.path.abspath(path)}]
    pages = []
    for table in tables_of(path):
        rows = export(path, table)
        names = rows[0] if rows else []
        if not names:
            continue
        every = "select * from [%s]" % table
        two = "select [%s], [%s] from [%s]" % (names[0], names[1 if len(names) > 1 else 0], table)
        comp = rows[-1][0] if len(rows) > 1 else ""
        pages.append({"request": {"url": "/list.asp"}, "calls": opened + [grid_call(every, 0)]})
        for n in range(1, len(rows) + 1):
            pages.append({"request": {"url": "/list.asp", "query": "ac=call&page=%d" % n},
                          "calls": opened + [grid_call(every, 1)]})
        pages.append({"request": {"url": "/detail.asp"}, "calls": opened + [
            {"call": "xiangxi", "args": [every, 100, 300, "详情"]},
            {"call": "rsDropDownList", "args": [two, comp, 1]}]})
    return {"site": "site", "pages": pages}


def converted_script():
    """A page on a converted file, through connOpen's Access kind."""
    every = "select * from [Table1]"
    opened = [{"set": "dbType", "value": "access"}, {"set": "database", "value": "/database/app.mdb"},
              {"call": "connOpen"}]
    return {"site": "site", "pages": [
        {"request": {"url": "/list.asp", "query": "ac=call&page=2"}, "calls": opened + [grid_call(every, 1)]},
        {"request": {"url": "/detail.asp"}, "calls": opened + [
            {"call": "xiangxi", "args": [every, 100, 300, "详情"]},
            {"call": "rsDropDownList", "args": ["select [A], [B] from [Table1]", "a", 1]}]}]}


class Pages:
    """Runs one kvdn-page script on Linux and as a JScript page under Wine."""

    def __init__(self, env, kvdn_page, work):
        self.env, self.kvdn_page, self.work = env, kvdn_page, work
        self.host_js = open(os.path.join(HERE, "page_host.js"), encoding="utf-8").read()

    def site(self, name, side):
        site = os.path.join(self.work, name, side, "site")
        os.makedirs(site, exist_ok=True)
        return site

    def linux(self, name, script, env):
        folder = os.path.dirname(self.site(name, "linux"))
        path = os.path.join(folder, "script.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(script, f, ensure_ascii=False)
        r = subprocess.run([self.kvdn_page, path], capture_output=True, timeout=300, env=env)
        if r.returncode != 0:
            raise RuntimeError("kvdn-page failed: " + r.stderr.decode("utf-8", "replace"))
        return json.loads(r.stdout.decode("utf-8")), os.path.join(folder, "site")

    def wine(self, name, script, env, machine_classes=None):
        site = self.site(name, "wine")
        page = os.path.join(os.path.dirname(site), "page.js")
        with open(page, "w", encoding="ascii") as f:
            if machine_classes:
                f.write("var machineClasses = %s;\n" % json.dumps(machine_classes))
            f.write(self.host_js)
            f.write("\n" + kvdn_page_to_js.convert(script, wine.windows_path(env, site)) + "\n")
        # Only the standard output: the driver (a Linux library under Wine)
        # writes its warnings to the process's stderr.
        r = wine.run(env, ["cscript", "//nologo", wine.windows_path(env, page)])
        out = r.stdout.decode("utf-8", "replace")
        try:
            return json.loads(out), wine.windows_path(env, site)
        except ValueError:
            raise RuntimeError("the page printed no JSON:\n" + out[-2000:] + r.stderr.decode("utf-8", "replace")[:2000])

    def compare(self, script, linux, wine_doc):
        """'' when equal, else a diff."""
        left = json.dumps(run_wine_pages.normalise(linux[0], script, linux[1], wine_doc[0]), ensure_ascii=False,
                          sort_keys=True, indent=1)
        right = json.dumps(run_wine_pages.normalise(wine_doc[0], script, wine_doc[1], linux[0]),
                           ensure_ascii=False, sort_keys=True, indent=1)
        if left == right:
            return ""
        import difflib
        return "\n".join(difflib.unified_diff(left.splitlines(), right.splitlines(), "linux", "wine",
                                              lineterm=""))[:6000]


def table_rows(path):
    """{table: (column names, rows as sorted lists)} of a database file."""
    import sqlite3
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        out = {}
        names = [r[0] for r in db.execute("select name from sqlite_master where type = 'table' and "
                                           "name not like 'sqlite%'")]
        for t in names:
            cur = db.execute('select * from "%s"' % t.replace('"', '""'))
            columns = [d[0] for d in cur.description]
            rows = [list(r) for r in cur.fetchall()]
            out[t] = (columns, sorted(rows, key=repr))
        return out
    finally:
        db.close()


def compare_files(linux_file, wine_file):
    """'' when both files hold the same tables, columns and values (with
    their storage classes, which decide what the component reads), else what
    differs."""
    left, right = table_rows(linux_file), table_rows(wine_file)
    problems = []
    if sorted(left) != sorted(right):
        problems.append("tables: linux %r, windows %r" % (sorted(left), sorted(right)))
    for t in sorted(set(left) & set(right)):
        lc, lr = left[t]
        rc, rr = right[t]
        if lc != rc:
            problems.append("%s columns: linux %r, windows %r" % (t, lc, rc))
        elif len(lr) != len(rr):
            problems.append("%s: linux %d rows, windows %d" % (t, len(lr), len(rr)))
        else:
            for a_row, b_row in zip(lr, rr):
                for c, x, y in zip(lc, a_row, b_row):
                    if type(x) is not type(y) or x != y:
                        problems.append("%s.%s: linux %r, windows %r" % (t, c, x, y))
    return "\n".join(problems[:40])


def set_engine(env, value):
    """The machine's AccessEngine value (None removes it), in the 64-bit view
    where there is one (a 32-bit prefix has only its own)."""
    for view in (["/reg:64"], []):
        if value is None:
            r = wine.run(env, ["reg", "delete", SETTING_KEY, "/v", "AccessEngine", "/f"] + view)
        else:
            r = wine.run(env, ["reg", "add", SETTING_KEY, "/v", "AccessEngine", "/t", "REG_SZ", "/d", value,
                               "/f"] + view)
        if r.returncode == 0 or value is None:
            return
    raise RuntimeError("reg add failed: " + r.stderr.decode("utf-8", "replace"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dll", required=True)
    ap.add_argument("--linux-build", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--work", required=True)
    a = ap.parse_args()

    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    env = wine.environment(a.prefix)
    wine.ensure_prefix(env)
    dll = wine.install_dll(env, a.dll, a.work)
    wine.register(env, dll)
    kvdn_page = os.path.join(a.linux_build, "bin", "kvdn-page")
    converter = os.path.join(a.linux_build, "bin", "kvdn-access-convert")
    pages = Pages(env, kvdn_page, a.work)
    passed, failed, not_run = [], [], []

    # 1. Access files through the DLL's own Connection and the driver.
    odbc_env = odbc_environment(env, a.work)
    libodbc = [p for p in ("/usr/lib/x86_64-linux-gnu/libodbc.so.2", "/usr/lib/i386-linux-gnu/libodbc.so.2")
               if os.path.exists(p)]
    if odbc_env is not None and not libodbc:
        # Wine's odbc32 loads unixODBC's libodbc.so.2 at run time; Debian's Wine does not depend on it.
        odbc_env = None
        not_run.append(("access files over odbc-mdbtools", "libodbc.so.2 (Debian libodbc2) is missing: Wine's "
                                                           "odbc32 has no driver manager to hand the calls to"))
    elif odbc_env is None:
        not_run.append(("access files over odbc-mdbtools", "the driver (Debian odbc-mdbtools) is not installed"))
    elif not shutil.which("mdb-export"):
        not_run.append(("access files over odbc-mdbtools", "mdb-export (Debian mdbtools) is not installed"))
    else:
        for name in sorted(os.listdir(DATA)):
            if not name.endswith((".mdb", ".accdb")):
                continue
            check = "access file over odbc-mdbtools " + name
            try:
                script = access_script(os.path.join(DATA, name))
                if not script["pages"]:
                    passed.append(check + " (no tables)")
                    continue
                linux = pages.linux(name, script, odbc_env)
                opened = [p["results"][1] for p in linux[0]["pages"]]
                if any("error" in r for r in opened):
                    failed.append((check, "the Linux build could not open the file: %r" % opened[0]))
                    continue
                wine_doc = pages.wine(name, script, odbc_env)
                wine_opened = [p["results"][1] for p in wine_doc[0]["pages"]]
                if any("error" in r for r in wine_opened):
                    # The driver works on Linux: Wine's odbc32 did not reach it.
                    failed.append((check, "the DLL's Connection could not open the file through Wine's odbc32 "
                                          "(unixODBC underneath): %r" % wine_opened[0]))
                    continue
                diff = pages.compare(script, linux, wine_doc)
                (failed.append((check, diff)) if diff else passed.append(check))
            except (RuntimeError, subprocess.SubprocessError, OSError) as e:
                failed.append((check, str(e)))

    # 2. A converted file through connOpen, the machine's ADO standing by.
    if not os.path.exists(converter):
        not_run.append(("converted file through connOpen", "kvdn-access-convert is not built (mdbtools-dev missing)"))
    else:
        script = converted_script()
        try:
            for side in ("linux", "wine"):
                dest = os.path.join(pages.site("converted", side), "database", "app.mdb")
                os.makedirs(os.path.dirname(dest), exist_ok=True)
                subprocess.run([converter, os.path.join(DATA, "V2003-test.mdb"), dest], capture_output=True,
                               timeout=120, check=True)
            linux = pages.linux("converted", script, env)
            machine = {"adodb.connection": "ADODB.Connection", "adodb.recordset": "ADODB.Recordset"}
            for setting in ("kvdnAspDll", "auto", None):
                set_engine(env, setting)
                wine_doc = pages.wine("converted", script, env, machine)
                check = "converted file through connOpen, AccessEngine=%s" % setting
                if setting is None:
                    # The machine's own data objects: Wine's cannot open the file.
                    first = wine_doc[0]["pages"][0]
                    ok = first.get("ended") and "数据库打开失败" in first.get("response", "") or any(
                        "error" in r for r in first["results"][:3])
                    (passed.append(check + " (the machine's, which fails here)") if ok else
                     failed.append((check, "connOpen did not use the machine's data objects: %r" % first)))
                    continue
                diff = pages.compare(script, linux, wine_doc)
                if not diff and "<tbody>" not in json.dumps(linux[0], ensure_ascii=False):
                    diff = "the Linux page shows no grid: %r" % linux[0]
                (failed.append((check, diff)) if diff else passed.append(check))
        except (RuntimeError, subprocess.SubprocessError, OSError) as e:
            failed.append(("converted file through connOpen", str(e)))
        finally:
            set_engine(env, None)

    # 3. The Windows converter (cscript, shipped beside the DLL) against the
    #    Linux converter, every table cell for cell.
    script_vbs = os.path.join(os.path.dirname(os.path.abspath(a.dll)), "kvdn-access-convert.vbs")
    if odbc_env is None or not os.path.exists(converter):
        not_run.append(("windows converter", "odbc-mdbtools or kvdn-access-convert is missing"))
    elif not os.path.exists(script_vbs):
        failed.append(("windows converter", "kvdn-access-convert.vbs is not beside the DLL: " + script_vbs))
    else:
        for name in sorted(os.listdir(DATA)):
            if not name.endswith((".mdb", ".accdb")):
                continue
            check = "windows converter equals the Linux converter " + name
            try:
                folder = os.path.join(a.work, "convert", name)
                os.makedirs(folder, exist_ok=True)
                src = os.path.abspath(os.path.join(DATA, name))
                linux_file = os.path.join(folder, "linux.mdb")
                # An ASCII name: Wine 8's cscript overruns its heap when it echoes
                # double-byte text to a pipe (the summary names the file).
                wine_file = os.path.join(folder, "converted.mdb")
                r = subprocess.run([converter, src, linux_file], capture_output=True, timeout=120)
                if r.returncode != 0:
                    # A file the Linux converter refuses (mdbtools cannot read a type) is not compared.
                    not_run.append((check, "the Linux converter refused it: " + r.stderr.decode("utf-8", "replace")))
                    continue
                command = ["cscript", "//nologo", wine.windows_path(odbc_env, script_vbs),
                           "/source:Driver={MDBTools};DBQ=" + src, wine.windows_path(odbc_env, wine_file)]
                out = wine.run(odbc_env, command)
                text = out.stdout.decode("gbk", "replace") + out.stderr.decode("gbk", "replace")
                if "wine: Unhandled" in text:
                    # Wine itself crashed (seen once, not reproducible): said, and run once more.
                    check += " (second run: the first ended in a crash of Wine: %s)" % text[
                        text.find("wine: Unhandled"):][:120].replace("\n", " ")
                    if os.path.exists(wine_file):
                        os.remove(wine_file)
                    out = wine.run(odbc_env, command)
                    text = out.stdout.decode("gbk", "replace") + out.stderr.decode("gbk", "replace")
                unreadable = subprocess.run("for t in $(mdb-tables -1 '%s'); do mdb-export '%s' \"$t\"; done" % (
                    src, src), shell=True, capture_output=True, timeout=120).stderr.decode("utf-8", "replace")
                if "unsupported data type" in unreadable:
                    # A type mdbtools' driver cannot read (Large Number): refused, nothing written.
                    ok = out.returncode == 1 and "kvdn-access-convert: " in text and not os.path.exists(wine_file) \
                        and not [f for f in os.listdir(folder) if "kvdn-tmp" in f]
                    check = check.replace("equals the Linux converter", "refuses what the driver cannot read")
                    (passed.append(check) if ok else failed.append((check, "status %d: %s" % (out.returncode,
                                                                                              text[-1500:]))))
                    continue
                if out.returncode != 0 or not os.path.exists(wine_file):
                    failed.append((check, "cscript failed (%d): %s" % (out.returncode, text[:3000])))
                    continue
                diff = compare_files(linux_file, wine_file)
                (failed.append((check, diff)) if diff else passed.append(check))
            except (RuntimeError, subprocess.SubprocessError, OSError) as e:
                failed.append((check, str(e)))
        # Refusals: an existing destination without /force, a source that is no Access file.
        folder = os.path.join(a.work, "convert", "refusals")
        os.makedirs(folder, exist_ok=True)
        existing = os.path.join(folder, "existing.mdb")
        with open(existing, "wb") as f:
            f.write(b"keep")
        junk = os.path.join(folder, "junk.mdb")
        with open(junk, "wb") as f:
            f.write(b"not an access file" * 100)
        for label, args, target in (
                ("existing destination", ["/source:Driver={MDBTools};DBQ=" + os.path.abspath(os.path.join(
                    DATA, "V2003-test.mdb"))], existing),
                ("not an Access file", ["/source:Driver={MDBTools};DBQ=" + junk], os.path.join(folder, "new.mdb"))):
            before = sorted(os.listdir(folder))
            out = wine.run(odbc_env, ["cscript", "//nologo", wine.windows_path(odbc_env, script_vbs)] + args +
                           [wine.windows_path(odbc_env, target)])
            text = (out.stdout + out.stderr).decode("gbk", "replace")
            ok = (out.returncode == 1 and "kvdn-access-convert: " in text and sorted(os.listdir(folder)) == before
                  and open(existing, "rb").read() == b"keep")
            check = "windows converter refuses: " + label
            (passed.append(check) if ok else failed.append((check, "status %d: %s" % (out.returncode, text[-1500:]))))

    for name, why in failed:
        print("DIFFERS %s:\n%s" % (name, why))
    for name, why in not_run:
        print("NOT RUN %s: %s" % (name, why))
    for name in passed:
        print("equal   %s" % name)
    print("access: %d passed, %d failed, %d not run" % (len(passed), len(failed), len(not_run)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
