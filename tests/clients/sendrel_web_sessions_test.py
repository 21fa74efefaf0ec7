"""The page's remembered sessions ("keep me logged in"): kept across restarts of the service in
a file of hashes, owner only, and ended by log-out, their lifetime, a new page password and
--revoke-sessions, at once in a running service."""

import contextlib
import io
import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
from sendrel_web import command, credentials, remembered  # noqa: E402

RECORD = credentials.password_record("a page password", iterations=1)
NEW_RECORD = credentials.password_record("another password", iterations=1)


class Clock:
    def __init__(self):
        self.now = 1.7e9

    def __call__(self):
        return self.now


class RememberedTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sendrel-sessions-")
        self.config = os.path.join(self.work, "web.toml")
        with open(self.config, "w") as out:
            out.write('[[button]]\nevent = "A"\n')
        self.path = remembered.sessions_path(os.path.join(self.work, "web.secrets.json"))
        self.clock = Clock()

    def tearDown(self):
        for name in os.listdir(self.work):
            os.unlink(os.path.join(self.work, name))
        os.rmdir(self.work)

    def store(self):
        """The store as a service started now has it."""
        return remembered.Remembered(self.path, self.clock)

    def revoke_by_command(self):
        with contextlib.redirect_stdout(io.StringIO()) as said:
            self.assertEqual(command.main(["--config", self.config, "--revoke-sessions"]), 0)
        return said.getvalue()

    def test_a_session_lasts_across_restarts_until_something_ends_it(self):
        # name, what happens after the login (to the service that opened it), whether a
        # service started afterwards still knows the session
        cases = [
            ("restart", lambda service, session: None, True),
            ("nearly its lifetime", lambda service, session: setattr(
                self.clock, "now", self.clock.now + remembered.REMEMBERED_SECONDS - 1), True),
            ("its lifetime", lambda service, session: setattr(
                self.clock, "now", self.clock.now + remembered.REMEMBERED_SECONDS), False),
            ("log-out", lambda service, session: service.end(session), False),
            ("another session's log-out", lambda service, session: service.end("other"), True),
            ("--revoke-sessions", lambda service, session: self.revoke_by_command(), False),
        ]
        for name, event, kept in cases:
            with self.subTest(name):
                service = self.store()
                session = "session-" + name
                csrf = service.open(session, RECORD)
                event(service, session)
                self.assertEqual(self.store().csrf(session, RECORD), csrf if kept else None)
                # The service that runs on sees the same: a revocation counts at once.
                self.assertEqual(service.csrf(session, RECORD), csrf if kept else None)
                self.clock.now = Clock().now

    def test_a_new_page_password_ends_them(self):
        service = self.store()
        service.open("phone", RECORD)
        self.assertIsNone(self.store().csrf("phone", NEW_RECORD))
        self.assertIsNone(service.csrf("phone", NEW_RECORD))

    def test_the_file_keeps_hashes_only_for_its_owner_only(self):
        csrf = self.store().open("phone-session-id", RECORD)
        with open(self.path) as kept:
            text = kept.read()
        self.assertNotIn("phone-session-id", text)
        self.assertNotIn(csrf, text)
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        self.assertEqual(self.revoke_by_command(),
                         "1 phones kept logged in are logged out (%s)\n" % self.path)


if __name__ == "__main__":
    unittest.main()
