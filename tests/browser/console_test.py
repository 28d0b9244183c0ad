"""The web console's pages in headless Chromium against a real
KestrunServer home: logins, jobs by group, the ARCHIVE dialog against
kesclient's, a refusing validation, standard input, Stop, a refusal, the
history with Follow, Kill for admins only, keyboard use, phone and desktop
widths, texts kept as text and no request off the console's origin.

    /usr/bin/python3 console_test.py BUILD_DIR [unittest options]
"""

import os
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
import time
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

from browser import Browser
from console_home import ConsoleHome

BUILD = None


def strip_colon(text):
    return (text or "").strip().rstrip(":").strip()


class Console(unittest.TestCase):
    home = None
    runs = {}  # job -> (run id, expected result text, a line of its output)

    @classmethod
    def setUpClass(cls):
        cls.home = ConsoleHome(BUILD).make().start()
        cls.base = cls.home.base

    @classmethod
    def tearDownClass(cls):
        if cls.home:
            cls.home.stop()

    def browser(self, user=None, width=1440, height=900):
        b = Browser(width, height)
        self.addCleanup(b.close)
        if user:
            b.login(self.base, user)
        return b

    def job_card(self, b, job):
        return b.find(f'li.job[data-job="{job}"]')

    def run_from_jobs(self, b, job):
        b.driver.get(self.base + "/#/jobs")
        b.button("Run", self.job_card(b, job)).click()

    def run_with_arguments(self, b, job, arguments):
        b.driver.get(f"{self.base}/#/run/{job}")
        b.field("Arguments").send_keys(arguments)
        b.button("Run").click()

    def run_id(self, b):
        link = b.find(".record-link a")
        return link.get_attribute("href").rsplit("/", 1)[1]

    def control(self, b, selectors, name, timeout=10):
        """The visible control matching one of `selectors` whose accessible
        name is `name` (a trailing colon of a label aside)."""
        def find():
            for e in b.driver.find_elements(By.CSS_SELECTOR, selectors):
                if e.is_displayed() and strip_colon(e.accessible_name) == name:
                    return e
            return None
        return b.wait(find, timeout, f"control {name!r} ({selectors})")

    # --- logins ---------------------------------------------------------
    def test_login_failure_then_success(self):
        b = self.browser()
        b.driver.get(self.base + "/")
        b.field("User").send_keys("mallory")
        b.field("Password").send_keys("wrong")
        b.button("Log in").click()
        alert = b.find("[role=alert]")
        self.assertEqual(alert.text, "Login failed")
        self.assertTrue(b.visible("form.login"))
        b.field("User").clear()
        b.field("User").send_keys("alice")
        b.field("Password").send_keys("secret")
        b.button("Log in").click()
        b.find("li.job")
        self.assertEqual(b.find("#who").text, "alice (admin)")
        cookies = b.driver.get_cookies()
        self.assertEqual([c["name"] for c in cookies], ["kestrun_session"])
        self.assertTrue(cookies[0]["httpOnly"])
        storage = b.driver.execute_script("return localStorage.length + sessionStorage.length")
        self.assertEqual(storage, 0)

    # --- jobs -----------------------------------------------------------
    def test_jobs_by_group_and_filter(self):
        alice = self.browser("alice")
        self.job_card(alice, "PAYROLL")
        names = [e.get_attribute("data-job") for e in alice.all("li.job")]
        self.assertIn("COUNTDOWN", names)
        bob = self.browser("bob")
        self.job_card(bob, "COUNTDOWN")
        names = [e.get_attribute("data-job") for e in bob.all("li.job")]
        self.assertNotIn("PAYROLL", names)
        self.assertEqual({b.accessible_name for b in bob.all("li.job button")}, {"Run"})
        bob.field("Filter").send_keys("capitals")
        bob.wait(lambda: [e.get_attribute("data-job") for e in bob.all("li.job")] == ["SHOUT"],
                 5, "only SHOUT left by the filter")

    def test_texts_from_jobs_stay_text(self):
        b = self.browser("alice")
        card = self.job_card(b, "MARKUP")
        self.assertEqual(card.find_element(By.TAG_NAME, "h2").text, "<b>Bold</b> & <i>tags</i>")
        self.assertEqual(card.find_elements(By.CSS_SELECTOR, "b, i, img"), [])
        b.button("Run", card).click()
        b.wait_status(lambda s: s.startswith("exit 0"))
        b.wait_terminal("<script>alert(1)</script>")
        self.assertEqual(b.all("main script"), [])

    # --- dialogs --------------------------------------------------------
    def native_archive_variables(self):
        """ARCHIVE through kesclient's Tk dialog with the same choices as
        the browser test makes; returns the variables the job printed."""
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp",
                                 "-screen", "0", "1280x1024x24"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (xvfb.terminate(), xvfb.wait(), xvfb.stdout.close()))
        display = xvfb.stdout.readline().decode().strip()
        self.assertTrue(display, "Xvfb gave no display")
        script = "\n".join([
            ".c.m.nb select .c.m.nb.p2",
            ".c.m.nb select .c.m.nb.p1",
            "set name2 zip",
            "event generate $wn2 <<ComboboxSelected>>",
            "update",
            "rbc 5 0",
            "set name7 1",
            "set tv .lb.c1.tvf.tv",
            "set pick {}",
            "foreach item [$tv children {}] {",
            "  if {[lindex [$tv item $item -values] 1] in {/srv/home LTO-0042}} { lappend pick $item }",
            "}",
            "$tv selection set $pick",
            "TreeSort c3 0",
            ".bb.okbutton invoke",
        ])
        env = dict(os.environ, DISPLAY=f":{display}")
        client = self.home.kesclient("alice", "dialog", "-eval", script, "archive", env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = client.communicate(timeout=60)
        self.assertEqual(client.returncode, 0, err.decode())
        return sorted(l.strip() for l in out.decode().splitlines() if "=" in l)

    def test_archive_dialog_sends_what_kesclient_sends(self):
        b = self.browser("alice")
        self.run_from_jobs(b, "ARCHIVE")
        self.control(b, "[role=tab]", "Destination").click()
        self.control(b, "[role=tab]", "Source").click()
        fmt = self.control(b, "select, [role=combobox]", "Archive format")
        if fmt.tag_name == "select":
            Select(fmt).select_by_visible_text("zip")
        else:
            fmt.clear()
            fmt.send_keys("zip", Keys.ENTER)
        self.control(b, "input[type=radio], [role=radio]", "Best").click()
        self.control(b, "input[type=checkbox], [role=checkbox]", "Keep old copies").click()

        def row(volume):
            for r in b.all("[role=row], tbody tr"):
                if r.is_displayed() and volume in [c.text for c in r.find_elements(By.CSS_SELECTOR, "td, [role=gridcell], [role=cell]")]:
                    return r
            return None
        # The list box is refilled when the format changes: wait for it.
        b.wait(lambda: row("/srv/home"), 10, "the list box rows")
        b.wait(lambda: row("/srv/home").is_enabled(), 5, "list box ready")
        row("/srv/home").click()
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(b.driver).key_down(Keys.CONTROL).click(row("LTO-0042")).key_up(Keys.CONTROL).perform()
        self.control(b, "th, [role=columnheader], th button", "Size").click()
        b.button("OK").click()
        b.wait_status(lambda s: s.startswith("exit 0"), timeout=20)
        web = sorted(l.strip() for l in b.terminal_text().splitlines() if "=" in l)
        native = self.native_archive_variables()
        self.maxDiff = None
        self.assertEqual(web, native)
        self.assertIn("KESFIELD2=zip", web)
        self.assertIn("KESLISTBOXSELECTIONS=2", web)

    def test_refusing_validation_keeps_the_dialog_open(self):
        b = self.browser("alice")
        self.run_from_jobs(b, "CHECKED")
        b.button("OK").click()
        b.wait(lambda: "Name must not be empty" in b.driver.find_element(By.TAG_NAME, "main").text,
               10, "the validation's message")
        name = self.control(b, "input", "Name")
        name.send_keys("Ada")
        b.button("OK").click()
        b.wait_status(lambda s: s.startswith("exit 0"))
        b.wait_terminal("KESFIELD1=Ada")

    # --- runs -----------------------------------------------------------
    def test_shout_with_standard_input(self):
        b = self.browser("alice")
        self.run_from_jobs(b, "SHOUT")
        b.wait_status(lambda s: s.startswith("running"))
        # The job (tr) writes when its input ends.
        line = b.field("Input line")
        line.send_keys("hello web", Keys.ENTER)
        b.field("Input line").send_keys("second line")
        b.button("Send").click()
        b.button("End of input").click()
        status = b.wait_status(lambda s: s.startswith("exit"))
        self.assertRegex(status, r"^exit 0 after \d+\.\d s$")
        b.wait_terminal("HELLO WEB\nSECOND LINE")
        Console.runs["SHOUT"] = (self.run_id(b), "exit 0", "HELLO WEB")

    def test_stop_countdown(self):
        b = self.browser("alice")
        self.run_with_arguments(b, "COUNTDOWN", "30")
        b.wait_terminal("30...")
        b.button("Stop").click()
        self.assertEqual(b.wait_status(lambda s: s.startswith("stopped")), "stopped by you")
        self.assertFalse(b.visible(".run-bar button"), "Stop is gone once the run ended")
        Console.runs["COUNTDOWN"] = (self.run_id(b), "stopped by", "30...")

    def test_refusal_while_backup_runs(self):
        # Both browsers are ready first: the backup lasts ten seconds.
        first = self.browser("alice")
        second = self.browser("bob")
        second.driver.get(f"{self.base}/#/run/BACKUP")
        second.field("Arguments").send_keys("prod")
        self.run_with_arguments(first, "BACKUP", "prod")
        first.wait_terminal("prod: 10%")
        second.button("Run").click()
        refusal = second.wait_status(lambda s: s and not s.startswith(("starting", "running")))
        # The server's refusal as it words it (with or without the
        # user@node of its log line).
        self.assertRegex(refusal, r"^(bob@127\.0\.0\.1 )?Cannot run BACKUP - it is already running$")
        self.assertFalse(second.visible(".run-bar button"), "no Stop for a refused run")
        # The refusal leaves the running backup alone.
        self.assertRegex(first.wait_status(lambda s: not s.startswith("running"), timeout=20),
                         r"^exit 0 after \d+\.\d s$")

    def test_history_shows_the_runs_and_follows_a_running_one(self):
        if not Console.runs:
            self.test_shout_with_standard_input()
        b = self.browser("alice")
        for job, (run_id, result, line) in Console.runs.items():
            b.driver.get(f"{self.base}/#/history?job={job}")
            link = b.find(f'tr[data-run="{run_id}"] a')
            self.assertTrue(b.find(f'tr[data-run="{run_id}"]').text)
            link.click()
            b.wait(lambda: result in b.find("dl.record").text, 10, f"{job} result {result}")
            b.wait_terminal(line)
        # A run that is still going: its output so far, then live.
        client = self.home.kesclient("bob", "run", "countdown", "6", stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.addCleanup(client.wait)
        b.driver.get(f"{self.base}/#/history?job=COUNTDOWN&user=bob")
        b.wait(lambda: any("running" in r.text for r in b.all("tbody tr")), 10, "bob's countdown running")
        next(r for r in b.all("tbody tr") if "running" in r.text).find_element(By.TAG_NAME, "a").click()
        b.button("Follow").click()
        b.wait_terminal("Counting down from 6")
        b.wait_terminal("1...", timeout=20)
        b.wait_status(lambda s: s.startswith("exit 0"), timeout=20)

    def test_admin_kills_a_job_and_others_have_no_kill(self):
        bob = self.browser("bob")
        self.run_with_arguments(bob, "COUNTDOWN", "60")
        bob.wait_terminal("60...")
        watcher = self.browser("bob")
        watcher.driver.get(self.base + "/#/active")
        watcher.wait(lambda: any("COUNTDOWN" in r.text for r in watcher.all("tbody tr")), 10, "bob's job listed")
        self.assertEqual([b for b in watcher.all("button") if b.accessible_name == "Kill"], [])
        alice = self.browser("alice")
        alice.driver.get(self.base + "/#/active")
        row = alice.wait(lambda: next((r for r in alice.all("tbody tr") if "COUNTDOWN" in r.text and "bob" in r.text), None),
                         10, "bob's countdown for the admin")
        alice.button("Kill", row).click()
        self.assertEqual(bob.wait_status(lambda s: s.startswith("killed"), timeout=15), "killed by admin")

    # --- how it is used -------------------------------------------------
    def test_keyboard_only_login_and_run(self):
        b = self.browser()
        b.driver.get(self.base + "/")
        b.field("User")
        active = b.driver.switch_to.active_element
        self.assertEqual(active.accessible_name, "User")
        active.send_keys("alice", Keys.TAB)
        active = b.driver.switch_to.active_element
        self.assertEqual(active.accessible_name, "Password")
        active.send_keys("secret", Keys.ENTER)
        b.find("li.job")
        self.assertEqual(b.driver.switch_to.active_element.accessible_name, "Filter")
        b.driver.switch_to.active_element.send_keys("capitals", Keys.TAB)
        focused = b.driver.switch_to.active_element
        self.assertEqual(focused.accessible_name, "Run")
        outline = b.driver.execute_script(
            "return getComputedStyle(document.activeElement).outlineStyle")
        self.assertNotEqual(outline, "none", "focus is visible")
        focused.send_keys(Keys.ENTER)
        b.wait_status(lambda s: s.startswith("running"))
        self.assertEqual(b.driver.switch_to.active_element.accessible_name, "Input line")
        b.driver.switch_to.active_element.send_keys(Keys.TAB, Keys.TAB, Keys.ENTER)  # End of input
        b.wait_status(lambda s: s.startswith("exit 0"))

    def test_phone_and_desktop_widths_without_foreign_requests(self):
        for width in (375, 1440):
            b = self.browser("alice", width=width, height=800)
            for page, ready in (("jobs", "li.job"), ("history", "table.grid"), ("active", "table.grid"),
                                ("run/COUNTDOWN", "form.stdin")):
                b.driver.get(f"{self.base}/#/{page}")
                b.find(ready)
                overflow = b.driver.execute_script(
                    "return document.documentElement.scrollWidth - window.innerWidth")
                self.assertLessEqual(overflow, 0, f"{page} at {width} px scrolls sideways")
            own = (self.base, self.base.replace("http:", "ws:"))
            foreign = [u for u in b.requests()
                       if u.split(":")[0] in ("http", "https", "ws", "wss") and not u.startswith(own)]
            self.assertEqual(foreign, [])
            csp = [m for m in b.console_errors() if "Content Security Policy" in m]
            self.assertEqual(csp, [])


if __name__ == "__main__":
    BUILD = sys.argv.pop(1)
    unittest.main(verbosity=2)
