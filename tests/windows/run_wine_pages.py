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
VT_DATE result: E_NOTIMPL). Exit status 0 when every script compares equal.
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dll", required=True)
    ap.add_argument("--kvdn-page", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("scripts", nargs="+")
    a = ap.parse_args()

    env = wine.environment(a.prefix)
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
    for name, why in differ:
        print("DIFFERS %s:\n%s" % (name, why))
    for name in equal:
        print("equal   %s" % name)
    print("%d passed, %d failed" % (len(equal), len(differ)))
    return 0 if not differ else 1


if __name__ == "__main__":
    sys.exit(main())
