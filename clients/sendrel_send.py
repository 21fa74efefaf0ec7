#!/usr/bin/env python3
"""Sends event strings with payloads to a Sendrel server.

One file, Python 3.8 or later, standard library only: copy it to any machine that should
send events. As a command it takes the options of event_client and ends with the same exit
codes (see --help):

    python3 sendrel_send.py --host 192.168.1.10 -p kitchen -p 21.5 Temperature

As a module:

    import sendrel_send
    with sendrel_send.Sender("192.168.1.10", password="my-new-password") as sender:
        sender.send("Temperature", ["kitchen", "21.5"])

Sender(host, port, password, timeout, encoding=None, source=None): connect() logs in (again
after a failure or a close: each connection starts clean), send() sends one event with its
payloads (a list of texts, never one bare text), close() ends the conversation and waits
until the server has taken every line. Failures raise the subclasses of SendrelError:
CannotConnect (NothingListens when the port refused the connection), NotAdmitted,
WrongPassword and CloseNotice (the server is stopping); anything else (a lost connection, no
answer) is a plain SendrelError. Each carries the command's exit code in exit_code. A text
the server cannot take (a line feed or a zero byte in it, an event 'close' or 'payload ...',
a text the encoding cannot write) raises ValueError before anything is sent.

encoding: how texts (password, events, payloads) become bytes; the server compares bytes, so
the texts learned in the host must have been sent in the same encoding. The default is what
event_client sends: the ANSI code page on Windows (cp1252 in Western Europe), UTF-8 elsewhere;
a name Python does not know raises LookupError. Bytes are sent as they are.

source: the local address to connect from (by default the system chooses), so that an access
list can be tried from one machine: source="127.0.0.5" reaches a server on 127.0.0.1 from
127.0.0.5.

Installed with pip (pip install . in the project folder) it is the module sendrel_send and
the command sendrel-send.
"""

import codecs
import hashlib
import os
import select
import socket
import sys
import threading
import time

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 1024
DEFAULT_PASSWORD = "ChgThisPw"
# How long the login replies and the server's final close may take before we give up.
REPLY_TIMEOUT = 30.0
# Receives wait in slices this long, so that Ctrl+C reaches a waiting client on Windows, where
# it does not interrupt a blocked receive, and wake() is seen soon.
POLL_INTERVAL = 0.25

GREETING_LINE = b"vellumorchid\n"
ACCEPT_LINE = b"accept"
END_LINE = b"close"
PAYLOAD_PREFIX = b"payload "
# The server's close notice: "close\n" and a zero byte.
CLOSE_NOTICE = b"close\n\0"
PAYLOADS_PER_EVENT = 9
# The server packs the address and the payloads into 1023 bytes, one of which stays free; the
# address takes at most 16 of them.
PAYLOAD_BYTES_MAX = 1022 - 16
# What we keep of bytes the server sends after the login.
KEPT_BYTES_MAX = 4096

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_CANNOT_CONNECT = 2
EXIT_NOT_ADMITTED = 3
EXIT_WRONG_PASSWORD = 4
EXIT_CLOSE_NOTICE = 5
EXIT_FAILED = 6


def default_encoding():
    """What event_client sends: the ANSI code page on Windows, UTF-8 elsewhere."""
    if os.name != "nt":
        return "utf-8"
    import ctypes

    name = "cp%d" % ctypes.windll.kernel32.GetACP()
    try:
        codecs.lookup(name)
    except LookupError:
        return "mbcs"  # the ANSI code page under Python's own name
    return name


DEFAULT_ENCODING = default_encoding()

