"""What connections may hold: a cap in total and per address, a deadline for a request's
header and for an idle keep-alive connection, and the bytes a connection may have read ahead.

aiohttp has no header time-out of its own and reads pipelined requests without bound, so its
protocol factory is wrapped: each connection is seen made and lost here, its bytes reach the
parser a piece at a time and only while no parsed request waits and none is worked on, and
the service's middleware says when a request's body is read and when it is answered."""

import asyncio
import collections
import time

from .guard import network_key

CONNECTIONS_MAX = 2048
# Per IPv4 address, or per IPv6 /64 (one home's whole network).
CONNECTIONS_PER_ADDRESS_MAX = 64
# Seconds a connection may wait for a request's header, or stay idle between requests.
IDLE_SECONDS = 10.0
SWEEP_SECONDS = 1.0
# A request's header, all lines together; aiohttp caps each line and the number of lines.
HEADER_BYTES_MAX = 32 * 1024
# What a connection reads at a time, and the pieces the parser gets: it parses at most one
# request ahead of the one answered.
READ_BYTES = 16 * 1024
PIECE_BYTES = 512
AHEAD_BYTES_MAX = 64 * 1024

# Where a connection is: waiting for a request's header or its body (these give way first at
# the cap), a request read and being worked on, or idle between requests.
HEADER, BODY, WORKING, IDLE = "header", "body", "working", "idle"


class Connection:
    __slots__ = ("transport", "protocol", "key", "state", "since")

    def __init__(self, transport, protocol, key, now):
        self.transport, self.protocol, self.key = transport, protocol, key
        self.state, self.since = HEADER, now


class Connections:
    """The live connections, on the event loop's thread. A newcomer beyond its address's cap
    takes the place of that address's connection waiting the longest for a request, except
    from the reverse proxy, which has no cap of its own; beyond the total cap, of the
    connection waiting the longest for a header or a body, else of the one idle the longest.
    With none of these, the newcomer is closed at once. A request being worked on is never
    cut."""

    def __init__(self, factory, exempt=lambda peer: False, total_max=CONNECTIONS_MAX,
                 per_address_max=CONNECTIONS_PER_ADDRESS_MAX, idle_seconds=IDLE_SECONDS,
                 clock=time.monotonic):
        self.factory, self.exempt = factory, exempt
        self.total_max, self.per_address_max, self.idle = total_max, per_address_max, idle_seconds
        self.clock = clock
        self._live = {}  # transport -> Connection
        # Ordered by when they entered their state, the longest first.
        self._waiting = collections.OrderedDict()  # HEADER and BODY
        self._idle = collections.OrderedDict()
        self._by_key = collections.Counter()
        self._sweeper = None

    def protocol(self):
        return LimitedProtocol(self, self.factory())

    def start(self):
        self._sweeper = asyncio.get_running_loop().call_later(SWEEP_SECONDS, self._sweep)

    def stop(self):
        if self._sweeper:
            self._sweeper.cancel()

    def admit(self, transport, protocol):
        """The new connection's record when it may stay, else None."""
        peer = (transport.get_extra_info("peername") or ("?",))[0]
        key = network_key(peer)
        if self._by_key[key] >= self.per_address_max and not self.exempt(peer):
            same = next((c for c in self._waiting.values() if c.key == key), None)
            if same is None:
                return None
            self._cut(same)
        if len(self._live) >= self.total_max:
            given_way = next(iter(self._waiting.values()), None) or \
                next(iter(self._idle.values()), None)
            if given_way is None:
                return None
            self._cut(given_way)
        connection = Connection(transport, protocol, key, self.clock())
        self._live[transport] = connection
        self._waiting[transport] = connection
        self._by_key[key] += 1
        return connection

    def _cut(self, connection):
        self.lost(connection.transport)
        connection.transport.abort()

    def lost(self, transport):
        connection = self._live.pop(transport, None)
        if connection:
            self._waiting.pop(transport, None)
            self._idle.pop(transport, None)
            self._by_key[connection.key] -= 1
            if not self._by_key[connection.key]:
                del self._by_key[connection.key]

    def _enter(self, connection, state):
        connection.state, connection.since = state, self.clock()
        transport = connection.transport
        self._waiting.pop(transport, None)
        self._idle.pop(transport, None)
        if state in (HEADER, BODY):
            self._waiting[transport] = connection
        elif state == IDLE:
            self._idle[transport] = connection

    def _move(self, transport, state):
        connection = self._live.get(transport)
        if connection:
            self._enter(connection, state)
            connection.protocol.feed()

    def request_started(self, transport, has_body):
        """A request's header was read; its body is still to be read when it has one."""
        self._move(transport, BODY if has_body else WORKING)

    def body_read(self, transport):
        self._move(transport, WORKING)

    def request_ended(self, transport, body_read=True):
        """The request was answered; a body left unread is still being drained."""
        self._move(transport, IDLE if body_read else BODY)

    def header_begun(self, connection):
        self._enter(connection, HEADER)

    def header_read(self, connection):
        self._enter(connection, WORKING)

    def _sweep(self):
        """Closes the connections waiting for a header, or idle, for longer than the idle
        time. One waiting for its body is left to its request's own deadline, and a request
        being worked on is never cut, however long the plug-in takes."""
        now = self.clock()
        for queue in (self._waiting, self._idle):
            for connection in list(queue.values()):
                if now - connection.since <= self.idle:
                    break  # the rest entered their state later
                if connection.state != BODY:
                    self._cut(connection)
        self._sweeper = asyncio.get_running_loop().call_later(SWEEP_SECONDS, self._sweep)

    def __len__(self):
        return len(self._live)


