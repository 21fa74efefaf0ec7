"""sendrel-web --make-certificate, read back by Python's ssl: a client that trusts only the
certificate completes a TLS handshake with the service's key under each name a phone may open
it at, and under no other; the start line offers only names it holds. Needs the cryptography
package (Debian's python3-cryptography)."""

import contextlib
import io
import os
import socket
import ssl
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
from sendrel_web import certificate, command  # noqa: E402

DEADLINE = 60.0  # seconds: only guards against a hang
HOSTS = "sendrel.example.org"


def accepted(cert, key, name):
    """Whether a client that trusts the certificate alone accepts the server with the key as
    name."""
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(cert, key)
    client = ssl.create_default_context(cafile=cert)
    ours, theirs = socket.socketpair()
    for end in (ours, theirs):
        end.settimeout(DEADLINE)

    def serve():
        with contextlib.suppress(OSError):
            server.wrap_socket(theirs, server_side=True).close()
    thread = threading.Thread(target=serve)
    thread.start()
    try:
        client.wrap_socket(ours, server_hostname=name).close()
        return True
    except ssl.SSLCertVerificationError:
        return False
    finally:
        ours.close()
        thread.join(DEADLINE)
        theirs.close()


class MakeCertificateTest(unittest.TestCase):
    def test_the_certificate_holds_the_names_the_service_is_opened_at(self):
        machine = socket.gethostname()
        # where the service listens, names it must hold, names it must not, an address the
        # start line must offer
        for listen, held, others, address in [
                ("0.0.0.0:8443", [machine, "localhost", "127.0.0.1", HOSTS],
                 ["elsewhere.example", "192.0.2.99"], "127.0.0.1"),
                ("192.0.2.7:8443", ["192.0.2.7", machine, HOSTS], ["127.0.0.1", "192.0.2.8"],
                 "192.0.2.7")]:
            with self.subTest(listen), tempfile.TemporaryDirectory() as work:
                config, cert = os.path.join(work, "web.toml"), os.path.join(work, "web.crt")
                with open(config, "w") as out:
                    out.write('[web]\nlisten = "%s"\nhosts = ["%s"]\n' % (listen, HOSTS))
                with contextlib.redirect_stdout(io.StringIO()):
                    self.assertEqual(command.main(["--config", config, "--make-certificate"]), 0)
                key = os.path.join(work, "web.key")
                self.assertEqual([accepted(cert, key, name) for name in held + others],
                                 [True] * len(held) + [False] * len(others))
                # The start line: every name it offers is one the certificate holds, addresses
                # included, and one that is not held is never offered.
                offered = certificate.names_to_open(listen.rpartition(":")[0], cert)
                self.assertIn(address, offered)
                self.assertEqual([n for n in offered if not accepted(cert, key, n)], [])
                self.assertEqual(certificate.names_to_open("192.0.2.8", cert), [])
                # A second run never replaces what phones already trust.
                with open(cert, "rb") as made:
                    before = made.read()
                with contextlib.redirect_stderr(io.StringIO()):
                    self.assertEqual(command.main(["--config", config, "--make-certificate"]), 1)
                with open(cert, "rb") as made:
                    self.assertEqual(made.read(), before)

if __name__ == "__main__":
    unittest.main()
