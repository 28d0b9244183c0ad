"""Headless Chromium under Selenium, for the console's browser tests and
scripts/screenshot-web.sh.

Every request the page makes is recorded through the DevTools log, so that a
test can check that nothing leaves the console's own origin.
"""

import json
import shutil
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Browser:
    def __init__(self, width=1440, height=900, log_requests=True):
        """`log_requests` False leaves the DevTools network log off: it
        copies every WebSocket message, which a run of heavy output must
        not pay for."""
        self.profile = tempfile.mkdtemp(prefix="kes-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--hide-scrollbars",
                     f"--user-data-dir={self.profile}", f"--window-size={width},{height}"):
            options.add_argument(flag)
        logs = {"browser": "ALL"}
        if log_requests:
            logs["performance"] = "ALL"
        options.set_capability("goog:loggingPrefs", logs)
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_window_size(width, height)
        self.requested = []

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- waiting -------------------------------------------------------
    def wait(self, condition, timeout=10, message=""):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.05).until(
                lambda d: condition())
        except TimeoutException:
            raise AssertionError(f"timed out waiting: {message}") from None

    def find(self, css, timeout=10):
        return self.wait(lambda: self.visible(css), timeout, f"element {css}")

    def visible(self, css):
        for e in self.driver.find_elements(By.CSS_SELECTOR, css):
            if e.is_displayed():
                return e
        return None

    def all(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def button(self, name, within=None, timeout=10):
        """The enabled button whose accessible name is exactly `name`."""
        def find():
            root = within or self.driver
            for b in root.find_elements(By.CSS_SELECTOR, "button"):
                if b.is_displayed() and b.is_enabled() and b.accessible_name == name:
                    return b
            return None
        try:
            return self.wait(find, timeout, f"button {name!r}")
        except AssertionError:
            seen = [(b.accessible_name, b.is_enabled()) for b in self.driver.find_elements(By.TAG_NAME, "button")
                    if b.is_displayed()]
            raise AssertionError(f"no enabled button {name!r}; buttons shown: {seen}; "
                                 f"status {self.status_text()!r}") from None

    def field(self, label, timeout=10):
        """The control whose label text is exactly `label`."""
        def find():
            for l in self.driver.find_elements(By.TAG_NAME, "label"):
                if l.text.strip() == label and l.get_attribute("for"):
                    e = self.driver.find_element(By.ID, l.get_attribute("for"))
                    if e.is_displayed():
                        return e
            return None
        return self.wait(find, timeout, f"field labelled {label!r}")

    def status_text(self, css=".run-status"):
        e = self.visible(css)
        return e.text if e else ""

    def wait_status(self, predicate, css=".run-status", timeout=15):
        return self.wait(lambda: predicate(self.status_text(css)) and self.status_text(css),
                         timeout, f"status at {css} (now {self.status_text(css)!r})")

    def terminal_text(self):
        return self.driver.execute_script(
            "const t = document.querySelector('.terminal');"
            "return t && t.outputView ? t.outputView.text() : '';")

    def wait_terminal(self, text, timeout=15):
        return self.wait(lambda: text in self.terminal_text(), timeout,
                         f"{text!r} in the terminal (now {self.terminal_text()[-300:]!r})")

    # --- what the page asked for ----------------------------------------
    def requests(self):
        """URLs of every request made so far (documents, scripts, fetches,
        WebSockets)."""
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            method = message.get("method")
            params = message.get("params", {})
            if method == "Network.requestWillBeSent":
                self.requested.append(params["request"]["url"])
            elif method == "Network.webSocketCreated":
                self.requested.append(params["url"])
        return list(self.requested)

    def console_errors(self):
        return [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]

    def login(self, base, user, password="secret"):
        self.driver.get(base + "/#/login")
        self.field("User").send_keys(user)
        self.field("Password").send_keys(password)
        self.button("Log in").click()
        self.wait(lambda: self.visible("#who") and user in self.visible("#who").text,
                  10, f"{user} logged in")

    def screenshot(self, path):
        time.sleep(0.2)  # let the last frame paint
        self.driver.save_screenshot(path)