USAGE = """\
usage: sendrel_send.py [options] [--payload TEXT]... EVENT [[--payload TEXT]... EVENT]...
       sendrel_send.py [options] --interactive

Logs in to a Sendrel server and sends each EVENT as an event string. Every --payload
attaches its TEXT to the next EVENT on the command line, in order (the server keeps at
most nine per event; it adds the client's address as the first payload itself):
    sendrel_send.py -p kitchen -p 21.5 "Temperature" -p off "Lights"

Options:
  -H, --host ADDR       server address or host name (default 127.0.0.1)
  -P, --port N          server port (default 1024)
  -S, --source ADDR     connect from this local address (default: the system chooses)
  -w, --password TEXT   login password (default ChgThisPw)
  -e, --encoding NAME   how the password, EVENTs and payloads become bytes (default %s);
                        the server compares bytes, so learned events must agree
  -p, --payload TEXT    a payload for the next EVENT
  -i, --interactive     after the EVENTs, send each line of standard input as it is
                        (so 'payload TEXT' lines attach payloads); the line 'close' or
                        the end of input ends the conversation
  -s, --stay            after the EVENTs, stay connected until the server closes the
                        connection (it sends its close notice when it stops)
  -h, --help            show this text

Exit codes: 0 sent and closed; 1 wrong usage; 2 cannot connect (refused, unknown host);
3 not admitted (the server closed before its login challenge: blocked address);
4 wrong password (the server closed without accepting the login); 5 the server sent its
close notice (it is stopping); 6 any other failure (lost connection, no answer).
""" % DEFAULT_ENCODING


class SendrelError(Exception):
    """A conversation that failed; exit_code is the command's code for it."""

    exit_code = EXIT_FAILED


class CannotConnect(SendrelError):
    exit_code = EXIT_CANNOT_CONNECT


class NothingListens(CannotConnect):
    """The server's machine refused the connection: no server listens on the port now."""


class NotAdmitted(SendrelError):
    exit_code = EXIT_NOT_ADMITTED


class WrongPassword(SendrelError):
    exit_code = EXIT_WRONG_PASSWORD


class CloseNotice(SendrelError):
    exit_code = EXIT_CLOSE_NOTICE


def as_bytes(text, encoding="utf-8"):
    """Bytes as they are; a text in the encoding (undecodable command-line bytes kept as
    given)."""
    if isinstance(text, bytes):
        return text
    return text.encode(encoding, "surrogateescape")


def text_problem(data, is_event):
    """Why the server would not take these bytes (or this text, as UTF-8) as one event (or
    payload), or None."""
    data = as_bytes(data)
    if b"\n" in data:
        return "it holds a line feed, which ends a line"
    if b"\0" in data:
        return "it holds a zero byte, after which the server loses what arrives with it"
    if not is_event:
        return None
    if data == END_LINE:
        return "the server takes the line 'close' as the end of the conversation"
    if data.startswith(PAYLOAD_PREFIX):
        return "a line that begins with 'payload ' is a payload, not an event"
    return None


def encoded(text, kind, encoding, is_event=False):
    """The bytes of text (bytes as they are) as one line of the given kind; raises ValueError
    for what the server cannot take."""
    try:
        data = as_bytes(text, encoding)
    except UnicodeEncodeError:
        raise ValueError('cannot send the %s "%s": %s cannot write it (see --encoding)'
                         % (kind, text, encoding)) from None
    problem = text_problem(data, is_event)
    if problem:
        raise ValueError('cannot send the %s "%s": %s' % (kind, text, problem))
    return data


def payload_list(payloads):
    """payloads as a list; one bare text is refused, not taken letter by letter."""
    if isinstance(payloads, (str, bytes)):
        raise ValueError('the payloads must be a list of texts, not the one text "%s" (write '
                         '["%s"] for a single payload)' % (payloads, payloads))
    return list(payloads)


def payload_warnings(event, payloads, encoding="utf-8"):
    """What the server will drop of these payloads, as warning texts."""
    warnings = []
    if len(payloads) > PAYLOADS_PER_EVENT:
        warnings.append('the server keeps only the first nine payloads of "%s"' % event)
    kept = payloads[:PAYLOADS_PER_EVENT]
    if sum(len(as_bytes(p, encoding)) + 1 for p in kept) > PAYLOAD_BYTES_MAX:
        warnings.append('the payloads of "%s" are too long together; the server may drop '
                        "the event" % event)
    return warnings


