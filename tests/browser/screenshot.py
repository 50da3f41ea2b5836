"""The README's picture of `vyr studio`: the page in the same headless Chromium as the browser
tests, on a throw-away device with the example profile presets.plist, the battery low and
charging.

    VYR_BINARY=build/gcc/bin/vyr /usr/bin/python3 tests/browser/screenshot.py docs/studio.png [WIDTH]

The pointer rests on the signal's row, so that the phone shows what that row colours.
"""

import json
import os
import sys
import time
import urllib.request

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio as support  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def main(out, width=1280):
    studio = support.Studio()
    driver = None
    try:
        imported = studio.vyr("import", os.path.join(EXAMPLES, "presets.plist"))
        if imported.returncode != 0:
            raise RuntimeError(imported.stderr)
        request = urllib.request.Request(
            studio.url + "api/device", data=json.dumps({"battery": 15, "charging": True}).encode(),
            headers={"Content-Type": "application/json"})
        urllib.request.urlopen(request, timeout=10).read()
        driver = support.browser(width, 900 if width >= 1024 else 1400)
        driver.get(studio.url)
        support.wait_for(lambda: "#ff3b30" in support.svg_colours(support.phone_svg(driver)))
        # The pointer on the signal's preset row: the phone shows what it colours.
        ActionChains(driver).move_to_element(
            driver.find_element(By.CSS_SELECTOR, "[data-row='sig']")).perform()
        time.sleep(0.5)
        driver.save_screenshot(out)
    finally:
        if driver is not None:
            support.close(driver)
        studio.stop()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "studio.png",
         int(sys.argv[2]) if len(sys.argv) > 2 else 1280)
