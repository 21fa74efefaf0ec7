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

Sender.connect() logs in, send() sends one event with its payloads, close() ends the
conversation and waits until the server has taken every line. Failures raise the subclasses
of SendrelError: CannotConnect, NotAdmitted, WrongPassword and CloseNotice (the server is
stopping); anything else (a lost connection, no answer) is a plain SendrelError. Each carries
the command's exit code in exit_code. Texts are sent as UTF-8; bytes are sent as they are.
"""

import hashlib
import os
import socket
import sys
import threading

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 1024
DEFAULT_PASSWORD = "ChgThisPw"
# How long the login replies and the server's final close may take before we give up.
REPLY_TIMEOUT = 30.0

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

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_CANNOT_CONNECT = 2
EXIT_NOT_ADMITTED = 3
EXIT_WRONG_PASSWORD = 4
EXIT_CLOSE_NOTICE = 5
EXIT_FAILED = 6

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
  -w, --password TEXT   login password (default ChgThisPw)
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
"""


class SendrelError(Exception):
    """A conversation that failed; exit_code is the command's code for it."""

    exit_code = EXIT_FAILED


class CannotConnect(SendrelError):
    exit_code = EXIT_CANNOT_CONNECT


class NotAdmitted(SendrelError):
    exit_code = EXIT_NOT_ADMITTED


class WrongPassword(SendrelError):
    exit_code = EXIT_WRONG_PASSWORD


class CloseNotice(SendrelError):
    exit_code = EXIT_CLOSE_NOTICE


def as_bytes(text):
    """Bytes as they are; a text as UTF-8 (undecodable command-line bytes kept as given)."""
    if isinstance(text, bytes):
        return text
    return text.encode("utf-8", "surrogateescape")


def text_problem(text, is_event):
    """Why the server would not take text as one event (or payload), or None."""
    text = as_bytes(text)
    if b"\n" in text:
        return "it holds a line feed, which ends a line"
    if not is_event:
        return None
    if text == END_LINE:
        return "the server takes the line 'close' as the end of the conversation"
    if text.startswith(PAYLOAD_PREFIX):
        return "a line that begins with 'payload ' is a payload, not an event"
    return None


def payload_warnings(event, payloads):
    """What the server will drop of these payloads, as warning texts."""
    warnings = []
    if len(payloads) > PAYLOADS_PER_EVENT:
        warnings.append('the server keeps only the first nine payloads of "%s"' % event)
    kept = payloads[:PAYLOADS_PER_EVENT]
    if sum(len(as_bytes(p)) + 1 for p in kept) > PAYLOAD_BYTES_MAX:
        warnings.append('the payloads of "%s" are too long together; the server may drop '
                        "the event" % event)
    return warnings