def ipv4_address(host):
    """The first IPv4 address of host (a name or a dotted address); raises OSError."""
    try:
        return socket.getaddrinfo(host, 0, socket.AF_INET, socket.SOCK_STREAM)[0][4][0]
    except UnicodeError:
        raise socket.gaierror("not a host name") from None


def readable(connection, seconds):
    """True once the connection has bytes, its end or an error to read, within seconds."""
    if hasattr(select, "poll"):  # select() cannot watch a descriptor numbered 1024 or more
        watch = select.poll()
        watch.register(connection, select.POLLIN)
        return bool(watch.poll(seconds * 1000))
    return bool(select.select([connection], [], [], seconds)[0])


class Sender:
    """One conversation at a time with a Sendrel server: connect() logs in, send() sends
    events, close() ends it; connect() may follow again. Also a context manager that connects
    and closes. One thread at a time, except that wait() may run beside send_line() and
    wake()."""

    def __init__(self, host=DEFAULT_HOST, port=DEFAULT_PORT, password=DEFAULT_PASSWORD,
                 timeout=REPLY_TIMEOUT, encoding=None, source=None):
        self.host = host
        self.port = port
        self.password = password
        self.timeout = timeout
        self.encoding = encoding or DEFAULT_ENCODING
        codecs.lookup(self.encoding)  # LookupError for a name Python does not know
        self.source = source
        # Bytes the server sent after the login other than its close notice.
        self.unexpected = b""
        self._socket = None
        # Bytes received and not read yet: what came behind "accept" belongs to what follows.
        self._received = b""
        self._woken = threading.Event()

    @property
    def where(self):
        return "%s:%d" % (self.host, self.port)

    def __enter__(self):
        self.connect()
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.close()
        else:
            self.abandon()
        return False

    def connect(self):
        """Connects and logs in; raises CannotConnect, NotAdmitted, WrongPassword or
        SendrelError (ValueError for a password the encoding cannot write)."""
        self.abandon()
        self.unexpected = b""
        self._received = b""
        self._woken.clear()
        password = encoded(self.password, "password", self.encoding)
        try:
            address = ipv4_address(self.host)
        except OSError:
            raise CannotConnect("unknown host %s (no IPv4 address found)" % self.host) from None
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._socket = connection
        connection.settimeout(self.timeout)
        # The server answers no event, so its acknowledgement of the last one is delayed: with
        # the line-end delay on, the closing line would wait for it, some 40 ms a conversation.
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.source is not None:
            try:
                connection.bind((ipv4_address(self.source), 0))
            except OSError as error:
                self.abandon()
                raise CannotConnect("cannot connect from %s (%s)" % (self.source, error)) from None
        try:
            connection.connect((address, self.port))
        except ConnectionRefusedError:
            self.abandon()
            raise NothingListens("connection refused by %s: no server is listening on that port"
                                % self.where) from None
        except OSError as error:
            self.abandon()
            raise CannotConnect("cannot connect to %s (%s)" % (self.where, error)) from None
        try:
            self._log_in(password)
        except BaseException:  # a failure, or Ctrl+C during the login
            self.abandon()
            raise

    def _log_in(self, password):
        # A server that has already closed (a blocked address) may reset the greeting: that is
        # read as a refusal below, so the send's own failure does not matter.
        try:
            self._socket.sendall(GREETING_LINE)
        except OSError:
            pass
        cookie = self._read_line(
            "no login challenge from %s within %d s" % (self.where, self.timeout),
            NotAdmitted("not admitted: %s closed the connection before its login challenge "
                        "(this address is not allowed, or blocked after a failed login)"
                        % self.where))
        if len(cookie) != 4 or any(c not in b"0123456789abcdefABCDEF" for c in cookie):
            raise SendrelError("unexpected login challenge from %s (is it a Sendrel server?)"
                               % self.where)
        answer = hashlib.md5(cookie.lower() + b":" + password).hexdigest()
        try:
            self._socket.sendall(answer.encode("ascii") + b"\n")
        except OSError:
            raise SendrelError("the connection to %s was lost during the login"
                               % self.where) from None
        reply = self._read_line(
            "no answer to the login from %s within %d s" % (self.where, self.timeout),
            WrongPassword("wrong password: %s closed the connection without accepting the login "
                          "(after a failed login the server refuses this address for a few "
                          "seconds)" % self.where))
        if reply != ACCEPT_LINE:
            raise SendrelError('unexpected answer to the login from %s: "%s"'
                               % (self.where, reply.decode("latin-1")))

    def _receive(self, deadline):
        """The next bytes from the server (b"" when it closed), or None when the deadline
        (a time.monotonic() value, or None) passed or wake() was called; raises OSError."""
        while not self._woken.is_set():
            left = POLL_INTERVAL if deadline is None else deadline - time.monotonic()
            if left <= 0:
                return None
            if readable(self._socket, min(left, POLL_INTERVAL)):
                return self._socket.recv(1024)
        return None

    def _read_line(self, timed_out_text, closed_error):
        """The next line from the server, without its line feed."""
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        while b"\n" not in self._received:
            if len(self._received) > KEPT_BYTES_MAX:
                raise SendrelError("unexpected login reply from %s" % self.where)
            try:
                chunk = self._receive(deadline)
            except OSError:
                raise closed_error from None
            if chunk is None:
                raise SendrelError(timed_out_text)
            if not chunk:
                raise closed_error
            self._received += chunk
        line, _, self._received = self._received.partition(b"\n")
        return line

    def _send(self, data):
        try:
            self._socket.sendall(data)
        except OSError as error:
            raise SendrelError("the connection to %s was lost (%s)"
                               % (self.where, error)) from None

    def send_line(self, line):
        """Sends one line as it is (a payload line, an event or the end line); raises
        ValueError for a line feed or a zero byte in it."""
        self._send(encoded(line, "line", self.encoding) + b"\n")

    def send(self, event, payloads=()):
        """Sends one event with its payloads, a list of texts (the server keeps nine at
        most); raises ValueError, before sending anything, for what the server cannot take."""
        lines = [PAYLOAD_PREFIX + encoded(p, "payload", self.encoding)
                 for p in payload_list(payloads)]
        lines.append(encoded(event, "event", self.encoding, is_event=True))
        self._send(b"\n".join(lines) + b"\n")

    def wait(self, timeout=None):
        """Reads until the server closes the connection (for ever when timeout is None, until
        wake() is called). Returns when it closed without a notice; raises CloseNotice when it
        sent its close notice, SendrelError when the connection failed or the time passed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        received, self._received = self._received, b""
        failure = None
        while True:
            try:
                chunk = self._receive(deadline)
            except OSError as error:
                failure = SendrelError("the connection to %s was lost (%s)" % (self.where, error))
                break
            if chunk is None:
                failure = SendrelError("the server at %s did not close the connection within "
                                       "%d s" % (self.where, timeout or 0))
                break
            if not chunk:
                break
            received += chunk[:max(0, KEPT_BYTES_MAX - len(received))]
        # The notice is the only thing the server sends after "accept"; a reset right behind
        # it does not make it less of a notice.
        notice = received.startswith(CLOSE_NOTICE[:-1])
        if notice:
            whole = received.startswith(CLOSE_NOTICE)
            received = received[len(CLOSE_NOTICE) if whole else len(CLOSE_NOTICE) - 1:]
        self.unexpected = received
        if notice:
            raise CloseNotice("the server at %s is stopping: it sent its close notice and "
                              "closed the connection" % self.where)
        if failure:
            raise failure

    def heard_within(self, seconds):
        """Whether the server sent something or closed the connection within seconds, left
        unread: wait() reads it and tells what it was (the close notice, when it stops)."""
        return bool(self._received) or readable(self._socket, seconds)

    def close(self):
        """Sends the end line and waits until the server has closed the connection, which
        tells that it has taken every line sent before. When the end line cannot be sent, the
        server's end still tells why (its close notice, most likely)."""
        try:
            try:
                self.send_line(END_LINE)
            except SendrelError as error:
                self.wait(self.timeout)
                raise error from None
            self.wait(self.timeout)
        finally:
            self.abandon()

    def abandon(self):
        """Closes the connection without ending the conversation."""
        if self._socket is not None:
            self._socket.close()
            self._socket = None

    def wake(self):
        """Ends a wait() on another thread within a fraction of a second."""
        self._woken.set()


