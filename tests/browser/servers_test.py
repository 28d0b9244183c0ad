"""The Servers page and the History page's server column and filter in
headless Chromium, against a console home whose run history is shared in a
throwaway PostgreSQL cluster with rows of two other servers written into it.

    /usr/bin/python3 servers_test.py BUILD_DIR [unittest options]
"""

import os
import re
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "web"))
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from browser import Browser
from console_home import ConsoleHome
from pg_cluster import PgCluster

BUILD = None
OTHER = "http://127.0.0.1:9"  # never asked: only linked to


class Servers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = PgCluster()
        cls.home = ConsoleHome(BUILD)
        try:
            cls.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def heartbeats(cls):
        try:
            return cls.cluster.sql("SELECT name FROM kestrun_servers")
        except subprocess.CalledProcessError:
            return ""  # the server has not made its tables yet

    @classmethod
    def start(cls):
        cls.home.make()
        conf = os.path.join(cls.home.home, "kestrun.conf")
        with open(conf) as f:
            text = f.read()
        text = re.sub(r"(?im)^history\s*=.*\n", "", text)
        with open(conf, "w") as f:
            f.write(f"history = {cls.cluster.conninfo}\nservername = here\n" + text)
        cls.home.start()
        deadline = time.monotonic() + 15
        while "here" not in cls.heartbeats():
            if time.monotonic() > deadline:
                raise RuntimeError("no heartbeat of the console home")
            time.sleep(0.1)
        now = int(time.time() * 1000)
        cls.cluster.sql(
            "INSERT INTO kestrun_servers VALUES"
            f" ('there', '{OTHER}', '2.3', 1, {now}),"
            f" ('gone', 'javascript:alert(1)', '2.2', 0, {now - 600000});"
            "INSERT INTO kestrun_runs(server, id, job, \"user\", node, address, origin, started,"
            f" ended, exit_code, outcome) VALUES ('there', 7, 'SHOUT', 'bob', 'b7', '', 'native',"
            f" {now - 5000}, {now - 4000}, 0, 'exit');"
            "INSERT INTO kestrun_output VALUES ('there', 7, 0, 1, 'shouted on there')")

    @classmethod
    def tearDownClass(cls):
        cls.home.stop()
        cls.cluster.stop()

    def browser(self):
        b = Browser()
        self.addCleanup(b.close)
        b.login(self.home.base, "alice")
        return b

    def test_servers_page_lists_states_and_links(self):
        b = self.browser()
        b.driver.find_element(By.LINK_TEXT, "Servers").click()
        b.wait(lambda: len(b.all("tbody tr")) == 3, 10, "three servers")
        rows = {r.get_attribute("data-server"): r for r in b.all("tbody tr")}
        cells = lambda name: [td.text for td in rows[name].find_elements(By.TAG_NAME, "td")]
        self.assertEqual(cells("there")[:5], ["there", "up", OTHER, "2.3", "1"])
        self.assertEqual(cells("gone")[:2], ["gone", "not seen for 2 minutes"])
        self.assertEqual(cells("here")[:2], ["here (this server)", "up"])
        self.assertEqual(rows["there"].find_element(By.TAG_NAME, "a").get_attribute("href"), OTHER + "/")
        self.assertEqual(rows["here"].find_element(By.TAG_NAME, "a").get_attribute("href"),
                         self.home.base + "/")
        # A console address that is not http or https stays text.
        self.assertEqual(rows["gone"].find_elements(By.TAG_NAME, "a"), [])
        self.assertEqual(b.driver.find_element(By.CSS_SELECTOR, 'nav a[aria-current="page"]').text, "Servers")

    def test_history_shows_every_server_with_filter(self):
        b = self.browser()
        b.driver.get(self.home.base + "/#/history?server=all")
        b.wait(lambda: b.all('tbody tr[data-server="there"]'), 10, "the other server's run")
        select = Select(b.field("Server"))
        self.assertEqual([o.text for o in select.options],
                         ["This server", "All servers", "gone", "there"])
        self.assertEqual(select.first_selected_option.text, "All servers")
        row = b.find('tbody tr[data-server="there"]')
        self.assertEqual([td.text for td in row.find_elements(By.TAG_NAME, "td")][:3], ["7 ↗", "there", "SHOUT"])
        here, link = row.find_elements(By.TAG_NAME, "a")
        self.assertEqual(here.get_attribute("href"), self.home.base + "/#/runs/7?server=there")
        self.assertEqual((link.get_attribute("href"), link.accessible_name), (OTHER + "/#/runs/7", "Run 7 on there"))
        select.select_by_visible_text("there")
        b.button("Show").click()
        b.wait(lambda: b.driver.current_url.endswith("#/history?server=there"), 10, "the filter in the address")
        b.wait(lambda: len(b.all("tbody tr")) == 1, 10, "only the other server's run")
        # The other console is linked to, never asked (the browser's own
        # chrome:// pages aside).
        off = [u for u in b.requests()
               if u.split(":")[0] in ("http", "https", "ws", "wss") and not u.startswith(self.home.base)]
        self.assertEqual(off, [])
        # The other server's run opens here, with its output from the shared history.
        b.find('tbody tr[data-server="there"] a').click()
        b.wait(lambda: b.find("h1").text == "Run 7 of there: SHOUT", 10, "the other server's record")
        b.wait(lambda: "shouted on there" in b.terminal_text(), 10, "its output")


if __name__ == "__main__":
    BUILD = sys.argv.pop(1)
    unittest.main(verbosity=2)