class LimitedProtocol(asyncio.Protocol):
    """aiohttp's protocol for one connection, admitted and counted by Connections. What
    arrives is kept here and handed to aiohttp's parser a piece at a time, and only while no
    request it parsed waits for its handler and none is being worked on: a client that sends
    requests without reading the answers fills its own socket, not the service's memory."""

    def __init__(self, connections, inner):
        self._connections, self._inner = connections, inner
        self._transport = self._connection = None
        self._admitted = False
        self._ahead = b""  # arrived, not yet parsed
        self._paused = False  # reading paused here (aiohttp pauses for its own reasons too)
        self._header_bytes = 0

    def connection_made(self, transport):
        self._transport = transport
        if hasattr(transport, "max_size"):  # a plain socket's reads; TLS reads its records
            transport.max_size = READ_BYTES
        self._connection = self._connections.admit(transport, self)
        self._admitted = self._connection is not None
        if self._connection:
            self._inner.connection_made(transport)
        else:
            transport.abort()

    def connection_lost(self, error):
        if self._admitted:
            self._connections.lost(self._transport)
            self._connection = None
            self._inner.connection_lost(error)

    def data_received(self, data):
        if not self._connection:  # refused, or cut
            return
        self._ahead += data
        if self._paused and len(self._ahead) > AHEAD_BYTES_MAX:  # read though paused
            self._connections.lost(self._transport)
            self._transport.abort()
            return
        self.feed()

    def _parsed_waits(self):
        return bool(self._inner._messages) or self._connection.state == WORKING

    def feed(self):
        """Hands the parser what arrived while it may take more, and reads on only then."""
        connection, ahead, fed = self._connection, self._ahead, 0
        while fed < len(ahead) and not self._parsed_waits():
            if connection.state == IDLE:
                self._connections.header_begun(connection)
                self._header_bytes = 0
            piece = ahead[fed:fed + PIECE_BYTES]
            fed += len(piece)
            parsed = self._inner._request_count
            self._inner.data_received(piece)
            if self._inner._request_count != parsed:
                # Its handler starts soon: the connection no longer waits for a header.
                self._header_bytes = 0
                self._connections.header_read(connection)
            elif connection.state == HEADER:
                self._header_bytes += len(piece)
                if self._header_bytes > HEADER_BYTES_MAX:
                    self._connections.lost(self._transport)
                    self._transport.abort()
                    self._connection = None
                    return
        self._ahead = ahead[fed:]
        # Paused only while bytes are held back: a request answered before the next arrives
        # costs no pause.
        held = bool(self._ahead)
        if held != self._paused:
            self._paused = held
            (self._transport.pause_reading if held else self._transport.resume_reading)()

    def eof_received(self):
        return self._inner.eof_received() if self._connection else None

    def pause_writing(self):
        self._inner.pause_writing()

    def resume_writing(self):
        self._inner.resume_writing()
