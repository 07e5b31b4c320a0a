#!/usr/bin/env python3
"""Runs one wrk load and adds what it cost in CPU to wrk's result line.

    measure.py SERVER_SIDS -- wrk ARGS...

SERVER_SIDS are the session ids of the server under load, comma-separated
(each part was started with setsid, so its id is its first process's pid):
every process of those sessions, all threads, is counted, from /proc before
and after the run. wrk's own CPU
is its rusage as a child. wrk's script (count.lua) prints one line
"kvdn-load requests=N ..."; this prints that line with

    server_cpu_ms=  CPU of the server per answer (ms)
    total_cpu_ms=   the same with wrk's CPU added

appended, and exits with wrk's status.
"""
import os
import resource
import subprocess
import sys


def session_ticks(sids):
    """User plus system clock ticks of every process in the sessions `sids`."""
    total = 0
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
        except OSError:
            continue  # gone meanwhile
        # The command name may hold spaces and parentheses: fields follow the last ')'.
        fields = stat[stat.rindex(")") + 2:].split()
        # fields[0] is field 3 (state): session is field 6, utime 14, stime 15.
        if int(fields[3]) in sids:
            total += int(fields[11]) + int(fields[12])
    return total


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit("usage: measure.py SERVER_SIDS -- wrk ARGS...")
    sid = {int(part) for part in sys.argv[1].split(",") if part}
    hz = os.sysconf("SC_CLK_TCK")
    before = session_ticks(sid)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    run = subprocess.run(sys.argv[3:], stdout=subprocess.PIPE, text=True)
    after = session_ticks(sid)
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    wrk_seconds = (used.ru_utime - children.ru_utime) + (used.ru_stime - children.ru_stime)
    server_seconds = (after - before) / hz
    for line in run.stdout.splitlines():
        if line.startswith("kvdn-load "):
            requests = int(line.split("requests=")[1].split()[0])
            per = 1000.0 / requests if requests else 0.0
            line += " server_cpu_ms=%.4f total_cpu_ms=%.4f" % (server_seconds * per,
                                                              (server_seconds + wrk_seconds) * per)
        print(line)
    sys.exit(run.returncode)


if __name__ == "__main__":
    main()