def send_events(events, host=DEFAULT_HOST, port=DEFAULT_PORT, password=DEFAULT_PASSWORD,
                **options):
    """Logs in, sends each event (a text, or a text and its list of payloads) and closes.
    options: those of Sender (timeout, encoding, source)."""
    with Sender(host, port, password, **options) as sender:
        for event in events:
            if isinstance(event, (str, bytes)):
                sender.send(event)
            else:
                sender.send(event[0], event[1])


# ---- the command ----------------------------------------------------------------------------


def write_out(stream, text):
    """Writes text to the stream, with replacement characters for what its encoding cannot
    write; a closed output is ignored (the conversation goes on). Returns nothing."""
    try:
        encoding = stream.encoding or "utf-8"
        stream.write(text.encode(encoding, "replace").decode(encoding, "replace"))
        stream.flush()
    except (AttributeError, ValueError):
        pass  # no stream (a program without a console), or one that is closed
    except OSError:
        # A pipe whose reader has gone: write the rest, and the flush at exit, to nowhere.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass


def report(text):
    write_out(sys.stdout, "")
    write_out(sys.stderr, "sendrel_send: %s\n" % text)


def say(text):
    write_out(sys.stdout, text + "\n")


class Usage(Exception):
    """The command line cannot be used; the text says why (exit code 1)."""


