#!/usr/bin/env python3
"""Runs kvdn-page scripts twice and compares what the pages saw: once with the
Linux build's command-line page host (kvdn-page), once as JScript pages under
Wine's cscript calling the Windows DLL through IDispatch (page_host.js, with
the script converted by kvdn_page_to_js).

  run_wine_pages.py --dll DLL --kvdn-page BIN --prefix WINEPREFIX --work DIR SCRIPT.json...

Each script runs on fresh copies of its site folder. The two JSON documents
are compared value for value, every text (the response above all) byte for
byte, after the site folder's physical path (a Linux path on one side, a
Windows path on the other) is written SITE on both. What a JScript page under
Wine cannot observe is left out and checked by the VBScript pages instead:
what a method writes back into an argument passed by reference (JScript
passes values), whether a whole number came back as Long or as Double
(JScript has one number type), a null object reference as against Null
(JScript has one null), and date values (Wine's JScript cannot take a
VT_DATE result: E_NOTIMPL), the wording of error 438 for a name the object
does not have (the script engine raises it, in the machine's language) and
JScript reading such a name as a property (undefined, not an error); an
Empty get compares equal to 438 there. Exit status 0 when every script
compares equal.
"""
import argparse
import copy
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import binary_check  # noqa: E402
import kvdn_page_to_js  # noqa: E402
import wine  # noqa: E402


def map_virtual(site_root, path):
    parts = []
    for seg in path.replace("\\", "/").split("/"):
        if seg == "..":
            if not parts:
                raise ValueError("path leaves the site root: " + path)
            parts.pop()
        elif seg not in ("", "."):
            parts.append(seg)
    return os.path.join(site_root, *parts)


def prepare(script_path, dest):
    """Copies the script and its site folder into dest; returns (script copy, site folder)."""
    with open(script_path, encoding="utf-8") as f:
        script = json.load(f)
    os.makedirs(dest, exist_ok=True)
    src_dir = os.path.dirname(os.path.abspath(script_path))
    site = script.get("site", ".")
    src_site = os.path.join(src_dir, site)
    dst_site = os.path.join(dest, site)
    if os.path.isdir(src_site) and os.path.abspath(src_site) != os.path.abspath(src_dir):
        shutil.copytree(src_site, dst_site, dirs_exist_ok=True)
    os.makedirs(dst_site, exist_ok=True)
    copy_path = os.path.join(dest, os.path.basename(script_path))
    with open(copy_path, "w", encoding="utf-8") as f:
        json.dump(script, f, ensure_ascii=False)
    return copy_path, script, dst_site


def run_setup(script, site):
    """The setup the command-line host runs before its pages, done here for the Wine side."""
    for entry in script.get("setup", []):
        path = map_virtual(site, entry["database"])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        db = sqlite3.connect(path, isolation_level=None)
        try:
            for statement in entry.get("sql", []):
                db.executescript(statement)
        finally:
            db.close()


E_NOTIMPL = -2147467263


