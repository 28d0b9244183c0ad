"""The run page under heavy output, in headless Chromium against a real
server home on loopback: a job (FLOOD) writes numbered 100-byte lines with
colour sequences, paced at RATE MB/s and then as fast as it can, while the
page shows the run and a key is typed into its input line box every 100 ms.

Printed for each run, all measured in the page:
  - the rate at which output reaches the page (output bytes of the run's
    WebSocket messages per second, first to last message, as the page's
    socket worker counts them), beside the floor: the same run through
    `kesclient run` to /dev/null on the same server just before;
  - responsiveness: the delay of the typed keys (from the key event's time
    to its handler), the driver's round trip for each key, the intervals
    between animation frames, the lateness of a 50 ms timer, and long tasks
    (PerformanceObserver 'longtask'), against the targets below;
  - the terminal's line count (at most 10,000) with the last line it shows,
    and the history record's output bytes against the bytes written.

    /usr/bin/python3 bench/browser/run_flood_bench.py BUILD [MB] [RATE]
"""

import os
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "browser"))

from browser import Browser  # noqa: E402
from console_home import FLOOD_LINE_BYTES, ConsoleHome, flood_line  # noqa: E402

TARGET_KEY_P99_MS = 100
TARGET_FRAME_P99_MS = 100
TARGET_LONGTASK_MAX_MS = 200
LINES_KEPT = 10000

# Installed before the run starts: counts what the run's WebSocket brings
# and watches the page's own pace while it does.
INSTRUMENT = """
const m = window.__bench = {bytes: 0, messages: 0, first: 0, last: 0, frames: [], late: [],
                            keys: [], longtasks: [], events: [], stop: false};
const Native = window.WebSocket;
window.WebSocket = class extends Native {
  constructor(...args) {
    super(...args);
    this.addEventListener('message', (e) => {
      if (typeof e.data === 'string') return;
      const now = performance.now();
      if (!m.first) m.first = now;
      m.last = now;
      m.bytes += e.data.byteLength - 1;  // less each message's stream byte
      m.messages++;
    });
  }
};
// The run page reads its socket in a worker, which says what came so far.
const NativeWorker = window.Worker;
window.Worker = class extends NativeWorker {
  constructor(...args) {
    super(...args);
    this.addEventListener('message', (e) => {
      if (!e.data || e.data.received === undefined) return;
      const now = performance.now();
      if (!m.first) m.first = now;
      m.last = now;
      m.bytes = e.data.received;
      m.span = e.data.span;
      m.messages++;
    });
  }
};
let previous = 0;
const frame = (t) => {
  if (previous) m.frames.push([t, t - previous]);
  previous = t;
  if (!m.stop) requestAnimationFrame(frame);
};
requestAnimationFrame(frame);
let due = performance.now() + 50;
const tick = () => {
  const now = performance.now();
  m.late.push([now, now - due]);
  due = now + 50;
  if (!m.stop) setTimeout(tick, 50);
};
setTimeout(tick, 50);
new PerformanceObserver((list) => {
  for (const e of list.getEntries()) m.longtasks.push([e.startTime, e.duration]);
}).observe({type: 'longtask'});
new PerformanceObserver((list) => {
  for (const e of list.getEntries()) m.events.push([e.startTime, e.duration]);
}).observe({type: 'event', durationThreshold: 16});
document.addEventListener('keydown', (e) => m.keys.push([e.timeStamp, performance.now() - e.timeStamp]), true);
"""

STATUS = """
const s = document.querySelector('.run-status');
return [s ? s.textContent : '', document.querySelector('input[name=input]').value];
"""

FINISH = """
const done = arguments[arguments.length - 1];
const m = window.__bench;
m.stop = true;
const box = document.querySelector('.terminal');
const view = box && box.outputView;
(view ? view.flushed() : Promise.resolve()).then(() => {
  const buffer = view && view.term ? view.term.buffer.active : null;
  const text = view ? view.text().split('\\n') : [];
  done({m, lines: buffer ? buffer.length : text.length, last: text[text.length - 1] || '',
        first: text[0] || '', stats: view && view.stats ? view.stats() : null,
        line: document.querySelector('input[name=input]').value});
});
"""

RECORD = """
const done = arguments[arguments.length - 1];
fetch('/api/runs/' + arguments[0], {credentials: 'same-origin'}).then((r) => r.json()).then(done,
    (e) => done({error: String(e)}));
"""


