"""What connections may hold: a cap in total and per address, and a deadline for a request's
header and for an idle keep-alive connection. aiohttp has no header time-out of its own, so
its protocol factory is wrapped: each connection is seen made and lost here, and the
service's middleware says when a request is under way on it."""

import asyncio
import collections
import logging
import time

log = logging.getLogger("sendrel-web")

CONNECTIONS_MAX = 2048
CONNECTIONS_PER_ADDRESS_MAX = 64
# Seconds a connection may go without a request under way: for the first request's header,
# and between keep-alive requests.
IDLE_SECONDS = 10.0
SWEEP_SECONDS = 1.0


class Connection:
    __slots__ = ("transport", "peer", "since", "requests")

    def __init__(self, transport, peer, now):
        self.transport, self.peer, self.since, self.requests = transport, peer, now, 0


class Connections:
    """The live connections, on the event loop's thread. A newcomer beyond the total cap
    takes the place of the connection idle the longest (none idle: it is closed at once); one
    beyond its address's cap is closed at once, except from the reverse proxy."""

    def __init__(self, factory, exempt=lambda peer: False, total_max=CONNECTIONS_MAX,
                 per_address_max=CONNECTIONS_PER_ADDRESS_MAX, idle_seconds=IDLE_SECONDS,
                 clock=time.monotonic):
        self.factory, self.exempt = factory, exempt
        self.total_max, self.per_address_max, self.idle = total_max, per_address_max, idle_seconds
        self.clock = clock
        self._live = collections.OrderedDict()  # transport -> Connection, idle longest first
        self._by_address = collections.Counter()
        self._sweeper = None

    def protocol(self):
        return LimitedProtocol(self, self.factory())

    def start(self):
        self._sweeper = asyncio.get_running_loop().call_later(SWEEP_SECONDS, self._sweep)

    def stop(self):
        if self._sweeper:
            self._sweeper.cancel()

    def admit(self, transport):
        """Whether the new connection may stay; counts it when it may."""
        peer = (transport.get_extra_info("peername") or ("?",))[0]
        if self._by_address[peer] >= self.per_address_max and not self.exempt(peer):
            return False
        if len(self._live) >= self.total_max:
            idle = next((c for c in self._live.values() if not c.requests), None)
            if idle is None:
                return False
            self._forget(idle.transport)
            idle.transport.abort()
        self._live[transport] = Connection(transport, peer, self.clock())
        self._by_address[peer] += 1
        return True

    def _forget(self, transport):
        connection = self._live.pop(transport, None)
        if connection:
            self._by_address[connection.peer] -= 1
            if not self._by_address[connection.peer]:
                del self._by_address[connection.peer]

    def lost(self, transport):
        self._forget(transport)

    def request_started(self, transport):
        connection = self._live.get(transport)
        if connection:
            connection.requests += 1

    def request_ended(self, transport):
        connection = self._live.get(transport)
        if connection:
            connection.requests -= 1
            connection.since = self.clock()
            self._live.move_to_end(transport)

    def _sweep(self):
        """Closes the connections without a request under way for longer than the idle
        time: a header that never ends, or a keep-alive connection left open."""
        now = self.clock()
        for connection in list(self._live.values()):
            if now - connection.since <= self.idle:
                break  # the rest went idle later (or are under way)
            if not connection.requests:
                self._forget(connection.transport)
                connection.transport.abort()
        self._sweeper = asyncio.get_running_loop().call_later(SWEEP_SECONDS, self._sweep)

    def __len__(self):
        return len(self._live)


class LimitedProtocol(asyncio.Protocol):
    """aiohttp's protocol for one connection, admitted and counted by Connections."""

    def __init__(self, connections, inner):
        self._connections, self._inner, self._admitted = connections, inner, False
        self._transport = None

    def connection_made(self, transport):
        self._transport = transport
        self._admitted = self._connections.admit(transport)
        if self._admitted:
            self._inner.connection_made(transport)
        else:
            transport.abort()

    def connection_lost(self, error):
        if self._admitted:
            self._connections.lost(self._transport)
            self._inner.connection_lost(error)

    def data_received(self, data):
        if self._admitted:
            self._inner.data_received(data)

    def eof_received(self):
        return self._inner.eof_received() if self._admitted else None

    def pause_writing(self):
        self._inner.pause_writing()

    def resume_writing(self):
        self._inner.resume_writing()
