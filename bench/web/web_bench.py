#!/usr/bin/python3
"""Figures of the web console against the real server (run with Debian's
python3; needs wrk):

  /usr/bin/python3 bench/web/web_bench.py BUILD-DIR [--quick]

Prints each figure beside its floor and their ratio (above 1: better than
the floor). --quick shrinks the volumes (64 MB, 50 runs of 2 MB) for a
loaded machine; the floors stay the same."""
import json
import os
import re
import resource
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "web"))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
QUICK = "--quick" in sys.argv
os.environ.setdefault("KES_BIN", os.path.join(BUILD, "bin"))
os.environ.setdefault("KES_LIB", os.path.join(BUILD, "lib"))

import web_support  # noqa: E402
from web_support import Browser, Server  # noqa: E402

BIG_MB = 64 if QUICK else 512
RUNS, RUN_MB = (50, 2) if QUICK else (200, 10)

web_support.SCRIPTS["quick.sh"] = "#!/bin/sh\necho done\n"
web_support.SCRIPTS["big.sh"] = "#!/bin/sh\nhead -c %d /dev/zero\n" % (BIG_MB << 20)
web_support.SCRIPTS["ten.sh"] = "#!/bin/sh\nhead -c %d /dev/zero\n" % (RUN_MB << 20)
JOBS = """
Quick:
    program = $KESTRUNHOME/quick.sh
    usetty = off

Big:
    program = $KESTRUNHOME/big.sh
    usetty = off

Ten:
    program = $KESTRUNHOME/ten.sh
    usetty = off
"""

rows = []


def figure(name, value, floor, unit, higher_is_better):
    ratio = value / floor if higher_is_better else floor / value if value else float("inf")
    rows.append((name, value, floor, unit, ratio))
    print("%-48s %12.2f %-5s floor %10.2f %-5s ratio %6.2f" % (name, value, unit, floor, unit,
                                                               ratio), flush=True)


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def wrk_jobs(server, browser):
    token = browser.http.cookies.get("kestrun_session")
    out = subprocess.run(["wrk", "-t2", "-c50", "-d5s", "--latency",
                          "-H", "Cookie: kestrun_session=" + token,
                          server.url("/api/jobs")], capture_output=True, text=True).stdout
    def latency(label):
        m = re.search(r"^\s+%s\s+([\d.]+)(us|ms|s)" % label, out, re.M)
        scale = {"us": 0.001, "ms": 1, "s": 1000}[m.group(2)]
        return float(m.group(1)) * scale
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    figure("GET /api/jobs, 50 keep-alive clients: p50", latency("50%"), 1, "ms", False)
    figure("GET /api/jobs, 50 keep-alive clients: p99", latency("99%"), 10, "ms", False)
    figure("GET /api/jobs, 50 keep-alive clients: rate", rate, 10000, "req/s", True)


def ws_run(browser, job):
    ws = browser.socket("/api/jobs/%s/run" % job)
    ws.send("{}")
    total = 0
    while True:
        opcode, data = ws.recv_data()
        if opcode == 2:
            total += len(data) - 1
        elif opcode == 1 and json.loads(data)["type"] == "ended":
            break
    ws.close()
    return total


def kesclient_run(server, job):
    subprocess.run([os.path.join(BUILD, "bin", "kesclient"), "-p", str(server.port), "-u", "bob",
                    "run", job], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def timed(call, *args):
    start = time.monotonic()
    call(*args)
    return time.monotonic() - start


def main():
    server = Server(JOBS)
    try:
        bob = Browser(server, "bob")
        wrk_jobs(server, bob)
        web = [timed(ws_run, bob, "QUICK") for _ in range(30)]
        native = [timed(kesclient_run, server, "QUICK") for _ in range(30)]
        figure("trivial run over WebSocket: p50 / 2x kesclient p50", median(web) * 1000,
               2 * median(native) * 1000, "ms", False)
        web_s = timed(ws_run, bob, "BIG")
        native_s = timed(kesclient_run, server, "BIG")
        figure("%d MB over one WebSocket / 50%% of kesclient" % BIG_MB, BIG_MB / web_s,
               0.5 * BIG_MB / native_s, "MB/s", True)
        before = rss_kb(server.process.pid)
        results = []
        def one():
            results.append(ws_run(bob, "TEN"))
        threads = [threading.Thread(target=one) for _ in range(RUNS)]
        peak = before
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            peak = max(peak, rss_kb(server.process.pid))
            time.sleep(0.1)
        complete = sum(1 for r in results if r == RUN_MB << 20)
        figure("%d concurrent runs of %d MB: completed" % (RUNS, RUN_MB), complete, RUNS, "runs",
               True)
        figure("%d concurrent runs: server RSS growth" % RUNS, (peak - before) / 1024, 200, "MB",
               False)
    finally:
        server.stop()


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    main()