def pct(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def figures(values):
    if not values:
        return "none"
    return f"p50 {pct(values, 50):.1f}, p99 {pct(values, 99):.1f}, max {max(values):.1f} ms ({len(values)})"


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def floor(home, lines, rate):
    start = time.monotonic()
    client = home.kesclient("alice", "run", "flood", str(lines), str(rate),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, err = client.communicate(timeout=600)
    seconds = time.monotonic() - start
    if client.returncode != 0:
        raise RuntimeError(f"kesclient run flood: exit {client.returncode}: {err.decode()}")
    return lines * FLOOD_LINE_BYTES / seconds / 1e6, seconds


def page_run(b, base, lines, rate):
    b.driver.get("about:blank")
    b.driver.get(base + "/#/run/FLOOD")
    arguments = b.field("Arguments")
    b.driver.execute_script(INSTRUMENT)
    arguments.send_keys(f"{lines} {rate}")
    b.button("Run").click()
    b.wait_status(lambda s: s.startswith("running"), timeout=30)
    box = b.field("Input line")
    typed, trips, status, kept = "", [], "", True
    while True:
        t0 = time.monotonic()
        try:
            box.send_keys("k")
        except Exception:  # the box is disabled once the run ends
            break
        trips.append((time.monotonic() - t0) * 1000)
        typed += "k"
        status, value = b.driver.execute_script(STATUS)
        if not status.startswith(("running", "starting")):
            break
        kept = kept and value == typed
        time.sleep(0.1)
    b.wait_status(lambda s: not s.startswith(("running", "starting")), timeout=600)
    status = b.status_text()
    b.driver.set_script_timeout(120)
    result = b.driver.execute_async_script(FINISH)
    run_id = b.find(".record-link a").get_attribute("href").rsplit("/", 1)[1]
    record = b.driver.execute_async_script(RECORD, run_id)
    return status, typed, kept, trips, result, record


def report(name, lines, rate, floor_rate, status, typed, kept, trips, result, record):
    m = result["m"]
    # The worker's own span, first to last output message off the network;
    # without it, the page's.
    span = (m.get("span") or (m["last"] - m["first"])) / 1000 or float("nan")
    inside = lambda pairs: [v for t, v in pairs if m["first"] <= t <= m["last"]]  # noqa: E731
    frames = inside(m["frames"])
    late = inside(m["late"])
    keys = inside(m["keys"])
    longtasks = inside(m["longtasks"])
    events = inside(m["events"])
    written = lines * FLOOD_LINE_BYTES
    rate_text = f"{rate} MB/s" if float(rate) > 0 else "as fast as it can"
    page_rate = m["bytes"] / span / 1e6
    print(f"{name}: {lines} lines, {written / 1e6:.0f} MB, paced at {rate_text}; load average {load()}")
    print(f"  status line: {status!r}")
    print(f"  reaching the page: {page_rate:.1f} MB/s over {span:.1f} s "
          f"({m['bytes']} bytes); floor, kesclient run to /dev/null: "
          f"{floor_rate:.1f} MB/s; target 50 MB/s {'ok' if page_rate >= 50 else 'UNDER'}")
    print(f"  key delay in the page: {figures(keys)}; target p99 <= {TARGET_KEY_P99_MS} ms "
          f"{'ok' if keys and pct(keys, 99) <= TARGET_KEY_P99_MS else 'OVER'}")
    print(f"  key round trip through the driver: {figures(trips)}")
    print(f"  animation frame interval: {figures(frames)}; {len(frames) / span:.0f} frames/s; "
          f"target p99 <= {TARGET_FRAME_P99_MS} ms "
          f"{'ok' if frames and pct(frames, 99) <= TARGET_FRAME_P99_MS else 'OVER'}")
    print(f"  50 ms timer late by: {figures(late)}")
    print(f"  long tasks: {len(longtasks)}, {sum(longtasks):.0f} ms in all, longest "
          f"{max(longtasks, default=0):.0f} ms; target longest <= {TARGET_LONGTASK_MAX_MS} ms "
          f"{'ok' if max(longtasks, default=0) <= TARGET_LONGTASK_MAX_MS else 'OVER'}")
    print(f"  events slower than 16 ms to their next paint: {figures(events)}")
    last = flood_line(lines, colours=False)
    print(f"  terminal: {result['lines']} lines (at most {LINES_KEPT}) "
          f"{'ok' if result['lines'] <= LINES_KEPT else 'OVER'}; last line "
          f"{'is the last line written' if result['last'] == last else repr(result['last'][:40])}; "
          f"first line {result['first'][:8]!r}")
    if result.get("stats"):
        print(f"  terminal view: {result['stats']}")
    print(f"  input line box: {len(typed)} keys typed during the run, "
          f"{'each' if kept else 'NOT each'} in the box at once")
    got = record.get("output_bytes")
    print(f"  history: output_bytes {got} of {written} written "
          f"{'ok' if got == written else 'DIFFERENT'}")


def main():
    build = sys.argv[1]
    megabytes = float(sys.argv[2]) if len(sys.argv) > 2 else 500
    rate = sys.argv[3] if len(sys.argv) > 3 else "50"
    lines = int(megabytes * 1e6 / FLOOD_LINE_BYTES)
    home = ConsoleHome(build).make().start()
    try:
        with Browser(1440, 900, log_requests=False) as b:
            b.login(home.base, "alice")
            for paced in (rate, "0"):
                floor_rate, _ = floor(home, lines, paced)
                outcome = page_run(b, home.base, lines, paced)
                report("run page", lines, paced, floor_rate, *outcome)
    finally:
        home.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
