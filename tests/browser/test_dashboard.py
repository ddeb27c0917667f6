"""The dashboard in headless Chromium against the real relay, a live stream and two subscribers."""
import json
import os
import shutil
import socket
import sys
import tempfile
import unittest
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import harness  # noqa: E402

RELAY = os.environ.get("MIREVO_BIN", "")
LOAD = os.environ.get("MIREVO_LOAD", "")
SHOTS = os.environ.get("MIREVO_SCREENSHOTS", "")
KEY = "dashboard-test-key"
READ_KEY = "dashboard-read-key"
WAIT_S = 15
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]


def hook(name):
    return f'[data-testid="{name}"]'


@unittest.skipUnless(os.access(RELAY, os.X_OK) and os.access(LOAD, os.X_OK),
                     "MIREVO_BIN and MIREVO_LOAD must name the built relay and load tool")
class Dashboard(unittest.TestCase):
    """One relay, one browser; the tests run in name order and each leaves route 100 as it was."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="dashboard-test-")
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        cls.shots = SHOTS or os.path.join(cls.dir, "screenshots")
        os.makedirs(cls.shots, exist_ok=True)
        cls.http_port = harness.free_port(socket.SOCK_STREAM)
        source, target = harness.free_port(), harness.free_port()
        cls.target_port = target
        cls.start_relay(harness.route_document(100, source, [(1000, target, True)]))
        gen = harness.Process("gen", [LOAD, "gen", "--url", f"srt://127.0.0.1:{source}",
                                      "--rate", "2000000", "--duration", "150"], cls.dir)
        cls.addClassCleanup(gen.stop)
        for name in ("viewer-a", "viewer-b"):
            sub = harness.Process(name, [LOAD, "sub", "--url", f"srt://127.0.0.1:{target}",
                                         "--streamid", name, "--count", "1", "--duration", "150"],
                                  cls.dir)
            cls.addClassCleanup(sub.stop)
        options = webdriver.ChromeOptions()
        for flag in CHROMIUM_FLAGS + [f"--user-data-dir={cls.dir}/chromium"]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.addClassCleanup(cls.driver.quit)
        cls.driver.set_window_size(1280, 800)
        cls.driver.get(f"http://127.0.0.1:{cls.http_port}/")

    @classmethod
    def start_relay(cls, config_text):
        cls.relay = harness.start_relay(RELAY, cls.dir, config_text, cls.http_port, KEY,
                                        env={"MIREVO_READ_KEY": READ_KEY})
        cls.addClassCleanup(cls.relay.stop)
        if not harness.wait_until(lambda: cls.api("GET", "routes") is not None, 10):
            raise RuntimeError("relay did not answer: " + cls.relay.stderr_text())

    @classmethod
    def api(cls, method, path, **query):
        """The relay's JSON answer (or text), None when it cannot be reached."""
        url = f"http://127.0.0.1:{cls.http_port}/api/{path}?{urllib.parse.urlencode(query)}"
        request = urllib.request.Request(url, method=method,
                                         headers={"Authorization": f"Bearer {KEY}"})
        try:
            with urllib.request.urlopen(request, timeout=5) as response:
                text = response.read().decode()
        except (urllib.error.URLError, ConnectionError):
            return None
        try:
            return json.loads(text)
        except ValueError:
            return text

    def find(self, name):
        return WebDriverWait(self.driver, WAIT_S).until(
            lambda d: d.find_element(By.CSS_SELECTOR, hook(name)))

    def gone(self, name):
        return not self.driver.find_elements(By.CSS_SELECTOR, hook(name))

    def wait(self, condition, message):
        self.assertTrue(harness.wait_until(condition, WAIT_S), message)

    def text_of(self, name):
        elements = self.driver.find_elements(By.CSS_SELECTOR, hook(name))
        return elements[0].text if elements else ""

    def confirm(self, name):
        self.find(name).click()
        self.find("confirm-yes").click()

    def type_into(self, name, text):
        # Typed over what the poll shows: a cleared field could be refilled before the keys.
        self.find(name).send_keys(Keys.CONTROL, "a", Keys.NULL, text)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.shots, f"{name}.png"))

    def test_1_key_then_live_stream(self):
        self.shot("sign-in")
        self.find("key-input").send_keys("wrong-key")
        self.find("key-submit").click()
        self.wait(lambda: "does not same" in self.text_of("auth-error"), "no refusal shown")
        self.assertTrue(self.gone("route-row-100"))
        self.assertIsNone(
            self.driver.execute_script("return sessionStorage.getItem('mirevo-api-key')"))

        self.find("key-input").send_keys(KEY)
        self.find("key-submit").click()
        self.find("route-row-100")
        self.assertEqual(self.driver.execute_script(
            "return [sessionStorage.getItem('mirevo-api-key'), localStorage.length]"), [KEY, 0])
        self.assertNotIn(KEY, self.driver.current_url)
        self.wait(lambda: self.text_of("route-bitrate-100").endswith(" Mbit/s")
                  and float(self.text_of("route-bitrate-100").split()[0]) > 1.0,
                  "no bitrate near the stream's 2 Mbit/s")
        self.wait(lambda: self.driver.execute_script(
            f"return document.querySelector('{hook('chart-100')} canvas')?.width > 0"), "no chart")
        self.wait(lambda: "[STATS 100->1000]" in self.text_of("log-view"), "no stats in the log")
        self.shot("routes-live")

    def test_2_kick_one_of_two_subscribers(self):
        self.wait(lambda: self.text_of("target-peers-100-1000") == "2", "two peers not shown")
        peers = {c["stream_id"]: c for c in self.api("GET", "connections", route_id=100)
                 if c["side"] == "target"}
        kicked, kept = peers["viewer-a"]["id"], peers["viewer-b"]["id"]
        self.find(f"conn-row-{kept}")
        self.shot("connections")
        self.confirm(f"conn-kick-{kicked}")
        self.wait(lambda: self.gone(f"conn-row-{kicked}"), "kicked connection still listed")
        self.wait(lambda: self.text_of("target-peers-100-1000") == "1", "peer count not 1")

        def kept_bytes():
            return next(c["bytes"] for c in self.api("GET", "connections", route_id=100)
                        if c["id"] == kept)
        start = kept_bytes()
        self.wait(lambda: kept_bytes() > start + 100000, "the other subscriber stopped receiving")

    def test_3_create_edit_switch_and_delete(self):
        before = set(self.api("GET", "all_info"))
        self.find("create-route").click()
        self.wait(lambda: len(set(self.api("GET", "all_info")) - before) == 1, "no route created")
        rid = (set(self.api("GET", "all_info")) - before).pop()
        self.find(f"add-target-{rid}").click()
        self.wait(lambda: self.api("GET", f"routes/{rid}/targets"), "no target added")
        tid = next(iter(self.api("GET", f"routes/{rid}/targets")))
        target = f"{rid}-{tid}"

        url = f"srt://127.0.0.1:{harness.free_port()}"
        Select(self.find(f"target-mode-{target}")).select_by_value("listen")
        self.type_into(f"target-url-{target}", url)
        self.find(f"target-save-{target}").click()
        self.wait(lambda: self.api("GET", f"routes/{rid}/targets")[tid]["url"] == url,
                  "URL not saved")
        for enabled in (1, 0):
            self.find(f"target-toggle-{target}").click()
            self.wait(lambda: self.api("GET", f"routes/{rid}/targets")[tid]["enabled"] == enabled,
                      f"switch to {enabled} not seen by the API")

        self.type_into(f"source-url-{rid}", "0.0.0.0:9001")
        save = self.find(f"source-save-{rid}")
        save.click()
        error = save.find_element(By.XPATH, "following-sibling::output[@class='error']")
        self.wait(lambda: "Invalid URL" in error.text, "no error beside the source form")
        self.shot("edit-error")

        self.confirm(f"delete-target-{target}")
        self.wait(lambda: self.api("GET", f"routes/{rid}/targets") == {}, "target not deleted")
        self.wait(lambda: self.gone(f"target-row-{target}"), "target row still shown")
        self.confirm(f"delete-route-{rid}")
        self.wait(lambda: rid not in self.api("GET", "all_info"), "route not deleted")
        self.wait(lambda: self.gone(f"route-row-{rid}"), "route row still shown")

    def test_4_phone_layout_and_dark_scheme(self):
        scroll = "return [document.documentElement.scrollWidth, window.innerWidth]"
        wide, inner = self.driver.execute_script(scroll)
        self.assertLessEqual(wide, inner)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        try:
            def fits():
                # Once the chart has followed the new width, nothing scrolls sideways.
                wide, inner, chart = self.driver.execute_script(
                    "return [document.documentElement.scrollWidth, window.innerWidth, document."
                    f"querySelector('{hook('chart-100')} canvas')?.clientWidth ?? 0]")
                return inner == 390 and 0 < chart <= 390 and wide <= 390
            self.wait(fits, "horizontal scrolling at 390 px")
            self.shot("phone-dark")
        finally:
            self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})

    def test_5_no_console_errors_then_relay_restart(self):
        # A refused key and a refused edit are answered 555 on purpose; nothing else may fail.
        errors = [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"
                  and not (entry["source"] == "network" and " 555 " in entry["message"])]
        self.assertEqual(errors, [])
        with open(os.path.join(self.dir, "config.json")) as config:
            config_text = config.read()
        status = self.driver.find_element(By.ID, "status")
        self.relay.stop()
        self.wait(lambda: "reconnecting" in status.text, "no reconnecting notice")
        self.start_relay(config_text)
        self.wait(lambda: status.text == "live", "not live again")
        self.find("route-row-100")
        # The event stream came back after the drop and went on with the new run's events.
        self.wait(lambda: self.text_of("event-list").count("relay.started") == 2,
                  "the restarted relay's events are not listed")

    def test_6_read_key_shows_every_view_and_no_control(self):
        self.driver.find_element(By.ID, "sign-out").click()
        self.find("key-input").send_keys(READ_KEY)
        self.find("key-submit").click()
        status = self.driver.find_element(By.ID, "status")
        self.wait(lambda: status.text == "live · read-only key", "no read-only notice")
        self.find("route-row-100")
        self.wait(lambda: self.text_of("target-peers-100-1000") not in ("", "–"), "no peers")
        self.wait(lambda: self.driver.find_elements(By.CSS_SELECTOR, '[data-testid^="conn-row-"]'),
                  "no connections")
        self.wait(lambda: self.driver.execute_script(
            f"return document.querySelector('{hook('chart-100')} canvas')?.width > 0"), "no chart")
        self.wait(lambda: "[STATS 100->1000]" in self.text_of("log-view"), "no log")
        # Each endpoint reads "mode URL port N · note", the URL apart from its note.
        shown = self.driver.find_element(By.ID, "routes").text
        endpoints = [self.api("GET", "routes/100/source"),
                     *self.api("GET", "routes/100/targets").values()]
        for endpoint in endpoints:
            port = endpoint["url"].rsplit(":", 1)[1]
            self.assertIn(f"{endpoint['mode']} {endpoint['url']} port {port} · no stream id", shown)
        controls = self.driver.find_elements(
            By.CSS_SELECTOR, "#dashboard button, #dashboard input, #dashboard select")
        self.assertEqual([c.get_attribute("outerHTML")[:80] for c in controls if c.is_displayed()],
                         [])
        self.shot("read-only")


    def event_shown(self, event_type, route):
        """A row of the event list names the type and the route."""
        return any(event_type in row.text and f"route {route}" in row.text for row in
                   self.driver.find_elements(By.CSS_SELECTOR, '[data-testid^="event-"]'))

    def test_7_event_list_follows_the_relay_and_the_opened_route(self):
        # Signed in with the read key by the test before: the stream is open to both keys.
        self.wait(lambda: "relay.started" in self.text_of("event-list"), "no events listed")
        rid = self.api("POST", "routes/route")["route_id"]
        tid = self.api("POST", f"routes/{rid}/targets")["target_id"]
        subscriber = harness.Process("viewer-c", [
            LOAD, "sub", "--url", f"srt://127.0.0.1:{self.target_port}", "--streamid", "viewer-c",
            "--count", "1", "--duration", "1"], self.dir)
        self.addCleanup(subscriber.stop)
        self.assertIsNotNone(subscriber.wait(15), "the subscriber did not leave")
        self.api("DELETE", f"routes/{rid}")
        # Each appears within 2 s of its cause.
        for event_type, route in [("route.created", rid), ("route.changed", rid),
                                  ("target.connected", 100), ("target.disconnected", 100),
                                  ("route.deleted", rid)]:
            self.assertTrue(harness.wait_until(lambda: self.event_shown(event_type, route), 2),
                            f"{event_type} of route {route} not shown within 2 s")
        rows = self.driver.find_elements(By.CSS_SELECTOR, '[data-testid^="event-"]')
        self.assertIn("route.deleted", rows[0].text, "the newest is not first")
        self.driver.execute_script("document.getElementById('events').scrollIntoView()")
        self.shot("events")

        self.find("route-events-100").click()
        self.wait(lambda: self.text_of("events-route") == "route 100", "route 100 not opened")
        self.wait(lambda: not self.event_shown("route.created", rid), "other routes still listed")
        self.driver.find_element(By.ID, "events-all").click()
        self.wait(lambda: self.event_shown("route.created", rid), "all routes not shown again")

    def test_8_recordings_listed_with_downloads(self):
        # A stream that is not TS is cut at twice the segment length: a segment closes in 4 s.
        tid = self.api("POST", "routes/100/targets")["target_id"]
        self.addCleanup(self.api, "DELETE", f"routes/100/targets/{tid}")
        url = f"file://{self.dir}/recordings?segment=2"
        self.assertEqual(self.api("PUT", f"routes/100/targets/{tid}", enabled=1, mode="push",
                                  url=url), "Ok")
        self.wait(lambda: self.api("GET", "recordings", route_id=100, target_id=tid),
                  "no segment closed")
        name = self.api("GET", "recordings", route_id=100, target_id=tid)[0]["name"]
        self.driver.find_element(By.CSS_SELECTOR, f"{hook('route-row-100')} .recordings-box "
                                 "summary").click()
        # The page has polled for a while: room for the download's timing entry (250 by default).
        self.driver.execute_script("performance.clearResourceTimings();"
                                   "performance.setResourceTimingBufferSize(100000)")
        self.find(f"recording-{tid}-{name}").click()
        fetched = ("return performance.getEntriesByType('resource').filter(e => e.name.includes("
                   f"'/api/recordings/100/{tid}/{name}')).map(e => e.responseStatus)")
        self.wait(lambda: self.driver.execute_script(fetched) == [200], "segment not fetched")
        self.shot("recordings")


if __name__ == "__main__":
    unittest.main()
