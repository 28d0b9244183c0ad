"""The run page under heavy output, in headless Chromium against a real
KestrunServer home: a job floods the page with coloured lines, asks for a
line of input in between and floods on. The run ends with its status line,
the terminal keeps the last 10,000 lines exactly, the input line box answers
while output pours in, and the history holds every byte the job wrote.
How fast this goes is for bench/browser/run_flood_bench.py to say.

    /usr/bin/python3 heavy_output_test.py BUILD_DIR [unittest options]
"""

import json
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
import unittest

from selenium.webdriver.common.keys import Keys

from browser import Browser
from console_home import ConsoleHome, flood_line

BUILD = None
LINES_KEPT = 10000

# An OutputView of the page's own terminal module, fed synchronously (no
# frame can come in between), then drawn.
FEED = """
const [chunks, done] = [arguments[0], arguments[arguments.length - 1]];
import('./terminal.js').then(async ({OutputView}) => {
  const slot = document.createElement('div');
  document.querySelector('main').append(slot);
  const view = new OutputView(slot, 'fed');
  await view.ready;
  let most = 0;
  for (const [text, times] of chunks) {
    const bytes = new TextEncoder().encode(text);
    for (let i = 0; i < times; i++) {
      view.write(bytes);
      most = Math.max(most, view.stats().queued);
    }
  }
  await view.flushed();
  done({lines: view.text().split('\\n'), most, stats: view.stats()});
  view.dispose();
}, (e) => done({error: String(e)}));
"""


class HeavyOutput(unittest.TestCase):
    home = None

    @classmethod
    def setUpClass(cls):
        cls.home = ConsoleHome(BUILD).make().start()
        cls.base = cls.home.base

    @classmethod
    def tearDownClass(cls):
        if cls.home:
            cls.home.stop()

    def browser(self):
        b = Browser(1440, 900, log_requests=False)
        self.addCleanup(b.close)
        b.login(self.base, "alice")
        b.driver.set_script_timeout(60)
        return b

    def test_flood_with_input_between(self):
        half = 30000  # each half alone overflows the terminal
        b = self.browser()
        b.driver.get(f"{self.base}/#/run/FLOOD")
        b.field("Arguments").send_keys(f"{half} 0 ask")
        b.button("Run").click()
        b.wait_status(lambda s: s.startswith("running"), timeout=60)
        line = b.field("Input line")
        # Typed while the first half pours in; the job waits for it.
        line.send_keys("typed during the flood")
        self.assertEqual(line.get_attribute("value"), "typed during the flood")
        line.send_keys(Keys.ENTER)
        status = b.wait_status(lambda s: s.startswith("exit"), timeout=120)
        self.assertRegex(status, r"^exit 0 after \d+\.\d s$")

        b.driver.execute_async_script(
            "document.querySelector('.terminal').outputView.flushed().then(arguments[0])")
        shown = b.terminal_text().split("\n")
        written = ([flood_line(n, colours=False) for n in range(1, half + 1)] + ["got typed during the flood"]
                   + [flood_line(n, colours=False) for n in range(half + 1, 2 * half + 1)])
        self.assertLessEqual(len(shown), LINES_KEPT)
        self.assertGreater(len(shown), LINES_KEPT - 50)  # all but the screen's empty last rows
        self.assertEqual(shown, written[-len(shown):])

        run_id = b.find(".record-link a").get_attribute("href").rsplit("/", 1)[1]
        fetch = ("fetch(arguments[0]).then((r) => r.text()).then(arguments[arguments.length - 1])")
        record = json.loads(b.driver.execute_async_script(fetch, f"/api/runs/{run_id}"))
        output = json.loads(b.driver.execute_async_script(fetch, f"/api/runs/{run_id}/output"))
        expected = "".join(flood_line(n) + "\n" for n in range(1, half + 1)) + "got typed during the flood\n" + \
            "".join(flood_line(n) + "\n" for n in range(half + 1, 2 * half + 1))
        self.assertEqual(record["output_bytes"], len(expected))
        stored = "".join(piece["data"] for piece in output)
        self.assertEqual(len(stored), len(expected))
        self.assertTrue(stored == expected, "the history holds the output as written")

    def test_leaving_a_flood_leaves_the_run_to_the_history(self):
        b = self.browser()
        b.driver.get(f"{self.base}/#/run/FLOOD")
        b.field("Arguments").send_keys("40000 1")  # 4 MB in about four seconds
        b.button("Run").click()
        b.wait_status(lambda s: s.startswith("running"), timeout=60)
        run_id = b.find(".record-link a").get_attribute("href").rsplit("/", 1)[1]
        b.driver.get(f"{self.base}/#/jobs")
        b.find("li.job")
        fetch = ("fetch(arguments[0]).then((r) => r.json()).then(arguments[arguments.length - 1])")
        record = b.wait(lambda: (r := b.driver.execute_async_script(fetch, f"/api/runs/{run_id}"))["outcome"] and r,
                        60, "the run's end in the history")
        self.assertEqual((record["outcome"], record["exit_code"], record["output_bytes"]),
                         ("exited", 0, 40000 * 100))

    def test_terminal_drops_only_what_would_scroll_out(self):
        b = self.browser()
        b.driver.get(f"{self.base}/#/run/FLOOD")
        b.field("Arguments")
        block = "".join(f"{n:06d} \x1b[33m{'y' * (n % 40)}\x1b[0m\n" for n in range(1, 1001))
        shown = [f"{n:06d} {'y' * (n % 40)}" for n in range(1, 1001)] * 300
        cases = [
            # (name, [(text, times written)], lines the terminal shows at the
            # end, bytes it need not draw)
            ("short lines", [(block, 300)], lambda kept: shown[-len(kept):], 7 << 20),
            # Wrapped into full rows; the line's last row may be shorter.
            ("one line without end", [("z" * 65536, 40), ("\nend", 1)],
             lambda kept: ["z" * len(kept[0])] * (len(kept) - 2) + ["z" * len(kept[-2]), "end"], 500000),
        ]
        for name, chunks, expected, skipped in cases:
            with self.subTest(name):
                got = b.driver.execute_async_script(FEED, chunks)
                self.assertNotIn("error", got)
                kept = got["lines"]
                self.assertLessEqual(len(kept), LINES_KEPT)
                self.assertGreater(len(kept), LINES_KEPT - 50)
                self.assertTrue(kept == expected(kept), f"{name}: kept {kept[:2]} ... {kept[-2:]}")
                # What would scroll out never reached the terminal, nor
                # waited in the page beyond the trimming bound.
                self.assertGreaterEqual(got["stats"]["dropped"], skipped)
                self.assertLessEqual(got["most"], 5 << 20)


if __name__ == "__main__":
    BUILD = sys.argv.pop(1)
    unittest.main(verbosity=2)
