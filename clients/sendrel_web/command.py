"""The command line: sendrel-web stores a token or the page's password, makes a certificate, or
serves."""

import asyncio
import logging
import os
import signal
import sys

import sendrel_send
import sendrel_settings
from sendrel_settings import Usage

from .credentials import Secrets, read_new_password
from .remembered import Remembered, sessions_path
from .settings import is_loopback, listen_address, parse_settings

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_FAILED = sendrel_send.EXIT_FAILED

log = logging.getLogger("sendrel-web")


def run_service(settings, server):
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)  # before Python 3.10 the event takes the current loop
    stopping = asyncio.Event()
    for name in ("SIGTERM", "SIGINT", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name),
                          lambda number, frame: loop.call_soon_threadsafe(stopping.set))
    try:
        return loop.run_until_complete(server.serve(settings, stopping))
    finally:
        loop.close()


def make_certificate(settings):
    """--make-certificate: the certificate and key for where the service listens, and what to
    do with them."""
    from . import certificate
    web_settings = settings["web"]
    cert, key = web_settings["cert"], web_settings["key"]
    host, _ = listen_address(web_settings["listen"])
    try:
        names = certificate.make_certificate(
            certificate.names_to_hold(host, web_settings["hosts"]), cert, key)
    except ImportError:  # before anything is written
        raise sendrel_settings.missing_library("cryptography", "command",
                                               "python3-cryptography", "cryptography") from None
    except FileExistsError as error:
        raise Usage("%s exists: to make a new certificate, remove %s and %s first (and then "
                    "put the new certificate on each phone)" % (error, cert, key)) from None
    sys.stdout.write("wrote the certificate %s (valid %d days) and its private key %s (keep "
                     "it on this machine) for: %s\n"
                     % (cert, certificate.VALID_DAYS, key, ", ".join(names)))
    if is_loopback(host):
        sys.stdout.write("the service listens on %s only: for phones, set listen = "
                         "\"0.0.0.0:8443\" in [web], remove both files and make them again\n"
                         % host)
    folder = os.path.dirname(settings["config"] or "") or "."
    sys.stdout.write("the service serves HTTPS with them when [web] of its settings says "
                     "cert = \"%s\" and key = \"%s\"; put %s on each phone and trust it there\n"
                     % (os.path.relpath(cert, folder), os.path.relpath(key, folder),
                        os.path.basename(cert)))
    return EXIT_OK


def main(arguments=None):
    try:
        settings = parse_settings(sys.argv[1:] if arguments is None else arguments)
        command, name = settings["command"]
        store = Secrets(settings["web"]["secrets"])
        if command == "new-token":
            token = store.add_token(name)
            sys.stdout.write("API token %s stored in %s as a hash; this is the only time it is "
                             "shown:\n%s\n" % (name, store.path, token))
            return EXIT_OK
        if command == "list-tokens":
            names = store.token_names()
            sys.stdout.write("".join(name + "\n" for name in names) if names else
                             "no API tokens in %s\n" % store.path)
            return EXIT_OK
        if command == "revoke-token":
            store.revoke_token(name)
            sys.stdout.write("API token %s removed from %s\n" % (name, store.path))
            return EXIT_OK
        if command == "revoke-sessions":
            kept = Remembered(sessions_path(store.path))
            sys.stdout.write("%d phones kept logged in are logged out (%s)\n"
                             % (kept.revoke_all(), kept.path))
            return EXIT_OK
        if command == "make-certificate":
            return make_certificate(settings)
        if command == "page-password":
            store.set_page_password(read_new_password(sys.stdin))
            sys.stdout.write("page password stored in %s as a salted hash\n" % store.path)
            return EXIT_OK
        sendrel_settings.set_up_log(settings["log"]["file"], log)
        sendrel_settings.warn_if_readable(settings["settings_file"], log)
        try:
            from . import server
        except ImportError:  # said here; storing a token or the password works without it
            raise sendrel_settings.missing_library("aiohttp", "service", "python3-aiohttp",
                                                   "aiohttp") from None
    except (Usage, OSError) as error:
        if sys.stderr:
            sys.stderr.write("sendrel-web: %s\n" % error)
        return EXIT_USAGE
    try:
        return run_service(settings, server)
    except Exception:  # a fault of the service: what it was goes to the log
        log.exception("stopped by an unexpected failure")
        return EXIT_FAILED