def normalise(doc, script, site, other):
    """Drops what JScript cannot observe (see the module's text); `other` is
    the other side's document, for the date results."""
    doc = copy.deepcopy(doc)
    site_re = re.compile(re.escape(site) + r"[^\s\"'<>)]*")

    def paths(v):
        if isinstance(v, str):
            return site_re.sub(lambda m: "SITE" + m.group(0)[len(site):].replace("\\", "/"), v)
        if isinstance(v, list):
            return [paths(x) for x in v]
        if isinstance(v, dict):
            return {k: paths(x) for k, x in v.items()}
        return v

    def is_date(result):
        v = result.get("value")
        return isinstance(v, dict) and "date" in v or result.get("error", {}).get("number") == E_NOTIMPL

    def numbers(v):
        if isinstance(v, float) and v.is_integer() and abs(v) < 2**53:
            return int(v)
        if isinstance(v, list):
            return [numbers(x) for x in v]
        if isinstance(v, dict):
            return {k: numbers(x) for k, x in v.items()}
        return v

    for page_doc, page in zip(doc.get("pages", []), script.get("pages", [])):
        for result, step in zip(page_doc.get("results", []), page.get("calls", [])):
            if "call" in step and "args" in result:
                result["args"] = "(by value in JScript)"
            # A name the object does not have: its GetIDsOfNames refuses it, so
            # JScript raises 438 itself in the machine's language for a call,
            # and reads a property of that name as undefined (JScript's rule).
            error = result.get("error", {})
            if error.get("number") == 438:
                error["description"] = "(438: the script engine's words)"
            if "get" in step and (error.get("number") == 438 or result.get("value") == {"empty": True}):
                result.pop("value", None)
                result["error"] = {"number": 438, "description": "(438: the script engine's words)"}
            if result.get("value") == {"object": False}:
                result["value"] = None
    for i, page_doc in enumerate(doc.get("pages", [])):
        other_pages = other.get("pages", [])
        for j, result in enumerate(page_doc.get("results", [])):
            try:
                twin = other_pages[i]["results"][j]
            except (IndexError, KeyError):
                continue
            if is_date(result) and is_date(twin):
                result.pop("error", None)
                result["value"] = "(a date: not receivable by Wine's JScript)"
    return paths(numbers(doc))


USERS_SETUP = [
    "CREATE TABLE 用户 (ID INTEGER PRIMARY KEY, 登录账号 TEXT COLLATE NOCASE, 姓名 TEXT COLLATE NOCASE, "
    "注册日期 DATETIME)",
    "INSERT INTO 用户 (登录账号, 姓名, 注册日期) VALUES ('admin', '管理员', '2026-01-05 09:30:00'), "
    "('zhang', '张三', '2026-02-11 14:00:00'), ('li', '李四', NULL)",
]


def linux_calls(kvdn_page, work, calls):
    """The Linux build's results for one page of calls (no request, no database)."""
    folder = os.path.join(work, "vbs-linux")
    os.makedirs(os.path.join(folder, "site"), exist_ok=True)
    path = os.path.join(folder, "calls.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"site": "site", "pages": [{"request": {"url": "/x.asp"}, "calls": calls}]}, f, ensure_ascii=False)
    out = subprocess.run([kvdn_page, path], capture_output=True, timeout=60, check=True)
    return json.loads(out.stdout.decode("utf-8"))["pages"][0]["results"]


def run_vbs_page(env, template, site, page):
    """Runs the VBScript page `template` (beside this script; SITE in it names
    the site folder) as `page`, in the code page cscript reads; its output."""
    here = os.path.dirname(os.path.abspath(__file__))
    text = open(os.path.join(here, template), encoding="utf-8").read()
    text = text.replace("SITE", wine.windows_path(env, site)).replace("\r\n", "\n").replace("\n", "\r\n")
    with open(page, "w", encoding="gbk") as f:
        f.write(text)
    return wine.cscript(env, page, encoding="gbk")


def vbscript_checks(env, work, kvdn_page):
    """The VBScript page (by_reference.vbs): (name, expected, actual) per check."""
    site = os.path.join(work, "vbs", "site")
    run_setup({"setup": [{"database": "/数据/site.mdb", "sql": USERS_SETUP}]}, site)
    out = run_vbs_page(env, "by_reference.vbs", site, os.path.join(work, "vbs", "page.vbs"))
    got = {}
    for line in out.splitlines():
        if "=" in line:
            k, v = line.split("=", 1)
            got[k.strip()] = v
    linux = linux_calls(kvdn_page, work, [
        {"call": "strDropDownList", "args": ["男， 女, 保密", "女"]},
        {"call": "connClose"},
        {"call": "md5", "args": [None]},
        {"call": "md5", "args": [{"date": "2026-01-05 09:30:00"}]},
    ])
    sql_error = linux_sql_error(kvdn_page, work)
    if linux[0]["args"][0] == "男， 女, 保密":
        raise RuntimeError("the Linux build no longer writes the list back: the by-reference check would prove nothing")
    expected = {
        "byref.after": linux[0]["args"][0],
        "byref.result": linux[0]["value"],
        "trap.noconn": "%d|%s" % (linux[1]["error"]["number"], linux[1]["error"]["description"]),
        "trap.null": "%d|%s" % (linux[2]["error"]["number"], linux[2]["error"]["description"]),
        # A name the object does not have is refused by its GetIDsOfNames, so
        # the script engine raises 438 itself, in the words of the machine's
        # language: the number is what is compared.
        "trap.unknown": "438",
        "prop.dbtype": "String:access",
        "open.count": "3",
        "date.type": "7:2026-1-5 9:30",
        "date.md5": linux[3]["value"],
        "trap.sql": sql_error,
        "conn.same": "1:张三",
        "rs.default": "管理员|1|2|姓名",
        "rs.next": "张三|0",
        "conn.nothing": "91",
        "response": "",
        "done": "1",
    }
    if "trap.unknown" in got:
        got["trap.unknown"] = got["trap.unknown"].split("|", 1)[0]
    checks = [("vbscript " + k, v, got.get(k, "(not printed)\n" + out[-1500:])) for k, v in expected.items()]
    return checks


def linux_sql_error(kvdn_page, work):
    folder = os.path.join(work, "vbs-linux-sql")
    site = os.path.join(folder, "site")
    run_setup({"setup": [{"database": "/数据/site.mdb", "sql": USERS_SETUP}]}, site)
    path = os.path.join(folder, "calls.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"site": "site", "pages": [{"request": {"url": "/x.asp"}, "calls": [
            {"set": "dbType", "value": "access"}, {"set": "database", "value": "/数据/site.mdb"},
            {"call": "connOpen"}, {"call": "dbShsl", "args": ["select nothing from nowhere"]}]}]},
            f, ensure_ascii=False)
    out = subprocess.run([kvdn_page, path], capture_output=True, timeout=60, check=True)
    e = json.loads(out.stdout.decode("utf-8"))["pages"][0]["results"][3]["error"]
    return "%d|%s" % (e["number"], e["description"])


