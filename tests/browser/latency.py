"""How soon the studio's page shows a change on its phone: the benchmark behind the figure in
docs/performance.md. Not a test: it prints figures and asserts nothing about time.

    VYR_BINARY=build/gcc/bin/vyr /usr/bin/python3 tests/browser/latency.py [ROUNDS]

Each round changes the signal's preset, alternately to red and green, either in a terminal
(`vyr prefs set sig N`, timed from the moment it replaced the settings file, as the file's time
says) or by a click on the page's list (timed from the moment the page took the click), until
the page's phone picture holds the new colour (the time the page's own observer saw it, on the
same clock). Prints the median and the spread of each kind.
"""

import os
import statistics
import sys
import time

from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio as support  # noqa: E402

SETTINGS = "var/mobile/Library/Preferences/com.belvorin.VYR.plist"
COLOURS = {"13": ("Red", "#ff3b30"), "9": ("Green", "#4cd964")}

# The page notes, on its own clock (milliseconds since the epoch), when a new picture of the phone
# reached the screen (the start of the first frame that shows it: the page puts a picture in only
# once it is decoded) and which colours it held (read back from the image at once, before a newer
# picture retires its address).
OBSERVER = """
window.phoneSeen = [];
const screens = document.getElementById('screens');
new MutationObserver(() => {
  const image = screens.querySelector('img');
  if (!image) return;
  const text = fetch(image.src).then((r) => r.text(), () => '');
  requestAnimationFrame(() => {
    const at = performance.timeOrigin + performance.now();
    text.then((svg) => window.phoneSeen.push([at, svg]));
  });
}).observe(screens, {childList: true});
// When the page took the click, on the same clock: the driver's own way to the page is not the
// studio's.
document.addEventListener('click', () => {
  window.clickedAt = performance.timeOrigin + performance.now();
}, true);
"""


def seen_at(driver, colour, since):
    """When (seconds since the epoch) the page first showed COLOUR after SINCE; None if not yet."""
    for at, svg in driver.execute_script("return window.phoneSeen;"):
        if at / 1000 >= since and colour in support.svg_colours(svg):
            return at / 1000
    return None


def main(rounds=20):
    studio = support.Studio()
    driver = support.browser(1500, 1000)
    figures = {"terminal": [], "page": []}
    try:
        driver.get(studio.url)
        support.wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "[data-row='sig']"))
        support.wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#screens img"))
        driver.execute_script(OBSERVER)
        for i in range(rounds):
            for kind in ("terminal", "page"):
                value = "13" if i % 2 == 0 else "9"
                title, colour = COLOURS[value]
                if kind == "page":
                    driver.find_element(By.CSS_SELECTOR, "[data-row='sig']").click()
                    choice = driver.find_element(By.CSS_SELECTOR,
                                                 f"#subpane [data-choice='{title}']")
                    driver.execute_script("window.phoneSeen = []; window.clickedAt = null;")
                    choice.click()
                    start = driver.execute_script("return window.clickedAt;") / 1000
                else:
                    driver.execute_script("window.phoneSeen = [];")
                    # From the moment the command replaced the settings file (the new file's
                    # time), not from the command's end: the page may show it before the
                    # command has finished.
                    studio.vyr("prefs", "set", "sig", value)
                    start = os.stat(os.path.join(studio.device, SETTINGS)).st_mtime_ns / 1e9
                at = support.wait_for(lambda: seen_at(driver, colour, start), timeout=10,
                                      what=f"{colour} on the phone")
                figures[kind].append((at - start) * 1000)
                if kind == "page":
                    driver.find_element(By.ID, "nav-back").click()
                # Back to the other colour without measuring, so that each round changes it.
                other = "9" if value == "13" else "13"
                studio.vyr("prefs", "set", "sig", other)
                support.wait_for(lambda: seen_at(driver, COLOURS[other][1], start),
                                 what="the colour put back")
                time.sleep(0.2)
    finally:
        support.close(driver)
        studio.stop()
    for kind, values in figures.items():
        values.sort()
        print(f"{kind:8} change to the phone on the page: median {statistics.median(values):.0f} ms, "
              f"fastest {values[0]:.0f} ms, slowest {values[-1]:.0f} ms ({len(values)} rounds)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 20)
