"""The remote-control page in a real headless Chromium at a phone's size, served over HTTPS by
the web service as a user starts it, in front of the reference host with the plug-in, all on
loopback: a page on another site tries to lock the owner out, then the owner logs in, taps,
sees the event at the host, stops the plug-in, logs out.

Environment: SENDREL_HOST, SENDREL_PLUGIN (the reference host and the plug-in), SENDREL_WEB
(the service's script), CHROMIUM, CHROMEDRIVER, and SENDREL_WEB_SCREENSHOT, where the page's
picture goes."""

import http.server
import os
import shutil
import threading
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import web_service  # noqa: E402
from mqtt_rig import DEADLINE, Rig, wait_until  # noqa: E402
from selenium.common.exceptions import (  # noqa: E402
    NoSuchElementException, StaleElementReferenceException)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

PASSWORD = "a page password"
SETTINGS = """\
[sendrel]
port = %d
[web]
listen = "127.0.0.1:0"
title = "Living room"
cert = "cert.pem"
key = "key.pem"
[[button]]
label = "Kitchen lights on"
event = "Lights"
payloads = ["kitchen", "on"]
group = "Kitchen"
[[button]]
label = "Good night"
event = "Scene"
payloads = ["night"]
group = "House"
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


class PageTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sendrel-web-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.rig = Rig()
        self.addCleanup(self.rig.close)
        self.rig.start_server()
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", "key.pem", "-out", "cert.pem"], cwd=self.work, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        config = os.path.join(self.work, "web.toml")
        with open(config, "w") as out:
            out.write(SETTINGS % self.rig.server_port)
        service = [sys.executable, os.environ["SENDREL_WEB"], "--config", config]
        subprocess.run(service + ["--set-page-password"], input="%s\n%s\n" % (PASSWORD, PASSWORD),
                       text=True, check=True, stdout=subprocess.DEVNULL, timeout=DEADLINE)
        self.token = subprocess.run(service + ["--new-token", "owner"], text=True, check=True,
                                    capture_output=True, timeout=DEADLINE).stdout.split()[-1]
        web, self.url = web_service.start(os.environ["SENDREL_WEB"], config,
                                          os.path.join(self.work, "web.log"), self.work)
        self.addCleanup(web.wait, DEADLINE)
        self.addCleanup(web.terminate)
        self.tls = ssl.create_default_context(cafile=os.path.join(self.work, "cert.pem"))
        # The certificate is made for this run; the browser takes it as it is.
        self.browser = web_service.chromium(os.path.join(self.work, "chromium"),
                                            ["--ignore-certificate-errors"], PHONE)
        self.addCleanup(self.browser.quit)
        # A page being replaced leaves the elements found on it stale: look again.
        self.wait = WebDriverWait(self.browser, DEADLINE, ignored_exceptions=(
            NoSuchElementException, StaleElementReferenceException))

    def text(self, selector):
        return self.browser.find_element(By.CSS_SELECTOR, selector).text

    def log_in(self, password):
        self.browser.find_element(By.ID, "password").send_keys(password)
        self.browser.find_element(By.CSS_SELECTOR, "form button").click()

    def tap(self, label):
        button = self.browser.find_element(By.XPATH, '//button[span="%s"]' % label)
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

    def test_phone_page(self):
        self.attack_from_elsewhere(6)
        self.assertEqual(self.api_status(token=self.token), 200)
        self.browser.get(self.url)
        self.log_in("not the password")
        self.wait.until(lambda _: self.text("#message") == "Wrong password.")
        self.log_in(PASSWORD)
        self.wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "button[data-button]"))
        cookie, = self.browser.get_cookies()
        self.assertEqual((cookie["httpOnly"], cookie["secure"], cookie["sameSite"]),
                         (True, True, "Strict"))

        self.assertEqual(self.tap("Kitchen lights on"), "sent")
        wanted = 'event "Lights" payloads ["127.0.0.1", "kitchen", "on"]'
        wait_until(lambda: wanted in self.rig.events(), "the event at the host")
        self.browser.save_screenshot(os.environ["SENDREL_WEB_SCREENSHOT"])

        forged = self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('/api/buttons/0', {method: 'POST'}).then(a => done(a.status), e => done(-1));")
        self.assertEqual(forged, 403)

        self.rig.stop_server()
        said = self.tap("Good night")
        self.assertRegex(said, "^not sent: connection refused")
        self.assertTrue(self.browser.find_element(By.ID, "banner").is_displayed())
        self.assertIn("connection refused", self.text("#banner"))

        self.browser.find_element(By.CSS_SELECTOR, "header form button").click()
        self.wait.until(lambda b: b.find_elements(By.ID, "password"))
        self.assertEqual(self.api_status(cookie["value"]), 401)
        self.assertEqual(self.rig.events(), [wanted])


if __name__ == "__main__":
    unittest.main()