def parse_options(arguments):
    """The options as a dict, or None when --help was asked for; raises Usage."""
    options = {"host": DEFAULT_HOST, "port": DEFAULT_PORT, "password": DEFAULT_PASSWORD,
               "encoding": DEFAULT_ENCODING, "source": None, "events": [],
               "interactive": False, "stay": False}
    pending = []
    options_done = False
    position = 0
    while position < len(arguments):
        argument = arguments[position]
        position += 1

        def value():
            nonlocal position
            if position >= len(arguments):
                raise Usage("option %s needs a value (see --help)" % argument)
            position += 1
            return arguments[position - 1]

        if options_done or not argument.startswith("-") or argument == "-":
            options["events"].append((argument, pending))
            pending = []
        elif argument == "--":
            options_done = True
        elif argument in ("-h", "--help"):
            return None
        elif argument in ("-H", "--host"):
            options["host"] = value()
        elif argument in ("-P", "--port"):
            text = value()
            if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= 65535:
                raise Usage("not a port number (1 to 65535): %s" % text)
            options["port"] = int(text)
        elif argument in ("-S", "--source"):
            options["source"] = value()
        elif argument in ("-w", "--password"):
            options["password"] = value()
        elif argument in ("-e", "--encoding"):
            options["encoding"] = value()
        elif argument in ("-p", "--payload"):
            pending.append(value())
        elif argument in ("-i", "--interactive"):
            options["interactive"] = True
        elif argument in ("-s", "--stay"):
            options["stay"] = True
        else:
            raise Usage("unknown option %s (see --help)" % argument)
    if pending:
        raise Usage("--payload must come before the EVENT it belongs to; the last ones have no "
                    "event")
    if options["interactive"] and options["stay"]:
        raise Usage("--interactive and --stay do not go together")
    if not options["events"] and not options["interactive"] and not options["stay"]:
        raise Usage("no EVENT to send (see --help)")
    # The texts are checked as the bytes they become, once the encoding is known.
    encoding = options["encoding"]
    try:
        codecs.lookup(encoding)
        encoded(options["password"], "password", encoding)
        for event, payloads in options["events"]:
            encoded(event, "event", encoding, is_event=True)
            for payload in payloads:
                encoded(payload, "payload", encoding)
    except LookupError:
        raise Usage("unknown encoding %s" % encoding) from None
    except ValueError as error:
        raise Usage(str(error)) from None
    return options


