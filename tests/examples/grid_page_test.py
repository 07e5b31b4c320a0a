#!/usr/bin/env python3
"""The README's first page (examples/grid_page.cpp) as a user runs it: a
SQLite file of their own with 45 rows, the page script copied into static/,
the program started on a free port. The page must show the first 20 rows
with the pager, the pager's reload ("?ac=call&page=3", what callTableData
fetches) the grid alone at the last page, and the script must be served.

Usage: grid_page_test.py --binary PROGRAM --script site.js
Exit status 0 when every check held."""
import argparse
import os
import select
import sqlite3
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)


def fetch(url):
    with urllib.request.urlopen(url) as answer:
        return answer.status, answer.read().decode("utf-8")


def address(process):
    """The address line the program prints once it listens (a bound on the
    wait only so that a program that never listens cannot hang the test)."""
    ready, _, _ = select.select([process.stdout], [], [], 120)
    if not ready:
        return None
    return process.stdout.readline().decode("utf-8").strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--script", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kvdn-example-grid-") as site:
        file = os.path.join(site, "商店.db")
        db = sqlite3.connect(file)
        db.execute("create table 商品 (ID integer primary key, 名称 text, 数量 integer)")
        db.executemany("insert into 商品 (名称, 数量) values (?, ?)",
                       ((f"品名{i}", i * 3) for i in range(1, 46)))
        db.commit()
        db.close()
        os.makedirs(os.path.join(site, "static"))
        with open(args.script, "rb") as src, open(os.path.join(site, "static", "site.js"), "wb") as dst:
            dst.write(src.read())

        process = subprocess.Popen([args.binary, file, "商品", "0"], stdout=subprocess.PIPE, bufsize=0)
        try:
            url = address(process)
            if not url or not url.startswith("http://127.0.0.1:"):
                check(False, f"no address line from the program: {url!r}")
                return
            status, page = fetch(url)
            check(status == 200, f"the page answered {status}")
            for expected in ("<script src='/static/site.js'></script>", "<div id='tableData'>",
                             "<form name='formtablepage'", "class='grid'", "<td align='center'>序号</td>",
                             "<td>名称</td><td>数量</td>", "<td>品名1</td><td>3</td>", "<td>品名20</td>",
                             "第1页/共3页", "callTableData('?ac=call&page=2')"):
                check(expected in page, f"the page lacks {expected}")
            check("品名21<" not in page, "the first page shows a row of the second")

            status, grid = fetch(url + "?" + urllib.parse.urlencode({"ac": "call", "page": 3}))
            check(status == 200, f"the pager's reload answered {status}")
            check(grid.startswith("<form name='formtablepage'"), f"the reload is not the grid alone: {grid[:80]}")
            for expected in ("第3页/共3页", "<td>品名41</td>", "<td>品名45</td>", "<td align='center'>45</td>"):
                check(expected in grid, f"the last page lacks {expected}")
            check("品名40<" not in grid, "the last page shows a row of the page before")

            status, script = fetch(url + "static/site.js")
            check(status == 200 and "window.callTableData" in script, "the page script is not served")
        finally:
            process.terminate()
            process.wait()
    if failures:
        print(f"{len(failures)} check(s) failed", flush=True)
        sys.exit(1)
    print("grid page: every check held")


if __name__ == "__main__":
    main()
