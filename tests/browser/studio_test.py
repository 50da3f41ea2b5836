"""`vyr studio` end to end, in a real browser: headless Chromium through Selenium, the built vyr
on a throw-away device. Each scenario starts its own studio and browser.

Run one scenario: VYR_BINARY=build/gcc/bin/vyr /usr/bin/python3 studio_test.py StudioTest.test_preset
"""

import http.server
import json
import os
import signal
import sys
import threading
import time
import unittest
import urllib.error
import urllib.request

try:
    from selenium.webdriver.common.by import By
except ImportError:  # the browser tests need Debian's python3-selenium
    print("skipped: selenium is missing (run with /usr/bin/python3 after scripts/install-deps.sh)")
    sys.exit(77)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio as support  # noqa: E402

RED = "#ff3b30"  # palette entry 13
GREEN = "#4cd964"  # palette entry 9


class StudioTest(unittest.TestCase):
    def setUp(self):
        self.studio = support.Studio()
        self.addCleanup(self.stop_studio)
        self.driver = support.browser()
        self.addCleanup(support.close, self.driver)

    def stop_studio(self):
        if self.studio is not None:
            self.studio.stop()

    # -- the page ---------------------------------------------------------------------------------

    def open_page(self, driver=None):
        driver = driver or self.driver
        driver.get(self.studio.url)
        support.wait_for(lambda: self.phone_colours(driver), what="the phone's picture")
        support.wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "[data-row='sig']"),
                         what="the Settings pane")

    def phone_colours(self, driver=None):
        driver = driver or self.driver
        svg = driver.execute_script(
            "const s = document.querySelector('#screens svg'); return s ? s.outerHTML : '';")
        return support.svg_colours(svg)

    def pid(self, driver=None):
        driver = driver or self.driver
        return driver.find_element(By.ID, "springboard").get_attribute("data-pid")

    def row_value(self, key, driver=None):
        driver = driver or self.driver
        return driver.find_element(By.CSS_SELECTOR, f"[data-row='{key}'] .value").text

    def wait_for_colour(self, colour, driver=None, what=None):
        return support.wait_for(lambda: colour in self.phone_colours(driver),
                                what=what or f"{colour} in the phone's picture")

    # -- scenarios --------------------------------------------------------------------------------

    def test_preset(self):
        """Picking a preset in the pane's list colours the signal in the phone's SVG."""
        self.open_page()
        self.assertNotIn(RED, self.phone_colours())
        self.driver.find_element(By.CSS_SELECTOR, "[data-row='sig']").click()
        choices = self.driver.find_elements(By.CSS_SELECTOR, "#subpane [data-choice]")
        self.assertEqual(len(choices), 15)
        self.assertEqual(
            len(self.driver.find_elements(By.CSS_SELECTOR, "#subpane [data-choice] .swatch")), 15)
        self.driver.find_element(By.CSS_SELECTOR, "#subpane [data-choice='Red']").click()
        self.wait_for_colour(RED)
        sources = self.driver.find_element(By.ID, "sources").text
        self.assertIn("preset 13 red", sources)
        # The pane's own cell wrote it: the device's Settings pane reads it back.
        self.assertEqual(self.studio.vyr("prefs", "get", "sig").stdout.strip(), "Red")
        support.wait_for(lambda: self.driver.find_element(
            By.CSS_SELECTOR, "#subpane [data-choice='Red'][aria-pressed='true']"))

    def test_custom_colour(self):
        """A custom colour switched on and picked shows once the pane's notification arrives."""
        self.open_page()
        self.driver.find_element(By.CSS_SELECTOR, "input[data-key='ENABLED1']").click()
        support.wait_for(lambda: self.studio.vyr("prefs", "get", "ENABLED1").stdout.strip() == "YES",
                         what="the switch stored")
        # The fallback colour of a custom colour without a value.
        self.wait_for_colour("#a1a1a1")
        self.driver.find_element(By.CSS_SELECTOR, "[data-row='vyrColor1']").click()
        hex_field = self.driver.find_element(By.ID, "picker-hex")
        hex_field.clear()
        hex_field.send_keys("#12AB34\t")
        self.wait_for_colour("#12ab34")
        # Exactly what the device's colour cell writes.
        self.assertEqual(self.studio.vyr("prefs", "get", "vyrColor1").stdout.strip(),
                         "#12AB34:1.000000")
        self.assertIn("custom vyrColor1", self.driver.find_element(By.ID, "sources").text)
        # Dragging the alpha slider writes through the same cell while it moves.
        self.driver.execute_script("""
            const alpha = document.querySelector('#subpane input[data-channel="a"]');
            for (const v of [90, 70, 50]) {
              alpha.value = v;
              alpha.dispatchEvent(new Event('input'));
            }""")
        support.wait_for(lambda: self.studio.vyr("prefs", "get", "vyrColor1").stdout.strip() ==
                         "#12AB34:0.500000", what="the alpha stored")
        support.wait_for(lambda: "#12AB34:0.500000" in self.driver.find_element(By.ID, "sources").text,
                         what="the alpha in the table of sources")

    def test_respring(self):
        """The navigation bar's Respring ends SpringBoard, the studio starts a new one, and does
        so again after a crash, which the page names."""
        self.open_page()
        before = support.wait_for(self.pid, what="SpringBoard's pid")
        self.assertEqual(self.driver.find_element(By.ID, "nav-right").text, "Respring")
        self.driver.find_element(By.ID, "nav-right").click()
        after = support.wait_for(lambda: self.pid() not in ("", before) and self.pid(),
                                 what="a new SpringBoard")
        self.assertNotEqual(before, after)
        self.assertFalse(os.path.exists(f"/proc/{before}"))  # ended and reaped
        self.assertTrue(self.phone_colours())
        # A SpringBoard that crashes is said in words, and the studio starts another.
        os.kill(int(after), signal.SIGABRT)
        support.wait_for(lambda: "crashed: signal 6" in
                         self.driver.find_element(By.ID, "overlay-text").text,
                         what="the crash on the phone")
        after = support.wait_for(lambda: self.pid() not in ("", before, after) and self.pid(),
                                 what="SpringBoard after the crash")
        # Ctrl-C ends the studio and the SpringBoard it started.
        status = self.studio.stop()
        self.studio = None
        self.assertEqual(status, 0)
        self.assertFalse(os.path.exists(f"/proc/{after}"))

    def test_terminal(self):
        """`vyr prefs set` in a terminal reaches every open page, phone and pane."""
        self.open_page()
        second = support.browser()
        self.addCleanup(support.close, second)
        self.open_page(second)
        start = time.monotonic()
        result = self.studio.vyr("prefs", "set", "sig", "9")
        self.assertEqual(result.returncode, 0, result.stderr)
        for driver in (self.driver, second):
            self.wait_for_colour(GREEN, driver)
            support.wait_for(lambda: self.row_value("sig", driver) == "Green",
                             what="the pane's row showing Green")
        print(f"terminal change seen in both pages after {time.monotonic() - start:.2f} s",
              file=sys.stderr)

    def test_security(self):
        """Requests without the token, for another host or from another site are refused, and a
        bad body is refused with a message; nothing is written."""
        port, token = self.studio.port, self.studio.token
        base = f"http://127.0.0.1:{port}"

        def request(path, body=None, headers=None):
            data = None if body is None else body.encode()
            req = urllib.request.Request(base + path, data=data, headers=headers or {})
            if body is not None:
                req.add_header("Content-Type", "application/json")
            try:
                with urllib.request.urlopen(req, timeout=10) as response:
                    return response.status, response.read().decode()
            except urllib.error.HTTPError as error:
                return error.code, error.read().decode()

        change = json.dumps({"key": "sig", "value": "13"})
        self.assertEqual(request("/api/state")[0], 403)
        # A token one digit off (never the token itself, whatever its last digit is).
        wrong = token[:-1] + ("1" if token.endswith("0") else "0")
        self.assertEqual(request(f"/{wrong}/api/state")[0], 403)
        self.assertEqual(request(f"/{token}/api/state", headers={"Host": f"evil.example:{port}"})[0],
                         403)
        status, text = request(f"/{token}/api/set", change,
                               headers={"Origin": "http://evil.example"})
        self.assertEqual(status, 403)
        self.assertIn("another site", text)
        status, text = request(f"/{token}/api/set", '{"key": "sig", "value": 13}')
        self.assertEqual(status, 400)
        self.assertIn("must be a string", json.loads(text)["error"])
        self.assertEqual(request(f"/{token}/api/set", json.dumps({"key": "sig", "value": "99"}))[0],
                         422)

        # In the browser: the address without the token says why it refuses.
        self.driver.get(base + "/")
        self.assertIn("access token", self.driver.find_element(By.TAG_NAME, "body").text)

        # A page of another site (another port is another origin) that knows even the token.
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        self.addCleanup(other.server_close)
        self.addCleanup(other.shutdown)
        self.driver.get(f"http://127.0.0.1:{other.server_address[1]}/")
        outcomes = self.driver.execute_async_script(
            """
            const [url, body, done] = arguments;
            const tries = [
              fetch(url, {method: 'POST', mode: 'no-cors', body,
                          headers: {'Content-Type': 'text/plain'}}).then(r => 'sent ' + r.type),
              fetch(url, {method: 'POST', body, headers: {'Content-Type': 'application/json'}})
                .then(r => 'answered ' + r.status),
            ];
            Promise.all(tries.map(p => p.catch(e => 'failed'))).then(done);
            """, f"{base}/{token}/api/set", change)
        self.assertEqual(outcomes[1], "failed")  # the preflight is refused
        # Nothing of it was written.
        self.assertEqual(self.studio.vyr("prefs", "get", "sig").stdout.strip(), "Light grey")


if __name__ == "__main__":
    unittest.main()