def wait_for_end(sender, timeout=None):
    """wait(), for a conversation we have not ended: a close without the notice fails too."""
    sender.wait(timeout)
    raise SendrelError("the server at %s closed the connection" % sender.where)


def ending(step):
    """The SendrelError that step ended with, or None."""
    try:
        step()
    except SendrelError as error:
        return error
    return None


def conclude(sender, error):
    """Reports how the conversation ended; returns the exit code."""
    if sender.unexpected:
        report("warning: %d unexpected bytes from %s" % (len(sender.unexpected), sender.where))
    if error is None:
        return EXIT_OK
    report(str(error))
    return error.exit_code


def run_interactive(sender):
    """Sends each line of standard input as it is, while a thread of its own watches the
    server, so that a close notice is reported as soon as it arrives."""
    end_line_sent = threading.Event()
    outcome = []

    def watch():
        error = ending(sender.wait)
        if not end_line_sent.is_set():
            # The server ended the conversation while we still read input: report it now
            # rather than after the user's next line; the main thread is blocked reading.
            error = error or SendrelError("the server at %s closed the connection"
                                          % sender.where)
            code = conclude(sender, error)
            write_out(sys.stdout, "")
            os._exit(code)
        outcome.append(error)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        for number, line in enumerate(sys.stdin.buffer, 1):
            line = line[:-1] if line.endswith(b"\n") else line
            if line.endswith(b"\r"):
                line = line[:-1]
            if line == END_LINE:
                break
            problem = text_problem(line, False)
            if problem:
                report("warning: input line %d not sent: %s" % (number, problem))
                continue
            sender.send_line(line)
        end_line_sent.set()
        sender.send_line(END_LINE)
    except SendrelError:
        end_line_sent.set()
    watcher.join(sender.timeout)
    if watcher.is_alive():
        sender.wake()
        watcher.join(POLL_INTERVAL * 8)
        outcome[:] = [SendrelError("the server at %s did not close the connection within %d s"
                                   % (sender.where, sender.timeout))]
    sender.abandon()
    return conclude(sender, outcome[0] if outcome else None)


def run(options):
    sender = Sender(options["host"], options["port"], options["password"],
                    encoding=options["encoding"], source=options["source"])
    try:
        sender.connect()
    except SendrelError as error:
        report(str(error))
        return error.exit_code
    say("logged in to " + sender.where)
    # The first event goes only now: anything sent with the login answer would be lost.
    try:
        for event, payloads in options["events"]:
            for warning in payload_warnings(event, payloads, sender.encoding):
                report("warning: " + warning)
            sender.send(event, payloads)
            say('sent event "%s" with %d payload%s'
                % (event, len(payloads), "" if len(payloads) == 1 else "s"))
    except SendrelError:
        # The server's end tells why the send failed (a close notice, most likely).
        error = ending(lambda: wait_for_end(sender, sender.timeout))
    else:
        if options["interactive"]:
            return run_interactive(sender)
        if options["stay"]:
            say("staying connected until the server closes the connection")
            error = ending(lambda: wait_for_end(sender))
        else:
            error = ending(sender.close)
    sender.abandon()
    return conclude(sender, error)


def main(arguments=None):
    try:
        options = parse_options(sys.argv[1:] if arguments is None else arguments)
    except Usage as error:
        report(str(error))
        return EXIT_USAGE
    if options is None:
        write_out(sys.stdout, USAGE)
        return EXIT_OK
    try:
        return run(options)
    except KeyboardInterrupt:
        report("interrupted")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
