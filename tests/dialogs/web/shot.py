#!/usr/bin/python3
"""Renders the dialog fixture in headless Chromium and saves the dialog
alone as a PNG (the counterpart of scripts/screenshot-dialog.sh).

    shot.py OUT.png [QUERY]     (QUERY e.g. "width=375")
"""
import os
import socket
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def browser(width, height, profile):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", f"--window-size={width},{height}"):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def serve():
    port = free_port()
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "serve.py"), str(port)],
                              stdout=subprocess.PIPE, text=True)
    if server.stdout.readline().strip() != "ready":
        raise SystemExit("the fixture server did not start")
    return server, f"http://127.0.0.1:{port}/tests/dialogs/web/dialog-fixture.html"


def main():
    out = sys.argv[1]
    query = sys.argv[2] if len(sys.argv) > 2 else ""
    width = 1024
    for part in query.split("&"):
        if part.startswith("width="):
            width = int(part[6:])
    server, url = serve()
    with tempfile.TemporaryDirectory() as profile:
        driver = browser(width, 900, profile)
        try:
            # Chromium keeps a window at least 500 px wide: narrower pages
            # are emulated.
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": width, "height": 900, "deviceScaleFactor": 1, "mobile": False})
            driver.get(f"{url}?shot=1&{query}")
            WebDriverWait(driver, 10).until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready"))
            driver.execute_script("return document.fonts.ready")
            dialog = driver.find_element(By.CSS_SELECTOR, ".kd-dialog")
            dialog.screenshot(out)
            for entry in driver.get_log("browser"):
                print(entry["level"], entry["message"], file=sys.stderr)
        finally:
            driver.quit()
            server.terminate()
            server.wait()
    print(out)


if __name__ == "__main__":
    main()