TYPE_NAMES = ["dbClass", "md5Class", "Connection", "Recordset", "Fields", "Field", "FileSystemObject", "Folder",
              "Files", "File", "Catalog", "JetEngine"]


def type_name_checks(env, work):
    """type_names.vbs: TypeName of every class from the type information, For Each over Fields."""
    site = os.path.join(work, "types", "site")
    os.makedirs(site, exist_ok=True)
    out = run_vbs_page(env, "type_names.vbs", site, os.path.join(work, "types", "page.vbs"))
    got = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    checks = [("TypeName " + name, name, got.get(name, "(not printed) " + out[-1500:])) for name in TYPE_NAMES]
    checks.append(("TypeName of a new Recordset", "Recordset", got.get("Recordset.new", out[-1500:])))
    checks.append(("For Each over Fields", "a=1;b=x;c=2;", got.get("foreach", out[-1500:])))
    checks.append(("type names done", "1", got.get("done", out[-1500:])))
    return checks


def foreign_ado_checks(env, work, label="foreign"):
    """foreign_ado.vbs: the component through data objects it did not make."""
    site = os.path.join(work, label, "site")
    run_setup({"setup": [{"database": "/数据/site.mdb", "sql": USERS_SETUP}]}, site)
    here = os.path.dirname(os.path.abspath(__file__))
    text = open(os.path.join(here, "foreign_ado.vbs"), encoding="utf-8").read()
    text = text.replace("SITE", wine.windows_path(env, site)).replace("\r\n", "\n").replace("\n", "\r\n")
    page = os.path.join(work, label, "page.vbs")
    with open(page, "w", encoding="gbk") as f:
        f.write(text)
    out = wine.cscript(env, page, encoding="gbk")
    foreign_ado_checks.outputs[label] = out.replace(wine.windows_path(env, site), "SITE")
    got = {}
    for line in out.splitlines():
        if "=" in line:
            k, v = line.split("=", 1)
            got[k.strip()] = v
    checks = [("foreign ado types", "dbClass conn: Connection|proxy:Connection",
               "dbClass conn: " + got.get("types", out[-1500:]))]
    for i in range(1, 5):
        v = got.get("same.%d" % i, "(not printed) " + out[-1500:])
        same, _, length = v.partition(":")
        checks.append(("foreign ado call %d same result" % i, "1", same if length not in ("", "0") else v))
    checks.append(("foreign ado done", "1", got.get("done", out[-1500:])))
    return checks


