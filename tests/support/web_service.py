"""The web service started as a user starts it, for its browser test and its figures script:
its own process, its log in a file, and the address it says it serves once it listens."""

import re
import subprocess
import sys

from mqtt_rig import wait_until


def start(script, config, log_path, cwd, python=sys.executable):
    """(the process, the URL it serves); raises AssertionError when it stops first."""
    with open(log_path, "w") as log:
        process = subprocess.Popen([python, script, "--config", config], stderr=log, cwd=cwd)

    def address():
        with open(log_path) as log:
            found = re.search(r"serving (https?://\S+)", log.read())
        return found and found.group(1)
    wait_until(lambda: address() or process.poll() is not None, "the web service")
    if not address():
        with open(log_path) as log:
            raise AssertionError("the web service did not start: " + log.read())
    return process, address()
