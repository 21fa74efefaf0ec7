"""The conversations with the Sendrel server, on worker threads off the event loop."""

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


class Dispatcher:
    """Sends events in conversations on worker threads, so that a slow server never stalls the
    event loop. A worker takes the requests that wait when it is free into one conversation;
    each of them succeeds or fails with it."""

    def __init__(self, conversation, workers, clock=time.monotonic):
        self._conversation = conversation
        self._jobs = queue.Queue()
        self.clock = clock
        self.last = (clock(), None)  # when the last conversation ended, and its SendrelError
        self._threads = [threading.Thread(target=self._work, daemon=True)
                         for _ in range(workers)]
        for thread in self._threads:
            thread.start()

    def send(self, events):
        """A concurrent future of the conversation that sends the events; an empty list only
        logs in."""
        if self._jobs.qsize() >= WAITING_REQUESTS_MAX:
            raise Refused("not sent: too many requests wait for the server", 503, "busy")
        future = concurrent.futures.Future()
        self._jobs.put((events, future))
        return future

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
            error = None
            try:
                self._conversation(events)
            except sendrel_send.SendrelError as failure:
                error = failure
            except Exception as failure:  # a fault of ours: the request must not hang
                log.exception("a conversation failed unexpectedly")
                error = sendrel_send.SendrelError("unexpected failure (%s)" % failure)
            self.last = (self.clock(), error)
            for _, future in jobs:
                if error:
                    future.set_exception(error)
                else:
                    future.set_result(len(events))

    def close(self):
        for _ in self._threads:
            self._jobs.put(None)
        for thread in self._threads:
            thread.join(30)


def server_conversation(server):
    """The conversation with the Sendrel server the settings name: log in, the events, the
    closing line and the server's close."""
    def converse(events):
        sendrel_send.send_events(events, server["host"], server["port"], server["password"],
                                 timeout=server["timeout"], encoding=server["encoding"],
                                 source=server["source"] or None)
    return converse
