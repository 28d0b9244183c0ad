"""Renders one page of the web console for the example home into a PNG
(scripts/screenshot-web.sh): jobs, the ARCHIVE dialog, a COUNTDOWN run or
the history after two runs.

    /usr/bin/python3 screenshot.py BUILD PAGE OUT.png [WIDTH]
"""

import sys

sys.dont_write_bytecode = True  # nothing written into the source tree

from browser import Browser
from console_home import ConsoleHome


def main():
    build, page, out = sys.argv[1:4]
    width = int(sys.argv[4]) if len(sys.argv) > 4 else 1440
    home = ConsoleHome(build, test_jobs=False).make().start()
    try:
        with Browser(width, 900) as b:
            b.login(home.base, "alice")
            if page == "jobs":
                b.find("li.job")
            elif page in ("dialog", "archive"):
                b.driver.get(home.base + "/#/dialog/ARCHIVE")
                b.wait(lambda: b.visible(".dialog-slot") and b.visible(".dialog-slot").text.strip(), 15,
                       "the dialog")
                b.wait(lambda: "/srv/home" in b.visible(".dialog-slot").text or b.visible("[role=alert]"),
                       15, "the list box")
            elif page == "run":
                b.driver.get(home.base + "/#/run/COUNTDOWN")
                b.field("Arguments").send_keys("3")
                b.button("Run").click()
                b.wait_status(lambda s: s.startswith("exit"), timeout=20)
            elif page == "history":
                for job in ("COUNTDOWN", "ENVIRONMENT"):
                    b.driver.get(f"{home.base}/#/run/{job}")
                    b.field("Arguments").send_keys("1" if job == "COUNTDOWN" else "")
                    b.button("Run").click()
                    b.wait_status(lambda s: s.startswith("exit"), timeout=20)
                b.driver.get(home.base + "/#/history")
                b.find("table.grid tbody tr")
            else:
                sys.exit(f"unknown page {page}: jobs, dialog, run or history")
            b.screenshot(out)
    finally:
        home.stop()
    print(out)


if __name__ == "__main__":
    main()
