"""Support for the studio's browser tests: a throw-away device, `vyr studio` on it, and headless
Chromium driven by Selenium. Run with /usr/bin/python3, which sees Debian's python3-selenium."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

VYR = os.environ.get("VYR_BINARY", "")
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Studio:
    """`vyr studio --no-open` on a new device folder (or DEVICE, which stop() then keeps), ended
    (with its SpringBoard) by stop(). ARGS replace "--no-open --port 0"; ENV is added."""

    def __init__(self, device=None, args=("--no-open", "--port", "0"), env=None):
        self.keep = device is not None
        self.device = device or tempfile.mkdtemp(prefix="vyr-studio-test-")
        self.process = subprocess.Popen(
            [VYR, "--device", self.device, "studio", *args],
            env={**os.environ, **(env or {})},
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            start_new_session=True,
        )
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            self.stop()
            raise RuntimeError("vyr studio printed no address: " + self.url + self.errors)
        match = re.match(r"http://127\.0\.0\.1:(\d+)/([0-9a-f]+)/$", self.url)
        self.port = int(match.group(1))
        self.token = match.group(2)
        self.errors = ""

    def vyr(self, *args):
        """Runs `vyr --device DEVICE ARGS...` as a terminal would; its completed process."""
        return subprocess.run([VYR, "--device", self.device, *args], capture_output=True,
                              text=True, timeout=60)

    def stop(self):
        """Ctrl-C, as a user ends it; returns its exit status."""
        status = None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                status = self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                status = self.process.wait()
        else:
            status = self.process.returncode
        self.errors = self.process.stderr.read()
        self.process.stdout.close()
        self.process.stderr.close()
        if not self.keep:
            shutil.rmtree(self.device, ignore_errors=True)
        return status


def browser(width=1500, height=1000, dark=False):
    """A fresh headless Chromium (its own profile, no network of its own)."""
    profile = tempfile.mkdtemp(prefix="vyr-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless=new", "--no-sandbox", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                 f"--user-data-dir={profile}", f"--window-size={width},{height}",
                 "--hide-scrollbars"]:
        options.add_argument(flag)
    if dark:
        options.add_argument("--force-dark-mode")
        options.add_argument("--blink-settings=preferredColorScheme=0")
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.profile_folder = profile
    if width < 500:  # narrower than a desktop window gets: a phone's viewport
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": True})
    return driver


def close(driver):
    driver.quit()
    shutil.rmtree(driver.profile_folder, ignore_errors=True)


def wait_for(condition, timeout=10.0, what="the page"):
    """Polls CONDITION (the test's own patience, not the page's) until it is true."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = condition()
        except Exception as error:  # the page is being redrawn under us
            last = error
        if last and not isinstance(last, Exception):
            return last
        time.sleep(0.05)
    raise AssertionError(f"{what} did not come within {timeout} s (last: {last!r})")


def phone_svg(driver):
    """The SVG of the picture the page's phone shows ("" when it shows none), read back from the
    image itself."""
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "const image = document.querySelector('#screens img');"
        "if (!image) { done(''); return; }"
        "fetch(image.src).then((r) => r.text()).then(done, () => done(''));")


def svg_colours(svg):
    """The fill and stroke colours of a cairo SVG as "#rrggbb"."""
    colours = set()
    for r, g, b in re.findall(r"rgb\(\s*([\d.]+)%\s*,\s*([\d.]+)%\s*,\s*([\d.]+)%\s*\)", svg):
        colours.add("#" + "".join(f"{round(float(v) * 255 / 100):02x}" for v in (r, g, b)))
    return colours
