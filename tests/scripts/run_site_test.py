#!/usr/bin/env python3
"""`make run`'s script (scripts/run-site.sh) keeps the site's live data in the
folder it is given, outside the build: it names that folder at start, the
site makes its database there, and a second start on the same folder keeps
that database (it is not made again) and what was written into it.

Usage: run_site_test.py --build BUILD_DIR
Exit status 0 when every check held."""
import argparse
import os
import select
import sqlite3
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "run-site.sh")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)


def start(build, data):
    """Runs the script until the site says where it listens; returns its
    output so far. The wait is bounded only so that a site that never
    starts cannot hang the test. Unbuffered, so that select() sees every
    line that has not been read yet."""
    process = subprocess.Popen(["bash", SCRIPT, build, data, "0"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, bufsize=0)
    lines = []
    try:
        while True:
            ready, _, _ = select.select([process.stdout], [], [], 120)
            line = process.stdout.readline().decode("utf-8") if ready else ""
            if not line:
                break
            lines.append(line.rstrip("\n"))
            if "kvdn-site: open http://" in line:
                break
    finally:
        process.terminate()
        process.wait()
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    with tempfile.TemporaryDirectory(prefix="kvdn-run-site-") as work:
        data = os.path.join(work, "var", "site")
        database = os.path.join(data, "admin", "database", "app.mdb")

        first = start(build, data)
        check(any(line.startswith("run-site: the site's data is kept in " + data) for line in first),
              f"the data folder is not named at start: {first}")
        check(any("open http://" in line for line in first), f"the site did not start: {first}")
        check(any("made the database " + database in line for line in first),
              f"the site did not make its database in the data folder: {first}")
        check(os.path.isfile(os.path.join(data, "static", "site.js")), "the static files were not brought in")

        db = sqlite3.connect(database)
        db.execute("create table 记号 (内容 text)")
        db.execute("insert into 记号 values ('kept')")
        db.commit()
        db.close()

        second = start(build, data)
        check(any("open http://" in line for line in second), f"the site did not start again: {second}")
        check(not any("made the database" in line for line in second), "the second start made the database again")
        db = sqlite3.connect(database)
        check(db.execute("select 内容 from 记号").fetchall() == [("kept",)], "a row written between starts is gone")
        db.close()
    if failures:
        print(f"{len(failures)} check(s) failed", flush=True)
        sys.exit(1)
    print("run-site: every check held")


if __name__ == "__main__":
    main()
