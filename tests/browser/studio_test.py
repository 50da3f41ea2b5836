"""`vyr studio` end to end, in a real browser: headless Chromium through Selenium, the built vyr
on a throw-away device. Each scenario starts its own studio and browser.

Run one scenario: VYR_BINARY=build/gcc/bin/vyr /usr/bin/python3 studio_test.py StudioTest.test_preset
"""

import http.server
import json
import os
import plistlib
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

try:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
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
        return support.svg_colours(support.phone_svg(driver))

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
        # The tab names the device.
        self.assertIn(os.path.basename(self.studio.device), self.driver.title)
        # With the custom colour off, its colour row cannot show, and says which switch decides.
        colour_row = self.driver.find_element(By.CSS_SELECTOR, "[data-row='vyrColor1']")
        self.assertEqual(colour_row.get_attribute("aria-disabled"), "true")
        self.assertIn("Custom colour", colour_row.find_element(By.CSS_SELECTOR, ".hint").text)
        self.assertIsNone(self.driver.find_element(By.CSS_SELECTOR, "[data-row='sig']")
                          .get_attribute("aria-disabled"))
        self.driver.find_element(By.CSS_SELECTOR, "input[data-key='ENABLED1']").click()
        support.wait_for(lambda: self.studio.vyr("prefs", "get", "ENABLED1").stdout.strip() == "YES",
                         what="the switch stored")
        # Now the preset is the row that cannot show.
        support.wait_for(lambda: self.driver.find_element(
            By.CSS_SELECTOR, "[data-row='sig']").get_attribute("aria-disabled") == "true",
            what="the preset row marked")
        self.assertIsNone(self.driver.find_element(By.CSS_SELECTOR, "[data-row='vyrColor1']")
                          .get_attribute("aria-disabled"))
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
        # The hex field takes every form the cell takes, the alpha included.
        for typed, stored in (("#00ff0080", "#00FF00:0.501961"), ("#ff0000:0.5", "#FF0000:0.500000"),
                              ("#12AB34", "#12AB34:1.000000")):
            # Typed over the selected text, without clearing (which leaves the field, where a
            # redraw arriving late may refill it before the typing).
            hex_field = self.driver.find_element(By.ID, "picker-hex")
            hex_field.send_keys(Keys.CONTROL, "a", Keys.NULL, typed + "\t")
            support.wait_for(lambda: self.studio.vyr("prefs", "get", "vyrColor1").stdout.strip() ==
                             stored, what=f"{typed} stored as {stored}")
        self.assertIn("custom vyrColor1", self.driver.find_element(By.ID, "sources").text)
        # Dragging the alpha slider writes through the same cell while it moves.
        time.sleep(1.2)  # a drag of its own, not part of the last typed value
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
        # A slower drag writes several values on the way; they are one step of the history, and
        # one undo takes the whole drag back.
        time.sleep(1.2)
        self.driver.execute_script("""
            const alpha = document.querySelector('#subpane input[data-channel="a"]');
            return new Promise((done) => {
              let v = 50;
              const step = () => {
                alpha.value = (v -= 5);
                alpha.dispatchEvent(new Event('input'));
                if (v > 20) setTimeout(step, 200); else done();
              };
              step();
            });""")
        support.wait_for(lambda: self.studio.vyr("prefs", "get", "vyrColor1").stdout.strip() ==
                         "#12AB34:0.200000", what="the end of the drag stored")
        undone = self.studio.vyr("prefs", "undo")
        self.assertEqual(undone.returncode, 0, undone.stderr)
        self.assertEqual(self.studio.vyr("prefs", "get", "vyrColor1").stdout.strip(),
                         "#12AB34:0.500000")
        undone = self.studio.vyr("prefs", "undo")
        self.assertEqual(undone.returncode, 0, undone.stderr)
        self.assertEqual(self.studio.vyr("prefs", "get", "vyrColor1").stdout.strip(),
                         "#12AB34:1.000000")
        # A value the cell would never store, written by an editor: the row's swatch and the picker
        # show the colour the library paints (the phone shows it too), not a reading of their own.
        settings = os.path.join(self.studio.device, "var/mobile/Library/Preferences",
                                "com.belvorin.VYR.plist")
        for stored, painted, rgb in (("#a1a1a1a1", "#aa11aa", "rgb(170, 17, 170)"),
                                     ("#zzzzzz:0.5", "#000000", "rgba(0, 0, 0, 0.5)")):
            with open(settings, "rb") as f:
                values = plistlib.load(f)
            values["vyrColor1"] = stored
            with open(settings + ".new", "wb") as f:
                plistlib.dump(values, f)
            os.replace(settings + ".new", settings)
            self.wait_for_colour(painted)
            support.wait_for(lambda: self.driver.execute_script(
                "return getComputedStyle(document.querySelector("
                "\"[data-row='vyrColor1'] .swatch i\")).backgroundColor") == rgb,
                what=f"the swatch of {stored}")
            support.wait_for(lambda: self.driver.find_element(By.ID, "picker-hex")
                             .get_attribute("value") == painted.upper(),
                             what=f"the picker on {stored}")

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

    def test_undo(self):
        """Undo and Reset on the page share the device's history with vyr prefs undo; information
        fades and no more than three messages of it show at once, while an error stays."""
        # A settings file to go back to: without one, SpringBoard keeps what it read.
        self.assertEqual(self.studio.vyr("prefs", "set", "sig", "9").returncode, 0)
        self.open_page()
        self.wait_for_colour(GREEN)
        self.driver.find_element(By.CSS_SELECTOR, "[data-row='sig']").click()
        self.driver.find_element(By.CSS_SELECTOR, "#subpane [data-choice='Red']").click()
        self.wait_for_colour(RED)
        self.driver.find_element(By.ID, "nav-back").click()
        self.driver.find_element(By.ID, "reset-settings").click()
        support.wait_for(lambda: RED not in self.phone_colours(), what="the reset on the phone")
        self.driver.find_element(By.ID, "undo-change").click()
        self.wait_for_colour(RED, what="the reset undone")
        # The studio's change is the terminal's to undo too.
        result = self.studio.vyr("prefs", "undo")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("undid studio: sig set to Red", result.stdout)
        self.wait_for_colour(GREEN, what="the terminal's undo")
        self.assertEqual(self.studio.vyr("prefs", "undo").returncode, 0)
        self.driver.find_element(By.ID, "undo-change").click()
        error = support.wait_for(lambda: self.driver.find_elements(
            By.CSS_SELECTOR, "#messages .message.error"), what="nothing to undo")
        self.assertIn("nothing to undo", error[0].text)
        for _ in range(5):
            self.driver.find_element(By.ID, "reset-settings").click()
            time.sleep(0.2)
        info = self.driver.find_elements(By.CSS_SELECTOR, "#messages .message:not(.error)")
        self.assertLessEqual(len(info), 3)
        support.wait_for(lambda: not self.driver.find_elements(
            By.CSS_SELECTOR, "#messages .message:not(.error)"), what="the information fading")
        self.assertEqual(len(self.driver.find_elements(By.CSS_SELECTOR, "#messages .message.error")), 1)

    def test_device_moved(self):
        """A device folder moved under the studio is followed (a respring starts SpringBoard where
        it is now, and nothing is made at the old name); a deleted one ends the studio, saying so."""
        self.open_page()
        before = support.wait_for(self.pid, what="SpringBoard's pid")
        moved = self.studio.device + "-moved"
        os.rename(self.studio.device, moved)
        self.studio.device = moved
        self.driver.find_element(By.ID, "nav-right").click()
        support.wait_for(lambda: self.pid() not in ("", before), what="a new SpringBoard")
        self.assertFalse(os.path.exists(moved[:-len("-moved")]))
        self.assertEqual(self.studio.vyr("prefs", "set", "sig", "13").returncode, 0)
        self.wait_for_colour(RED)
        shutil.rmtree(moved)
        self.assertEqual(self.studio.process.wait(timeout=10), 1)
        self.studio.stop()
        self.assertIn("was moved to " + moved + "; following it", self.studio.errors)
        self.assertIn("the device folder " + moved + " is gone", self.studio.errors)
        self.studio = None

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

    def active(self, attribute="id", driver=None):
        driver = driver or self.driver
        return driver.execute_script(
            "const a = document.activeElement; return a ? a.getAttribute(arguments[0]) : null;",
            attribute)

    def test_keyboard(self):
        """Focus stays on the control that changed, Escape goes back, arrows move through the
        fifteen choices, and every control's name says its group."""
        self.open_page()
        switch = self.driver.find_element(By.ID, "control-ENABLED1")
        switch.send_keys(Keys.SPACE)
        support.wait_for(lambda: self.studio.vyr("prefs", "get", "ENABLED1").stdout.strip() == "YES",
                         what="the switch stored")
        self.wait_for_colour("#a1a1a1")  # the pane has redrawn from the news by now
        self.assertEqual(self.active(), "control-ENABLED1")
        names = self.driver.execute_script(
            "return [...document.querySelectorAll('#pane input, #pane button')]"
            ".map(c => c.getAttribute('aria-label'));")
        self.assertEqual(len(names), len(set(names)), names)
        self.assertIn("Status bar foreground: Enabled", names)
        self.assertIn("Battery: Custom colour", names)

        self.driver.find_element(By.ID, "control-sig").send_keys(Keys.ENTER)
        support.wait_for(lambda: self.active("data-choice") == "Light grey", what="the chosen entry")
        self.assertTrue(self.active("aria-label").startswith("Status bar foreground: "))
        first = self.active()
        self.driver.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
        self.assertNotEqual(self.active(), first)
        self.driver.switch_to.active_element.send_keys(Keys.END)
        self.assertEqual(self.active(), "choice-14")
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        support.wait_for(lambda: not self.driver.find_element(By.ID, "subpane").is_displayed(),
                         what="the pane again")
        self.assertEqual(self.active(), "control-sig")

        # The slider's last move is not lost to a switch changed before the move was sent.
        self.driver.execute_script(
            "const battery = document.getElementById('battery');"
            "battery.value = 42; battery.dispatchEvent(new Event('input'));"
            "document.getElementById('charging').click();")

        def device_state():
            with urllib.request.urlopen(self.studio.url + "api/state", timeout=10) as response:
                state = json.loads(response.read())["status"]["deviceState"]
            return (state["battery"], state["charging"])
        support.wait_for(lambda: device_state() == (42, True), what="battery 42%, charging")
        time.sleep(0.2)  # past the slider's 80 ms: nothing sent late undoes it
        self.assertEqual(device_state(), (42, True))

    def geometry(self, driver, css):
        return driver.execute_script(
            "const r = document.querySelector(arguments[0]).getBoundingClientRect();"
            "return {left: r.left, right: r.right, top: r.top, bottom: r.bottom};", css)

    def test_layout(self):
        """Side by side at 1280 px, stacked at 390 px without sideways scroll and with the
        magnified bar in view; a row shows what it colours; notices fit and can be dismissed."""
        self.driver.set_window_size(1280, 900)
        self.open_page()
        phone = self.geometry(self.driver, ".phone-card")
        settings = self.geometry(self.driver, ".settings-card")
        self.assertGreaterEqual(settings["left"], phone["right"])
        support.wait_for(lambda: float(self.driver.find_element(By.ID, "magnifier-bars")
                                       .get_attribute("data-magnification") or 0) >= 4,
                         what="the bar magnified four times")
        ActionChains(self.driver).move_to_element(
            self.driver.find_element(By.CSS_SELECTOR, "[data-row='vyrColor4']")).perform()
        key = support.wait_for(lambda: self.driver.find_elements(
            By.CSS_SELECTOR, "#highlights .highlight-key"), what="the key on the phone")
        self.assertEqual(key[0].text, "vyrColor4")
        # The box sits on the home screen's battery (x 306 to 333 points of 700).
        box = self.geometry(self.driver, "#highlights .highlight")
        svg = self.geometry(self.driver, "#screens img")
        scale = (svg["right"] - svg["left"]) / 700
        self.assertAlmostEqual((box["left"] - svg["left"]) / scale, 306 - 3 / scale, delta=2)
        # A fresh device has no settings file: the notice says so, fits, and goes when dismissed.
        notice = self.driver.find_element(By.ID, "phone-notice")
        self.assertTrue(notice.is_displayed())
        self.assertLessEqual(self.driver.execute_script(
            "const n = arguments[0]; return n.scrollWidth - n.clientWidth;", notice), 0)
        notice.find_element(By.CSS_SELECTOR, ".dismiss").click()
        self.assertFalse(notice.is_displayed())

        narrow = support.browser(390, 844)
        self.addCleanup(support.close, narrow)
        self.open_page(narrow)
        self.assertLessEqual(narrow.execute_script(
            "return document.documentElement.scrollWidth;"), 390)
        self.assertGreater(self.geometry(narrow, ".settings-card")["top"],
                           self.geometry(narrow, ".phone-card")["bottom"] - 1)
        narrow.execute_script("document.querySelector(\"[data-row='vyrColor6']\").scrollIntoView();")
        time.sleep(0.3)
        strip = self.geometry(narrow, "#magnifier-bars")
        self.assertGreaterEqual(strip["top"], 0)
        self.assertLessEqual(strip["bottom"], 844)
        self.assertGreaterEqual(
            float(narrow.find_element(By.ID, "magnifier-bars").get_attribute("data-magnification")),
            4)
        # The table fits: its colour column is not cut off.
        self.assertLessEqual(self.geometry(narrow, "#sources")["right"],
                             self.geometry(narrow, ".table-scroll")["right"])
        # The magnifier cuts no item in half, on either screen.
        for screen in ("home", "lock"):
            narrow.find_element(By.CSS_SELECTOR, f"#magnifier [data-screen='{screen}']").click()
            cut = narrow.execute_script("""
                const cuts = [...document.querySelectorAll('#magnifier-bars .half')].slice(1)
                    .map((h) => JSON.parse(h.dataset.region));
                return fetch('api/layout').then((r) => r.json()).then((layout) =>
                    layout.elements.flatMap((e) => e.regions).filter((r) =>
                        r.screen === arguments[0] && cuts.some((bar) => r.y < bar.y + bar.height &&
                        r.y + r.height > bar.y && r.x < bar.x && r.x + r.width > bar.x)).length);
                """, screen)
            self.assertEqual(cut, 0, screen)
        # A list opened at the bottom of the pane keeps its back button below the magnified bar.
        narrow.execute_script("document.querySelector(\"[data-row='rec']\").click();")
        time.sleep(0.3)
        self.assertGreaterEqual(self.geometry(narrow, "#nav-back")["top"],
                                self.geometry(narrow, ".magnifier")["bottom"])

    def test_one_per_device(self):
        """A second studio on the device prints the running one's address; a restarted studio
        has a new token, and an open page of the one before says so instead of reconnecting;
        the browser is opened on a private page, never with the token on a command line; the
        settings download as a profile."""
        self.open_page()
        second = subprocess.run([support.VYR, "--device", self.studio.device, "studio", "--no-open"],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(second.returncode, 0, second.stderr)
        self.assertEqual(second.stdout.strip(), self.studio.url)
        self.assertIn("runs already", second.stderr)

        self.assertEqual(self.studio.vyr("prefs", "set", "sig", "13").returncode, 0)
        request = urllib.request.Request(self.studio.url + "api/profile")
        with urllib.request.urlopen(request, timeout=10) as response:
            self.assertIn("attachment", response.headers["Content-Disposition"])
            profile = response.read().decode()
        self.assertIn("<key>sig</key>", profile)
        self.assertIn("<integer>13</integer>", profile)

        # A profile previewed from the page is drawn as vyr show --profile draws it, over the page;
        # the settings file keeps every byte and the page's phone stays as it was.
        self.wait_for_colour(RED)
        settings = os.path.join(self.studio.device, "var/mobile/Library/Preferences",
                                "com.belvorin.VYR.plist")
        with open(settings, "rb") as f:
            before = f.read()
        folder = tempfile.mkdtemp(prefix="vyr-preview-test-")
        self.addCleanup(shutil.rmtree, folder, True)
        theme = os.path.join(folder, "green theme.plist")
        with open(theme, "wb") as f:
            plistlib.dump({"sig": 9}, f)
        self.driver.find_element(By.ID, "preview-file").send_keys(theme)
        support.wait_for(lambda: self.driver.find_element(By.ID, "preview").is_displayed(),
                         timeout=30, what="the preview")
        previewed = support.svg_colours(self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch(document.querySelector('#preview-picture img').src)"
            ".then((r) => r.text()).then(done, () => done(''));"))
        self.assertIn(GREEN, previewed)
        self.assertNotIn(RED, previewed)
        self.assertIn("previewing green theme.plist",
                      self.driver.find_element(By.ID, "preview-messages").text)
        self.assertIn(f"vyr --device {self.studio.device} import 'green theme.plist'",
                      self.driver.find_element(By.ID, "preview-apply").text)
        self.assertEqual(self.active(), "preview-close")
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        support.wait_for(lambda: not self.driver.find_element(By.ID, "preview").is_displayed(),
                         what="the preview closed")
        self.assertEqual(self.active(), "preview-file")
        with open(settings, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertIn(RED, self.phone_colours())
        self.assertNotIn(GREEN, self.phone_colours())

        device, url = self.studio.device, self.studio.url
        self.addCleanup(shutil.rmtree, device, True)
        self.studio.keep = True
        self.assertEqual(self.studio.stop(), 0)
        support.wait_for(lambda: self.driver.find_element(By.ID, "connection").text != "live",
                         what="the page seeing the studio gone")
        old_token = self.studio.token
        self.studio = support.Studio(device, args=("--no-open",))
        self.assertNotEqual(self.studio.token, old_token)
        self.assertEqual(self.studio.port, int(url.split(":")[2].split("/")[0]))
        support.wait_for(
            lambda: self.driver.find_element(By.ID, "connection").text == "studio restarted",
            timeout=15, what="the page saying the studio was restarted")
        self.assertIn("open it again from the terminal",
                      self.driver.find_element(By.ID, "messages").text)
        self.assertEqual(urllib.request.urlopen(self.studio.url + "api/state", timeout=10).status,
                         200)

        # A browser opener that records how it was called.
        bin_folder = tempfile.mkdtemp(prefix="vyr-opener-")
        self.addCleanup(shutil.rmtree, bin_folder, True)
        record = os.path.join(bin_folder, "called")
        opener = os.path.join(bin_folder, "xdg-open")
        with open(opener, "w") as script:
            script.write(f'#!/bin/sh\nprintf "%s\\n" "$0" "$@" > {record}\n')
        os.chmod(opener, 0o755)
        other = support.Studio(args=("--port", "0"),
                               env={"PATH": bin_folder + ":" + os.environ["PATH"], "DISPLAY": ":99"})
        self.addCleanup(other.stop)
        def recorded():
            if not os.path.exists(record):
                return ""
            with open(record) as f:
                return f.read()
        called = support.wait_for(recorded, what="the browser opener")
        self.assertNotIn(other.token, called)
        page = called.split("\n")[1]
        self.assertEqual(stat.S_IMODE(os.stat(page).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(page)).st_mode), 0o700)
        with open(page) as forward:
            self.assertIn(other.url, forward.read())


if __name__ == "__main__":
    unittest.main()
