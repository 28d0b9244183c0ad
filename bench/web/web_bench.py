#!/usr/bin/python3
"""Figures of the web console against the real server (run with Debian's
python3; needs wrk and a build with KES_BENCH for web_ws_client):

  /usr/bin/python3 bench/web/web_bench.py BUILD-DIR [--quick] [--memory] [--client PATH]

Prints each figure beside its floor and their ratio (above 1: better than
the floor). The runs over WebSocket are made by web_ws_client (Beast, as
fast as a browser takes bytes), and each is timed as kesclient's are: the
wall time of the program, start to exit, alternating with kesclient's in
the same run so that both see the same load. --quick shrinks the volumes
(64 MB, 50 runs of 2 MB) for a loaded machine; the floors stay the same."""
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
# --memory: only the concurrent runs and their RSS growth (web, then kesclient).
MEMORY_ONLY = "--memory" in sys.argv
CLIENT = (sys.argv[sys.argv.index("--client") + 1] if "--client" in sys.argv
          else os.path.join(BUILD, "bin", "web_ws_client"))
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


def ws_run(server, browser, job, concurrent=1):
    """web_ws_client's runs of `job`: [(bytes, seconds)] (seconds from the
    connection to "ended", inside the client)."""
    token = browser.http.cookies.get("kestrun_session")
    out = subprocess.run([CLIENT, str(server.web_port), token, job, "1", str(concurrent)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        print(out.stderr, file=sys.stderr)
    return [(int(b), float(t)) for b, t in (line.split() for line in out.stdout.splitlines())]


def kesclient_run(server, job):
    subprocess.run([os.path.join(BUILD, "bin", "kesclient"), "-p", str(server.port), "-u", "bob",
                    "run", job], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def peak_growth(server, work):
    """The server's peak RSS growth in MB while work() runs on a thread."""
    before = peak = rss_kb(server.process.pid)
    runner = threading.Thread(target=work)
    runner.start()
    while runner.is_alive():
        peak = max(peak, rss_kb(server.process.pid))
        time.sleep(0.05)
    return (peak - before) / 1024


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def timed(call, *args):
    """The wall time of call(*args), in seconds."""
    start = time.monotonic()
    call(*args)
    return time.monotonic() - start


def main():
    server = Server(JOBS)
    try:
        print("load average %.2f %.2f %.2f" % os.getloadavg(), flush=True)
        bob = Browser(server, "bob")
        if MEMORY_ONLY:
            concurrent_runs(server, bob)
            return
        wrk_jobs(server, bob)
        web, native, inside = [], [], []
        for _ in range(30):
            web.append(timed(lambda: inside.extend(ws_run(server, bob, "QUICK"))))
            native.append(timed(kesclient_run, server, "QUICK"))
        figure("trivial run over WebSocket: p50 / 2x kesclient p50", median(web) * 1000,
               2 * median(native) * 1000, "ms", False)
        print("  (inside the client, open to ended: p50 %.2f ms)"
              % (median([t for _, t in inside]) * 1000))
        web_s, native_s, sizes = [], [], []
        for _ in range(3):
            web_s.append(timed(lambda: sizes.extend(ws_run(server, bob, "BIG"))))
            native_s.append(timed(kesclient_run, server, "BIG"))
        assert all(b == BIG_MB << 20 for b, _ in sizes), sizes
        figure("%d MB over one WebSocket / 50%% of kesclient" % BIG_MB, BIG_MB / median(web_s),
               0.5 * BIG_MB / median(native_s), "MB/s", True)
        concurrent_runs(server, bob)
        print("load average %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    finally:
        server.stop()


def concurrent_runs(server, bob):
    """RUNS concurrent runs over WebSocket, then through kesclient on a fresh
    server: how many completed and the server's peak RSS growth."""
    results = []
    growth = peak_growth(server, lambda: results.extend(ws_run(server, bob, "TEN", RUNS)))
    complete = sum(1 for b, _ in results if b == RUN_MB << 20)
    figure("%d concurrent runs of %d MB: completed" % (RUNS, RUN_MB), complete, RUNS, "runs",
           True)
    figure("%d concurrent runs: server RSS growth" % RUNS, growth, 200, "MB", False)
    # The same runs through kesclient, on a fresh server: what a run costs
    # the server without the web console, beside the web's figure.
    native_server = Server(JOBS)
    try:
        def natives():
            clients = [subprocess.Popen(
                [os.path.join(BUILD, "bin", "kesclient"), "-p", str(native_server.port), "-u",
                 "bob", "run", "TEN"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for _ in range(RUNS)]
            for c in clients:
                c.wait()
        native_growth = peak_growth(native_server, natives)
    finally:
        native_server.stop()
    print("  (the same %d runs through kesclient: server RSS growth %.1f MB; web / kesclient"
          " %.2f)" % (RUNS, native_growth, growth / native_growth if native_growth else 0))


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    main()
