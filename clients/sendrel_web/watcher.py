"""Whether the plug-in takes events, learned without a login for every question: while a page
asks, one logged-in conversation is held open, on a thread of its own. The plug-in sends its
close notice on it when it stops; a refused connection then tells that nothing listens, at no
cost to the plug-in, until a login succeeds again. A page open for an hour costs a login per
start of the plug-in, not one every few seconds, and sees a stop or a start within a second.

The held conversation sends no event and never ends one: events keep their conversation each
(dispatcher.py)."""

import asyncio
import threading
import time

import sendrel_send

# The conversation is held this long after the last question, then ended.
WATCH_SECONDS = 60.0
# How often a connection is tried while nothing listens (a refused connection is no login),
# and how often the held one is looked at.
RETRY_SECONDS = 0.5
LOOK_SECONDS = 0.25
# After a held conversation ended without a close notice, the next login waits this long,
# doubled at each such end in a row, so that a plug-in that ends them is not logged in to
# again and again.
AGAIN_SECONDS, AGAIN_SECONDS_MAX = 1.0, 60.0

UP = "up"


class Watcher:
    """state: None while nothing is known (no page asks), UP, or the SendrelError of the last
    try; changed: when it was last set. The dispatcher's held login failure is honoured: no
    login while it holds one."""

    def __init__(self, conversation, dispatcher, clock=time.monotonic):
        self._conversation, self._dispatcher, self.clock = conversation, dispatcher, clock
        self.state, self.changed = None, clock()
        self._asked = None
        self._lock = threading.Lock()
        self._nudge = threading.Event()  # a question after a quiet spell
        self._closing = threading.Event()
        self._thread = None
        self._waiters = []  # (loop, future) of the questions waiting for a first state
        self._ends_in_a_row = 0

    async def known(self, timeout):
        """The plug-in's state (UP or its failure), once known; None when not in time. Keeps
        the conversation held for WATCH_SECONDS more."""
        self._asked = self.clock()
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, daemon=True,
                                            name="sendrel-web-watcher")
            self._thread.start()
        self._nudge.set()
        if self.state is not None:
            return self.state
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        with self._lock:
            self._waiters.append((loop, future))
        if self.state is not None:
            return self.state
        try:
            await asyncio.wait_for(asyncio.shield(future), timeout)
        except asyncio.TimeoutError:
            pass
        return self.state

    def _set(self, state):
        self.state, self.changed = state, self.clock()
        with self._lock:
            waiters, self._waiters = self._waiters, []
        for loop, future in waiters:
            loop.call_soon_threadsafe(lambda f=future: f.done() or f.set_result(None))

    def _wanted(self):
        return not self._closing.is_set() and self._asked is not None and \
            self.clock() - self._asked <= WATCH_SECONDS

    def _run(self):
        while not self._closing.is_set():
            if not self._wanted():
                self.state = None
                self._nudge.clear()
                if not self._wanted():
                    self._nudge.wait()
                continue
            self._closing.wait(self._watch_once())

    def _watch_once(self):
        """One login and the conversation held while it is wanted; returns the seconds to
        wait before the next try."""
        held = self._dispatcher.held_failure(on_loop=False)
        if held is not None:
            self._set(held)
            return RETRY_SECONDS
        try:
            sender = self._conversation.logged_in()
        except sendrel_send.SendrelError as error:
            if getattr(error, "at_login", False):
                self._dispatcher.hold(error)
            self._set(error)
            return RETRY_SECONDS
        self._set(UP)
        try:
            while self._wanted():
                if sender.heard_within(LOOK_SECONDS):
                    return self._ended(sender)
            sender.close()  # no page asks any more, or the service stops
        except sendrel_send.SendrelError:
            pass
        finally:
            sender.abandon()
        self._ends_in_a_row = 0
        return 0

    def _ended(self, sender):
        """The server ended the held conversation: its close notice, or another end."""
        try:
            sender.wait(sender.timeout)
            error = sendrel_send.SendrelError("the Sendrel server at %s ended the conversation"
                                              % sender.where)
        except sendrel_send.CloseNotice as notice:
            self._set(notice)
            self._ends_in_a_row = 0
            return RETRY_SECONDS
        except sendrel_send.SendrelError as failure:
            error = failure
        self._set(error)
        self._ends_in_a_row += 1
        return min(AGAIN_SECONDS_MAX, AGAIN_SECONDS * 2 ** (self._ends_in_a_row - 1))

    def close(self):
        self._closing.set()
        self._nudge.set()
        if self._thread is not None:
            self._thread.join(30)
