"""The conversations with the Sendrel server, on worker threads off the event loop.

The service logs in for every conversation, so it must never be what gets its own address
blocked by the plug-in (which would refuse every other local client too): after a wrong
password it answers from memory until its settings change or the plug-in's block would have
passed, and after a refused or abandoned login it waits as long as that block before it logs
in again."""

import concurrent.futures
import logging
import queue
import threading
import time

import sendrel_send

from .events import Refused

log = logging.getLogger("sendrel-web")

# Events that requests waiting together may share in one conversation.
EVENTS_PER_CONVERSATION_MAX = 200
WAITING_REQUESTS_MAX = 1000
# The plug-in blocks an address for 10 minutes after 5 failed logins within 10 minutes. The
# workers may fail a login each at once (fewer than 5), and then none is tried for a little
# longer than those 10 minutes: the failures never add up to a block.
LOGIN_BACK_OFF = 660.0


class ServerConversation:
    """The conversation with the Sendrel server the settings name: log in, the events, the
    closing line and the server's close. A failure of the login itself is marked at_login."""

    def __init__(self, server_settings):
        self.server = server_settings

    def logged_in(self):
        """A sender logged in to the server; a failure of the login is marked at_login."""
        server = self.server
        sender = sendrel_send.Sender(server["host"], server["port"], server["password"],
                                     timeout=server["timeout"], encoding=server["encoding"],
                                     source=server["source"] or None)
        try:
            sender.connect()
        except sendrel_send.CannotConnect:
            raise
        except sendrel_send.SendrelError as error:
            error.at_login = True
            raise
        return sender

    def __call__(self, events):
        sender = self.logged_in()
        try:
            for event, payloads in events:
                sender.send(event, payloads)
        except BaseException:
            sender.abandon()
            raise
        sender.close()


class Dispatcher:
    """Sends events in conversations on worker threads, so that a slow server never stalls the
    event loop. A worker takes the requests that wait when it is free into one conversation;
    each of them succeeds or fails with it.

    settings_changed, called on the event loop's thread while a wrong password is held, says
    whether the settings changed (and the conversation took them) since."""

    def __init__(self, conversation, workers, clock=time.monotonic,
                 waiting_max=WAITING_REQUESTS_MAX, settings_changed=lambda: False):
        self._conversation = conversation
        self._jobs = queue.Queue()
        self.clock = clock
        self.waiting_max = waiting_max
        self._settings_changed = settings_changed
        self.last = (clock(), None)  # when the last conversation ended, and its SendrelError
        self._lock = threading.Lock()
        self._held = None  # (the login's failure, answered until this time), or None
        # While the service starts, a wrong password stops it, which the service says itself.
        self.starting = False
        self._threads = [threading.Thread(target=self._work, daemon=True)
                         for _ in range(workers)]
        for thread in self._threads:
            thread.start()

    def held_failure(self, on_loop=True):
        """A copy of the failed login held, or None. The settings are looked at on the event
        loop's thread only."""
        with self._lock:
            held = self._held
        if held is None:
            return None
        error, until = held
        if self.clock() < until and not (on_loop and isinstance(
                error, sendrel_send.WrongPassword) and self._settings_changed()):
            return type(error)(str(error))
        with self._lock:
            if self._held is held:
                self._held = None
        return None

    def send(self, events):
        """A concurrent future of the conversation that sends the events; an empty list only
        logs in."""
        future = concurrent.futures.Future()
        held = self.held_failure()
        if held is not None:
            future.set_exception(held)
            return future
        if self._jobs.qsize() >= self.waiting_max:
            raise Refused("not sent: too many requests wait for the server", 503, "busy")
        self._jobs.put((events, future))
        return future

    def hold(self, error):
        """Remembers a failed login: no other login until LOGIN_BACK_OFF has passed (or, for
        a wrong password, the settings changed)."""
        with self._lock:
            if self._held is None:
                self._held = (error, self.clock() + LOGIN_BACK_OFF)
                if self.starting and isinstance(error, sendrel_send.WrongPassword):
                    return
                log.error("%s; no login to the Sendrel server for %d minutes%s, so that the "
                          "plug-in does not block this address", error, LOGIN_BACK_OFF // 60,
                          " or until the settings change"
                          if isinstance(error, sendrel_send.WrongPassword) else "")

    def _work(self):
        while True:
            job = self._jobs.get()
            if job is None:
                return
            jobs, events = [job], list(job[0])
            while len(events) < EVENTS_PER_CONVERSATION_MAX:
                try:
                    job = self._jobs.get_nowait()
                except queue.Empty:
                    break
                if job is None:
                    self._jobs.put(None)
                    break
                jobs.append(job)
                events.extend(job[0])
            # A request cancelled while it waited is dropped; one under way can no longer be.
            jobs = [job for job in jobs if job[1].set_running_or_notify_cancel()]
            events = [event for job in jobs for event in job[0]]
            error = self._converse(events) if jobs else None
            for _, future in jobs:
                if error:
                    future.set_exception(error)
                else:
                    future.set_result(len(events))

    def _converse(self, events):
        """The conversation's failure, or None; a failed login is held."""
        error = self.held_failure(on_loop=False)
        if error is not None:
            return error
        try:
            self._conversation(events)
        except sendrel_send.SendrelError as failure:
            error = failure
            if getattr(failure, "at_login", False):
                self.hold(failure)
        except Exception as failure:  # a fault of ours: the request must not hang
            log.exception("a conversation failed unexpectedly")
            error = sendrel_send.SendrelError("unexpected failure (%s)" % failure)
        self.last = (self.clock(), error)
        return error

    def close(self):
        for _ in self._threads:
            self._jobs.put(None)
        for thread in self._threads:
            thread.join(30)
