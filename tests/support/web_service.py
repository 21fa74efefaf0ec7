"""The web service started as a user starts it, for its tests and its figures scripts: its own
process, its log in a file, and the address it says it serves once it listens."""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

from mqtt_rig import Rig, wait_until


def start(script, config, log_path, cwd, python=sys.executable, open_files=None):
    """(the process, the URL it serves); raises AssertionError when it stops first. With
    open_files, the process can open no more files than that (nor raise its limit)."""
    def limit_files():
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))
    with open(log_path, "w") as log:
        process = subprocess.Popen([python, script, "--config", config], stderr=log, cwd=cwd,
                                   preexec_fn=limit_files if open_files else None)

    def address():
        with open(log_path) as log:
            found = re.search(r"serving (https?://\S+)", log.read())
        return found and found.group(1)
    wait_until(lambda: address() or process.poll() is not None, "the web service")
    if not address():
        with open(log_path) as log:
            raise AssertionError("the web service did not start: " + log.read())
    return process, address()


@contextlib.contextmanager
def serving_the_plugin(script, settings, page_password, prefix):
    """The reference host serving the plug-in, and the service in front of it with the settings
    (a TOML text with %d for the plug-in's port), one API token and the page password, in a
    folder of its own: yields (the process, the URL it serves, the token, the folder, the rig
    running the reference host)."""
    from sendrel_web import credentials  # the clients folder is on the caller's path

    work = tempfile.mkdtemp(prefix=prefix)
    rig = Rig()
    service = None
    try:
        rig.start_server()
        config = os.path.join(work, "web.toml")
        with open(config, "w") as out:
            out.write(settings % rig.server_port)
        os.chmod(config, 0o600)
        store = credentials.Secrets(os.path.join(work, "web.secrets.json"))
        token = store.add_token("figures")
        store.set_page_password(page_password)
        service, url = start(script, config, os.path.join(work, "web.log"), work)
        yield service, url, token, work, rig
    finally:
        if service:
            service.terminate()
            service.wait()
        rig.close()
        shutil.rmtree(work, ignore_errors=True)


# The machine's network is closed: nothing that would reach out.
CHROMIUM_OPTIONS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                    "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync"]


def chromium(profile, extra_options=(), mobile=None):
    """Headless Chromium with a fresh profile in the folder profile (CHROMIUM and CHROMEDRIVER
    from the environment, Debian's by default), emulating the mobile device given."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for option in CHROMIUM_OPTIONS + list(extra_options) + ["--user-data-dir=" + profile]:
        options.add_argument(option)
    if mobile:
        options.add_experimental_option("mobileEmulation", mobile)
    return webdriver.Chrome(options=options, service=Service(
        os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")))
