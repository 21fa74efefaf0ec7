"""The request a home hub's rest_command sends, configured as the README's "From Home
Assistant" says, to the web service in front of the reference host with the plug-in, and the
event it raises. Environment: SENDREL_HOST, SENDREL_PLUGIN and SENDREL_WEB."""

import asyncio
import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
import aiohttp  # noqa: E402
import web_service  # noqa: E402
from mqtt_rig import DEADLINE, Rig, wait_until  # noqa: E402
from sendrel_web import credentials  # noqa: E402

# As in the README: the payload template and the variables the automation passes.
PAYLOAD = '{"event": "{{ event }}", "payloads": ["{{ room }}", {{ level }}]}'
VARIABLES = {"event": "Temperature", "room": "Küche", "level": 21.5}


def render(template, variables):
    """The hub's templates are Jinja; this one uses plain variables only."""
    return re.sub(r"\{\{ (\w+) \}\}", lambda found: str(variables[found.group(1)]), template)


class HomeAssistantTest(unittest.TestCase):
    def test_rest_command_raises_the_event_and_is_answered_sent(self):
        work = tempfile.mkdtemp(prefix="sendrel-web-hub-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        rig = Rig()
        self.addCleanup(rig.close)
        rig.start_server()
        config = os.path.join(work, "web.toml")
        with open(config, "w") as out:
            out.write('[sendrel]\nport = %d\n[web]\nlisten = "127.0.0.1:0"\n' % rig.server_port)
        os.chmod(config, 0o600)
        token = credentials.Secrets(os.path.join(work, "web.secrets.json")).add_token("hub")
        service, url = web_service.start(os.environ["SENDREL_WEB"], config,
                                         os.path.join(work, "web.log"), work)
        self.addCleanup(service.wait, DEADLINE)
        self.addCleanup(service.terminate)

        async def rest_command():
            # As the hub sends it, with aiohttp's client: its session's User-Agent, the
            # configured headers and content type, the rendered payload as bytes.
            async with aiohttp.ClientSession(headers={
                    "User-Agent": "HomeAssistant/2024.12.0 aiohttp/%s Python/3.12"
                    % aiohttp.__version__}) as session:
                async with session.post(
                        url + "api/events", data=render(PAYLOAD, VARIABLES).encode("utf-8"),
                        headers={"authorization": "Bearer " + token,
                                 "Content-Type": "application/json"},
                        timeout=aiohttp.ClientTimeout(total=10)) as response:
                    return response.status, await response.json()

        self.assertEqual(asyncio.run(rest_command()), (200, {"sent": 1}))
        expected = 'event "Temperature" payloads ["127.0.0.1", "Küche", "21.5"]'
        wait_until(lambda: expected in rig.events(), "the event at the host")


if __name__ == "__main__":
    unittest.main()