class Sender:
    """One conversation with a Sendrel server: connect() logs in, send() sends events,
    close() ends it. Also a context manager that connects and closes. One thread at a time,
    except that wait() may run beside send_line()."""

    def __init__(self, host=DEFAULT_HOST, port=DEFAULT_PORT, password=DEFAULT_PASSWORD,
                 timeout=REPLY_TIMEOUT):
        self.host = host
        self.port = port
        self.password = password
        self.timeout = timeout
        # Bytes the server sent after the login other than its close notice.
        self.unexpected = b""
        self._socket = None
        self._received = b""

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
        SendrelError."""
        try:
            addresses = socket.getaddrinfo(self.host, self.port, socket.AF_INET,
                                           socket.SOCK_STREAM)
        except (socket.gaierror, UnicodeError):
            raise CannotConnect("unknown host %s (no IPv4 address found)" % self.host) from None
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        connection.settimeout(self.timeout)
        try:
            connection.connect(addresses[0][4])
        except ConnectionRefusedError:
            connection.close()
            raise CannotConnect("connection refused by %s: no server is listening on that port"
                                % self.where) from None
        except OSError as error:
            connection.close()
            raise CannotConnect("cannot connect to %s (%s)" % (self.where, error)) from None
        self._socket = connection
        try:
            self._log_in()
        except SendrelError:
            self.abandon()
            raise

    def _log_in(self):
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
        answer = hashlib.md5(cookie.lower() + b":" + as_bytes(self.password)).hexdigest()
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

    def _read_line(self, timed_out_text, closed_error):
        """The next line from the server, without its line feed."""
        while b"\n" not in self._received:
            if len(self._received) > 4096:
                raise SendrelError("unexpected login reply from %s" % self.where)
            try:
                chunk = self._socket.recv(1024)
            except socket.timeout:
                raise SendrelError(timed_out_text) from None
            except OSError:
                raise closed_error from None
            if not chunk:
                raise closed_error
            self._received += chunk
        line, _, self._received = self._received.partition(b"\n")
        return line

    def send_line(self, line):
        """Sends one line as it is (a payload line, an event or the end line)."""
        try:
            self._socket.sendall(as_bytes(line) + b"\n")
        except OSError as error:
            raise SendrelError("the connection to %s was lost (%s)"
                               % (self.where, error)) from None

    def send(self, event, payloads=()):
        """Sends one event with its payloads (the server keeps nine at most)."""
        payloads = list(payloads)
        for text, is_event in [(event, True)] + [(p, False) for p in payloads]:
            problem = text_problem(text, is_event)
            if problem:
                raise ValueError('cannot send the %s "%s": %s'
                                 % ("event" if is_event else "payload", text, problem))
        lines = b"".join(PAYLOAD_PREFIX + as_bytes(p) + b"\n" for p in payloads)
        try:
            self._socket.sendall(lines + as_bytes(event) + b"\n")
        except OSError as error:
            raise SendrelError("the connection to %s was lost (%s)"
                               % (self.where, error)) from None

    def wait(self, timeout=None):
        """Reads until the server closes the connection (for ever when timeout is None).
        Returns when it closed without a notice; raises CloseNotice when it sent its close
        notice, SendrelError when the connection failed or the time passed."""
        self._socket.settimeout(timeout)
        received = b""
        failure = None
        while True:
            try:
                chunk = self._socket.recv(1024)
            except socket.timeout:
                failure = SendrelError("the server at %s did not close the connection within "
                                       "%d s" % (self.where, timeout))
                break
            except OSError as error:
                failure = SendrelError("the connection to %s was lost (%s)" % (self.where, error))
                break
            if not chunk:
                break
            received = (received + chunk)[-4096:]
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

    def close(self):
        """Sends the end line and waits until the server has closed the connection, which
        tells that it has taken every line sent before."""
        try:
            self.send_line(END_LINE)
            self.wait(self.timeout)
        finally:
            self.abandon()

    def abandon(self):
        """Closes the connection without ending the conversation."""
        if self._socket is not None:
            self._socket.close()
            self._socket = None

    def wake(self):
        """Ends a wait() on another thread: shuts the connection down in both directions."""
        try:
            self._socket.shutdown(socket.SHUT_RDWR)
        except (OSError, AttributeError):
            pass


def send_events(events, host=DEFAULT_HOST, port=DEFAULT_PORT, password=DEFAULT_PASSWORD):
    """Logs in, sends each event (a text, or a text and its payloads) and closes."""
    with Sender(host, port, password) as sender:
        for event in events:
            if isinstance(event, (str, bytes)):
                sender.send(event)
            else:
                sender.send(event[0], event[1])


# ---- the command ----------------------------------------------------------------------------


def report(text):
    sys.stdout.flush()
    sys.stderr.write("sendrel_send: %s\n" % text)
    sys.stderr.flush()


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class Usage(Exception):
    """The command line cannot be used; the text says why (exit code 1)."""


def parse_options(arguments):
    """The options as a dict, or None when --help was asked for; raises Usage."""
    options = {"host": DEFAULT_HOST, "port": DEFAULT_PORT, "password": DEFAULT_PASSWORD,
               "events": [], "interactive": False, "stay": False}
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
            problem = text_problem(argument, True)
            if problem:
                raise Usage('cannot send the event "%s": %s' % (argument, problem))
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
        elif argument in ("-w", "--password"):
            options["password"] = value()
        elif argument in ("-p", "--payload"):
            text = value()
            problem = text_problem(text, False)
            if problem:
                raise Usage('cannot send the payload "%s": %s' % (text, problem))
            pending.append(text)
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
            sys.stdout.flush()
            os._exit(code)
        outcome.append(error)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    end_typed = False
    try:
        for line in sys.stdin.buffer:
            line = line.rstrip(b"\n")
            if line.endswith(b"\r"):
                line = line[:-1]
            end_typed = line == END_LINE
            if end_typed:
                end_line_sent.set()
            sender.send_line(line)
            if end_typed:
                break
        end_line_sent.set()
        if not end_typed:
            sender.send_line(END_LINE)
    except SendrelError:
        end_line_sent.set()
    watcher.join(REPLY_TIMEOUT)
    if watcher.is_alive():
        # Shutting the connection down wakes the watcher if the server never closes its side.
        sender.wake()
        watcher.join()
        outcome[:] = [SendrelError("the server at %s did not close the connection within %d s"
                                   % (sender.where, REPLY_TIMEOUT))]
    sender.abandon()
    return conclude(sender, outcome[0])


def run(options):
    sender = Sender(options["host"], options["port"], options["password"])
    try:
        sender.connect()
    except SendrelError as error:
        report(str(error))
        return error.exit_code
    say("logged in to " + sender.where)
    # The first event goes only now: anything sent with the login answer would be lost.
    try:
        for event, payloads in options["events"]:
            for warning in payload_warnings(event, payloads):
                report("warning: " + warning)
            sender.send(event, payloads)
            say('sent event "%s" with %d payload%s'
                % (event, len(payloads), "" if len(payloads) == 1 else "s"))
    except SendrelError:
        # The server's end tells why the send failed (a close notice, most likely).
        error = ending(lambda: wait_for_end(sender, REPLY_TIMEOUT))
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
        sys.stdout.write(USAGE)
        return EXIT_OK
    try:
        return run(options)
    except KeyboardInterrupt:
        report("interrupted")
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