foreign_ado_checks.outputs = {}


def id_cache_checks(env, work):
    """The DLL asks a foreign object for a name's DISPID once (a speed path):
    the foreign-ADO page run again with the speed paths off prints the same."""
    foreign_ado_checks(dict(env, KVDN_SPEED_PATHS="off"), work, "foreign-uncached")
    on, off = foreign_ado_checks.outputs.get("foreign"), foreign_ado_checks.outputs.get("foreign-uncached")
    return [("foreign ado page the same without the DISPID cache", on, off)]


def odbc_checks(env, work):
    """With a server (KVDN_PG_DSN, as make test sets it): the DLL's own
    Connection through the system's ODBC (under Wine: odbc32, unixODBC and
    Debian's PostgreSQL driver), handed to a dbClass, text in Chinese both ways."""
    dsn = os.environ.get("KVDN_PG_DSN", "")
    if not dsn:
        print("SKIP odbc: KVDN_PG_DSN names no server (make test starts one)")
        return []
    page = os.path.join(work, "odbc", "page.js")
    os.makedirs(os.path.dirname(page), exist_ok=True)
    script = """
var out = [];
try {
  var c = new ActiveXObject("kvdnAspDll.Connection");
  c.Open(%(dsn)s);
  c.Execute("drop table if exists wine_odbc_check");
  c.Execute("create table wine_odbc_check (id serial primary key, name varchar(20))");
  c.Execute("insert into wine_odbc_check (name) values ('%(name)s'), ('b')");
  var rs = c.Execute("select name from wine_odbc_check order by id");
  out.push("first=" + escape(rs.Fields(0).Value));
  var db = new ActiveXObject("kvdnAspDll.dbClass");
  db.conn = c;
  out.push("count=" + db.dbShsl("select count(*) from wine_odbc_check"));
  out.push("lookup=" + db.dbShsl("select id from wine_odbc_check where name = '%(name)s'"));
  c.Execute("drop table wine_odbc_check");
  c.Close();
} catch (e) { out.push("error=" + e.number + " " + e.description); }
WScript.Echo(out.join("\\n"));
""" % {"dsn": json.dumps(dsn), "name": "\\u5f20\\u4e09"}
    with open(page, "w", encoding="ascii") as f:
        f.write(script)
    out = wine.cscript(env, page)
    got = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return [("odbc first row", "%u5F20%u4E09", got.get("first", out[-1500:])),
            ("odbc count through dbClass", "2", got.get("count", out[-1500:])),
            ("odbc Chinese text bound in a lookup", "1", got.get("lookup", out[-1500:]))]


def binary_checks(dll):
    """The DLL exports exactly the four functions and needs only system DLLs."""
    return binary_check.checks(dll)


CLSID_DBCLASS = "{6B3F2A41-9C7D-4E52-A1B8-3D0E5F7C2A91}"
TYPELIB_KEY = "HKCR\\TypeLib\\{6B3F2A60-9C7D-4E52-A1B8-3D0E5F7C2A91}"


