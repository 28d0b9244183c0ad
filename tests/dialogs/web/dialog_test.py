#!/usr/bin/python3
"""dialog.js in headless Chromium under the console's Content-Security-Policy:
the example Archive dialog's accessible names, its values after the user
works in it (tab, combobox, radio, check box, two list rows, sort), what
reaches the actions, a refusing validation, Escape and Enter."""

import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

import shot  # noqa: E402


class DialogPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server, cls.url = shot.serve()
        cls.profile = tempfile.TemporaryDirectory()
        cls.driver = shot.browser(1024, 800, cls.profile.name)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.profile.cleanup()
        cls.server.terminate()
        cls.server.wait()

    def open(self, query=""):
        self.driver.get(f"{self.url}?{query}")
        WebDriverWait(self.driver, 10).until(
            lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready"))

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def calls(self, name=None, count=None):
        def read():
            text = self.find("#calls").text
            found = [json.loads(line) for line in text.splitlines() if line]
            return [c for c in found if name is None or c["name"] == name]
        if count is not None:
            WebDriverWait(self.driver, 5).until(lambda d: len(read()) >= count)
        return read()

    def field(self, number):
        return self.find(f"#kd1-f{number}")

    def test_accessible_names_are_the_visible_labels(self):
        self.open()
        names = {n: self.field(n).accessible_name for n in range(1, 9)}
        self.find("#kd1-tab2").click()  # hidden controls have no name
        names.update({n: self.field(n).accessible_name for n in (9, 10)})
        self.assertEqual(names, {1: "Archive name:", 2: "Archive format:", 3: "None", 4: "Fast",
                                 5: "Best", 6: "Verify after writing", 7: "Keep old copies",
                                 8: "Mail me when done", 9: "Target host:", 10: "Password:"})
        buttons = [b.accessible_name for b in self.driver.find_elements(By.CSS_SELECTOR, ".kd-buttons button")]
        self.assertEqual(buttons, ["OK", "Cancel", "Apply"])
        tabs = [t.accessible_name for t in self.driver.find_elements(By.CSS_SELECTOR, "[role=tab]")]
        self.assertEqual(tabs, ["Source", "Destination"])
        self.assertEqual(self.field(10).get_attribute("type"), "password")
        # Nothing was refused by the page's Content-Security-Policy.
        errors = [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])

    def test_working_in_the_dialog_gives_the_values_to_ok(self):
        self.open()
        # The list is sorted by Volume, as autosort = 2 says.
        volumes = [r.find_elements(By.TAG_NAME, "td")[2].text
                   for r in self.driver.find_elements(By.CSS_SELECTOR, ".kd-table tbody tr")]
        self.assertEqual(volumes, ["/srv/home", "/srv/projects", "/var/lib/mail", "LTO-0017", "LTO-0042"])
        self.find("label.kd-button:has(#kd1-f5)").click()
        self.find("label.kd-button:has(#kd1-f6)").click()
        self.find("#kd1-tab2").click()
        self.assertTrue(self.field(9).is_displayed())
        self.assertFalse(self.field(1).is_displayed())
        self.field(9).clear()
        self.field(9).send_keys("tape01")
        self.field(10).send_keys("s3cret")
        # Sort by Size, descending on a second click (numbers in the text
        # compare as numbers, as Tcl's -dictionary order has it: 120 GB,
        # 48 GB, 16 GB, 1.5 TB, 1.5 TB); then pick two rows.
        size = self.driver.find_elements(By.CSS_SELECTOR, ".kd-heading")[2]
        size.click()
        size.click()
        self.assertEqual(size.find_element(By.XPATH, "..").get_attribute("aria-sort"), "descending")
        rows = self.driver.find_elements(By.CSS_SELECTOR, ".kd-table tbody tr")
        rows[0].click()
        ActionChains(self.driver).key_down(Keys.CONTROL).click(rows[2]).key_up(Keys.CONTROL).perform()
        self.field(9).send_keys(Keys.ENTER)
        ok = self.calls("ok", 1)[0]["value"]
        self.assertEqual(self.calls("validate")[0]["value"], ok)
        self.assertEqual(ok["fields"], {"1": "nightly-volumes", "2": "tar", "3": "0", "4": "0", "5": "1",
                                        "6": "0", "7": "0", "8": "0", "9": "tape01", "10": "s3cret"})
        self.assertEqual(ok["listbox"]["selections"], 2)
        self.assertEqual(ok["listbox"]["headings"], ["Kind", "Volume", "Size", "State"])
        self.assertEqual(ok["listbox"]["variables"], [
            ["KIND_1", "disk"], ["VOLUME_1", "/srv/projects"], ["SIZE_1", "120 GB"], ["STATE_1", "online"],
            ["KIND_2", "disk"], ["VOLUME_2", "/var/lib/mail"], ["SIZE_2", "16 GB"], ["STATE_2", "degraded"]])

    def test_combobox_change_and_apply_refill_the_list(self):
        self.open()
        from selenium.webdriver.support.select import Select
        Select(self.field(2)).select_by_visible_text("zip")
        call = self.calls("listboxScript", 1)[0]["value"]
        self.assertEqual((call["reason"], call["changed"], call["fields"]["2"]), ("FIELDCHANGE", "2", "zip"))
        WebDriverWait(self.driver, 5).until(
            lambda d: len(d.find_elements(By.CSS_SELECTOR, ".kd-table tbody tr")) == 2)
        self.find(".kd-apply").click()
        self.assertEqual(self.calls("listboxScript", 2)[1]["value"]["reason"], "APPLY")
        self.assertEqual(self.calls("ok"), [])

    def test_refused_validation_keeps_the_dialog_open_with_its_message(self):
        self.open("answers=refuse")
        self.find(".kd-ok").click()
        WebDriverWait(self.driver, 5).until(lambda d: self.find(".kd-message").text)
        self.assertEqual(self.find(".kd-message").text, "Pick a volume first")
        self.assertEqual(self.find(".kd-message").get_attribute("role"), "alert")
        self.assertEqual(self.calls("ok"), [])
        self.field(1).send_keys(Keys.ESCAPE)
        self.calls("cancel", 1)
        self.assertEqual(self.calls("ok"), [])

    def test_texts_are_inserted_as_text(self):
        self.open("layout=markup-layout.json")
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, ".kd-dialog img, .kd-dialog b"), [])
        self.assertEqual(self.find(".kd-label").text, "<b>Name</b>")
        self.assertEqual(self.field(1).accessible_name, "<b>Name</b>")


if __name__ == "__main__":
    unittest.main(verbosity=2)
