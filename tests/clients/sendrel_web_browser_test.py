"""The remote-control page in a real headless Chromium at a phone's size, served over HTTPS by
the web service as a user starts it, with the certificate it made, in front of the reference
host with the plug-in, all on loopback, with the shipped sample's buttons: a page on another
site tries to lock the owner out, then the owner meets the login view, finds the page
installable as an app, taps and logs out; the banner follows the plug-in; a session ends; a
phone is remembered across a restart of the service.

Environment: SENDREL_HOST, SENDREL_PLUGIN (the reference host and the plug-in), SENDREL_WEB
(the service's folder), CHROMIUM, CHROMEDRIVER, and SENDREL_WEB_SCREENSHOTS, the folder where
the pictures of the page and of its login view go."""

import http.server
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import web_service  # noqa: E402
from mqtt_rig import DEADLINE, Rig, free_port, wait_until  # noqa: E402
from selenium.common.exceptions import (  # noqa: E402
    NoSuchElementException, StaleElementReferenceException, WebDriverException)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as EC  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PASSWORD = "a page password"
SAMPLE = os.path.join(HERE, "..", "..", "docs", "sendrel-web.toml")
SETTINGS = """\
[sendrel]
port = %d
[web]
listen = "127.0.0.1:%d"
title = "Living room"
cert = "web.crt"
key = "web.key"
"""
# Another site's page that sends wrong passwords to the service's login, as any page its
# visitor happens to open may: no permission is needed to send them.
ATTACK_PAGE = """<!doctype html><title>elsewhere</title><script>
Promise.allSettled(Array.from({length: %d}, (_, n) => fetch('%slogin', {method: 'POST',
  mode: 'no-cors', body: new URLSearchParams({password: 'wrong ' + n})})))
  .then(() => { document.title = 'sent'; });
</script>"""
# A phone's screen: 390 by 844 CSS pixels, two device pixels each.
PHONE = {"deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 2.0, "touch": True}}
TOUCH_MIN = 44  # CSS pixels, every touch target's height at least
NOT_RUNNING = "The Sendrel plug-in is not running, or cannot be reached"
ENDED = "Your login has ended, so nothing is sent. Log in again to send."
# Loads each icon as the page's own image (under its Content-Security-Policy): its width, or
# -1 where it does not load.
LOAD_ICONS = """const done = arguments[arguments.length - 1];
Promise.all(arguments[0].map((url) => new Promise((resolve) => {
  const image = new Image();
  image.onload = () => resolve(image.naturalWidth);
  image.onerror = () => resolve(-1);
  image.src = url;
}))).then(done);"""
LIGHTS = 'event "Lights" payloads ["127.0.0.1", "kitchen", "on"]'
NIGHT = 'event "Scene" payloads ["127.0.0.1", "night"]'


def sample_buttons():
    with open(SAMPLE) as sample:
        text = sample.read()
    return text[text.index("\n[[button]]\n"):]


class PageTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sendrel-web-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.rig = Rig()
        self.addCleanup(self.rig.close)
        self.rig.start_server()
        self.config = os.path.join(self.work, "web.toml")
        with open(self.config, "w") as out:
            # A port of its own, kept when the service starts again, as a phone knows it.
            out.write(SETTINGS % (self.rig.server_port, free_port()) + sample_buttons())
        self.service = [sys.executable, os.environ["SENDREL_WEB"], "--config", self.config]
        subprocess.run(self.service + ["--set-page-password"],
                       input="%s\n%s\n" % (PASSWORD, PASSWORD), text=True, check=True,
                       stdout=subprocess.DEVNULL, timeout=DEADLINE)
        subprocess.run(self.service + ["--make-certificate"], check=True,
                       stdout=subprocess.DEVNULL, timeout=DEADLINE)
        self.token = subprocess.run(self.service + ["--new-token", "owner"], text=True,
                                    check=True, capture_output=True,
                                    timeout=DEADLINE).stdout.split()[-1]
        self.web = None
        self.start_web()
        self.tls = ssl.create_default_context(cafile=os.path.join(self.work, "web.crt"))
        # The certificate is made for this run; the browser takes it as it is.
        self.browser = web_service.chromium(os.path.join(self.work, "chromium"),
                                            ["--ignore-certificate-errors"], PHONE)
        self.addCleanup(self.browser.quit)
        # A page being replaced leaves the elements found on it stale: look again.
        self.wait = WebDriverWait(self.browser, DEADLINE, ignored_exceptions=(
            NoSuchElementException, StaleElementReferenceException))

    def start_web(self):
        """Starts the service, or stops and starts it again: its sessions in memory end."""
        if self.web:
            self.web.terminate()
            self.web.wait(DEADLINE)
        self.web, self.url = web_service.start(os.environ["SENDREL_WEB"], self.config,
                                               os.path.join(self.work, "web.log"), self.work)
        self.addCleanup(self.web.wait, DEADLINE)
        self.addCleanup(self.web.terminate)

    def element(self, selector):
        return self.browser.find_element(By.CSS_SELECTOR, selector)

    @staticmethod
    def read(call):
        """call(), with an element of a page being replaced reported as stale, which the waits
        look past: Chromium sometimes reports it as a node that no longer belongs to the
        document instead."""
        try:
            return call()
        except WebDriverException as error:
            if "does not belong to the document" in str(error):
                raise StaleElementReferenceException(str(error)) from error
            raise

    def text(self, selector):
        return self.read(lambda: self.element(selector).text)

    def banner(self):
        """The banner's words, None while it is hidden."""
        shown = self.read(lambda: self.element("#banner").is_displayed())
        return self.text("#banner-text") if shown else None

    def log_in(self, password, remember=False):
        self.browser.find_element(By.ID, "password").send_keys(password)
        if remember:
            self.element(".remember").click()
        self.element("form button").click()

    def wait_for_buttons(self):
        self.wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "button[data-button]"))

    def button(self, label):
        return self.browser.find_element(By.XPATH, '//button[span="%s"]' % label)

    def tap(self, label):
        button = self.button(label)
        button.click()
        result = button.find_element(By.CLASS_NAME, "result")
        self.wait.until(lambda _: result.text not in ("", "sending…"))
        return result.text

    def attack_from_elsewhere(self, tries):
        """Opens another site's page that sends wrong page logins to the service."""
        page = (ATTACK_PAGE % (tries, self.url)).encode()

        class Elsewhere(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *arguments):
                pass
        elsewhere = http.server.HTTPServer(("127.0.0.1", 0), Elsewhere)
        threading.Thread(target=elsewhere.serve_forever, daemon=True).start()
        self.addCleanup(elsewhere.server_close)
        self.addCleanup(elsewhere.shutdown)
        # localhost and 127.0.0.1 are different sites to the browser
        self.browser.get("http://localhost:%d/" % elsewhere.server_address[1])
        self.wait.until(lambda b: b.title == "sent")

    def api_status(self, cookie=None, token=None):
        headers = {"Cookie": "sendrel_session=" + cookie} if cookie else {
            "Authorization": "Bearer " + token}
        request = urllib.request.Request(self.url + "api/status", headers=headers)
        try:
            with urllib.request.urlopen(request, context=self.tls, timeout=DEADLINE) as answer:
                return answer.status
        except urllib.error.HTTPError as error:
            return error.code

    def screenshot(self, name):
        self.browser.save_screenshot(os.path.join(os.environ["SENDREL_WEB_SCREENSHOTS"], name))

    def test_log_in_tap_and_log_out(self):
        self.attack_from_elsewhere(6)
        self.assertEqual(self.api_status(token=self.token), 200)
        self.browser.get(self.url)
        # The login view: its field and button as wide as the form, the form as wide as the
        # screen leaves it, every touch target 44 pixels high at least.
        form = self.element("form").rect
        viewport = self.browser.execute_script("return document.documentElement.clientWidth")
        self.assertGreater(form["width"], viewport * 0.85)
        for selector in ("#password", "form button", ".remember"):
            part = self.element(selector).rect
            self.assertAlmostEqual(part["width"], form["width"], delta=1, msg=selector)
            self.assertGreaterEqual(part["height"], TOUCH_MIN, selector)
        self.screenshot("sendrel_web_login.png")
        # Added to a home screen, it is an app: Chromium finds its manifest and finds it
        # installable (which needs a standalone display and an icon it loaded); each icon,
        # the one iOS takes too, loads at its size.
        self.assertEqual(self.browser.execute_cdp_cmd("Page.getInstallabilityErrors", {}),
                         {"installabilityErrors": []})
        manifest = json.loads(self.browser.execute_cdp_cmd("Page.getAppManifest", {})["data"])
        self.assertEqual((manifest["name"], manifest["display"]), ("Living room", "standalone"))
        icons = sorted({icon["src"] for icon in manifest["icons"]}) + [
            self.element('link[rel="apple-touch-icon"]').get_attribute("href")]
        self.assertEqual(self.browser.execute_async_script(LOAD_ICONS, icons), [192, 512, 180])
        self.log_in("not the password")
        self.wait.until(lambda _: self.text("#message") == "Wrong password.")
        self.log_in(PASSWORD)
        self.wait_for_buttons()
        cookie, = self.browser.get_cookies()
        self.assertEqual((cookie["httpOnly"], cookie["secure"], cookie["sameSite"]),
                         (True, True, "Strict"))
        self.assertNotIn("expiry", cookie)  # ends with the browser: not remembered
        # Log out: a touch target, well below the last button.
        log_out = self.element("#log-out button").rect
        last = self.browser.find_elements(By.CSS_SELECTOR, "button[data-button]")[-1].rect
        self.assertGreaterEqual(log_out["height"], TOUCH_MIN)
        self.assertGreaterEqual(log_out["y"] - (last["y"] + last["height"]), TOUCH_MIN)

        # The sample's buttons without a group come first, under no heading, though it
        # lists them after the group.
        labels = [b.text.split("\n")[0] for b in
                  self.browser.find_elements(By.CSS_SELECTOR, "button[data-button]")]
        self.assertEqual(labels, ["Good night", "Away", "Lights on", "Lights off"])
        self.assertEqual([h.text for h in self.browser.find_elements(By.TAG_NAME, "h2")],
                         ["Kitchen"])

        self.assertEqual(self.tap("Lights on"), "sent")
        wait_until(lambda: LIGHTS in self.rig.events(), "the event at the host")
        self.screenshot("sendrel_web_phone.png")

        forged = self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('/api/buttons/1', {method: 'POST'}).then(a => done(a.status), e => done(-1));")
        self.assertEqual(forged, 403)

        self.element("#log-out button").click()
        self.wait.until(lambda b: b.find_elements(By.ID, "password"))
        self.assertEqual(self.api_status(cookie["value"]), 401)
        self.assertEqual(self.rig.events(), [LIGHTS])

    def test_the_banner_follows_the_plugin(self):
        self.browser.get(self.url)
        self.log_in(PASSWORD)
        self.wait_for_buttons()
        self.assertEqual(self.tap("Lights on"), "sent")
        places = [b.rect for b in self.browser.find_elements(By.CSS_SELECTOR, "button")]
        self.rig.stop_server()
        self.wait.until(lambda _: self.banner() == NOT_RUNNING)
        # The banner lies over the page: no button moved under a finger.
        self.assertEqual([b.rect for b in self.browser.find_elements(By.CSS_SELECTOR, "button")],
                         places)
        # Opened while the plug-in is down, before any tap.
        self.browser.get(self.url)
        self.wait.until(lambda _: self.banner() == NOT_RUNNING)
        self.assertFalse(self.element("#log-in-again").is_displayed())  # logging in is no cure
        said = self.tap("Good night")
        self.assertEqual(said, "not sent")
        self.assertIn("connection refused", self.element("#banner-detail")
                      .get_attribute("textContent"))
        # One line: the button keeps its height.
        self.assertLess(self.button("Good night").rect["height"],
                        self.button("Lights on").rect["height"] + 1)
        self.rig.start_server()
        self.wait.until(lambda _: self.banner() is None)
        self.assertEqual(self.tap("Good night"), "sent")
        wait_until(lambda: NIGHT in self.rig.events(), "the event at the host")
        # A "sent" does not stay under a banner that says nothing can be sent.
        self.rig.stop_server()
        self.assertEqual(self.tap("Away"), "not sent")
        self.assertEqual(self.banner(), NOT_RUNNING)
        self.assertEqual(self.button("Good night").find_element(By.CLASS_NAME, "result").text,
                         "")
        self.assertEqual(self.rig.events(), [LIGHTS, NIGHT])

    def test_an_ended_sessions_tap_asks_to_log_in_and_sends_nothing(self):
        self.browser.get(self.url)
        self.log_in(PASSWORD)
        self.wait_for_buttons()
        self.start_web()  # the session ends with the service
        self.assertEqual(self.tap("Good night"), "Log in again to send")
        self.assertEqual(self.banner(), ENDED)
        # Logging in is all there is to do: no log-out beside it, no details.
        self.assertEqual([self.element(s).is_displayed() for s in
                          ("#log-in-again", "#log-out", "#banner-details")],
                         [True, False, False])
        self.element("#log-in-again").click()
        self.log_in(PASSWORD)
        self.wait_for_buttons()
        self.assertEqual(self.button("Good night").find_element(By.CLASS_NAME, "result").text,
                         "not sent: tap again")
        self.assertEqual(self.rig.events(), [])

    def test_a_remembered_phone_stays_logged_in_across_a_restart(self):
        self.browser.get(self.url)
        self.log_in(PASSWORD, remember=True)
        self.wait_for_buttons()
        cookie, = self.browser.get_cookies()
        self.assertIn("expiry", cookie)  # kept by the browser when it closes
        self.start_web()
        self.browser.get(self.url)
        self.wait_for_buttons()
        self.assertEqual(self.tap("Good night"), "sent")
        wait_until(lambda: NIGHT in self.rig.events(), "the event at the host")
        # Its log-out asks first; it then ends it for good, not only in the browser.
        self.element("#log-out button").click()
        self.wait.until(EC.alert_is_present()).dismiss()
        self.assertEqual(self.tap("Good night"), "sent")
        self.element("#log-out button").click()
        self.wait.until(EC.alert_is_present()).accept()
        self.wait.until(lambda b: b.find_elements(By.ID, "password"))
        self.assertEqual(self.api_status(cookie["value"]), 401)


if __name__ == "__main__":
    unittest.main()