def registration_checks(env, dll):
    """regsvr32 wrote the keys a page needs; regsvr32 /u leaves none behind."""
    checks = []
    inproc = wine.reg_query(env, "HKCR\\CLSID\\%s\\InprocServer32" % CLSID_DBCLASS)
    checks.append(("registered ThreadingModel Apartment", True, "Apartment" in inproc))
    checks.append(("registered path of the DLL", True, wine.windows_path(env, dll).lower() in inproc.lower()))
    checks.append(("registered ProgID", True, CLSID_DBCLASS in wine.reg_query(env, "HKCR\\kvdnAspDll.dbClass")))
    checks.append(("registered type library", True, "kvdnaspdll.dll" in wine.reg_query(env, TYPELIB_KEY).lower()))
    wine.register(env, dll, unregister=True)
    left = []
    for key in ["HKCR\\kvdnAspDll.dbClass", "HKCR\\kvdnAspDll.md5Class", "HKCR\\kvdnAspDll.Connection",
                "HKCR\\CLSID\\" + CLSID_DBCLASS, "HKCU\\Software\\Classes\\kvdnAspDll.dbClass",
                "HKLM\\Software\\Classes\\CLSID\\" + CLSID_DBCLASS, TYPELIB_KEY]:
        if wine.reg_query(env, key):
            left.append(key)
    checks.append(("regsvr32 /u leaves no key", [], left))
    wine.register(env, dll)
    return checks


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dll", required=True)
    ap.add_argument("--kvdn-page", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--arch", choices=["win64", "win32"], default="win64",
                    help="the prefix's architecture: win32 for the 32-bit DLL (a 32-bit cscript loads it)")
    ap.add_argument("scripts", nargs="+")
    a = ap.parse_args()

    env = wine.environment(a.prefix, a.arch)
    wine.ensure_prefix(env)
    dll = wine.install_dll(env, a.dll, a.work)
    wine.register(env, dll)

    host_js = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "page_host.js"), encoding="utf-8").read()
    equal, differ = [], []
    for script_path in a.scripts:
        name = os.path.splitext(os.path.basename(script_path))[0]
        linux_copy, script, _ = prepare(script_path, os.path.join(a.work, "linux", name))
        linux = subprocess.run([a.kvdn_page, linux_copy], capture_output=True, timeout=120)
        if linux.returncode != 0:
            differ.append((name, "kvdn-page failed: " + linux.stderr.decode("utf-8", "replace")))
            continue
        linux_doc = json.loads(linux.stdout.decode("utf-8"))

        _, script_w, site_w = prepare(script_path, os.path.join(a.work, "wine", name))
        run_setup(script_w, site_w)
        page = os.path.join(a.work, "wine", name, "page.js")
        with open(page, "w", encoding="ascii") as f:
            f.write(host_js)
            f.write("\n" + kvdn_page_to_js.convert(script_w, wine.windows_path(env, site_w)) + "\n")
        out = wine.cscript(env, page)
        try:
            wine_doc = json.loads(out)
        except ValueError:
            differ.append((name, "the page printed no JSON:\n" + out[-2000:]))
            continue
        linux_site = os.path.abspath(os.path.join(a.work, "linux", name, script.get("site", ".")))
        wine_site = wine.windows_path(env, site_w)
        left = json.dumps(normalise(linux_doc, script, linux_site, wine_doc), ensure_ascii=False, sort_keys=True,
                          indent=1)
        right = json.dumps(normalise(wine_doc, script, wine_site, linux_doc), ensure_ascii=False, sort_keys=True,
                           indent=1)
        if left.encode("utf-8") == right.encode("utf-8"):
            equal.append(name)
        else:
            import difflib
            diff = "\n".join(difflib.unified_diff(left.splitlines(), right.splitlines(), "linux", "wine", lineterm=""))
            differ.append((name, diff[:6000]))
    extra = (binary_checks(a.dll) + vbscript_checks(env, a.work, a.kvdn_page) + foreign_ado_checks(env, a.work) +
             id_cache_checks(env, a.work) + type_name_checks(env, a.work) + odbc_checks(env, a.work) +
             registration_checks(env, dll))
    for name, want, got in extra:
        if want == got:
            equal.append(name)
        else:
            differ.append((name, "expected %r\n     got %r" % (want, got)))
    for name, why in differ:
        print("DIFFERS %s:\n%s" % (name, why))
    for name in equal:
        print("equal   %s" % name)
    print("%d passed, %d failed" % (len(equal), len(differ)))
    return 0 if not differ else 1


if __name__ == "__main__":
    sys.exit(main())
