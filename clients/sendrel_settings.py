"""Settings conventions shared by the companions that run as services (the MQTT bridge and the
web service): a TOML file whose tables and keys mirror the command-line options, each value
checked against its default's type, the command line winning over the file; the Sendrel
server's own options and defaults; the log.

Needs sendrel_send.py beside it; nothing outside the standard library (TOML needs Python 3.11
or the tomli package)."""

import argparse
import codecs
import logging
import os
import stat
import sys

import sendrel_send


class Usage(Exception):
    """Settings that cannot be used (exit code 1)."""


# The [sendrel] table: the Sendrel server a companion sends to, and how.
SERVER_DEFAULTS = {"host": sendrel_send.DEFAULT_HOST, "port": sendrel_send.DEFAULT_PORT,
                   "password": sendrel_send.DEFAULT_PASSWORD, "source": "", "timeout": 10.0,
                   "encoding": sendrel_send.DEFAULT_ENCODING}


def missing_library(library, companion, debian_package, pip_name):
    """The Usage for a library that the Python running a companion lacks. Debian's package
    serves Debian's Python only, which need not be the one running: the hint names both."""
    return Usage("%s is missing for the Python that runs this %s, %s (version %d.%d): run the "
                 "%s with a Python that has it (on Debian, /usr/bin/python3 after apt-get "
                 "install %s), or install it for this one: %s -m pip install %s"
                 % (library, companion, sys.executable, sys.version_info[0],
                    sys.version_info[1], companion, debian_package, sys.executable, pip_name))


def read_toml(path):
    try:
        import tomllib as toml  # Python 3.11 and later
    except ImportError:
        try:
            import tomli as toml  # the same parser, where it is installed
        except ImportError:
            raise Usage("reading %s needs Python 3.11 or later, or the tomli package; give "
                        "the settings as options instead" % path) from None
    try:
        with open(path, "rb") as source:
            return toml.load(source)
    except OSError as error:
        raise Usage("cannot read the settings file %s (%s)" % (path, error.strerror)) from None
    except ValueError as error:
        raise Usage("the settings file %s is not valid TOML: %s" % (path, error)) from None


def merged_settings(file_settings, defaults):
    """defaults overlaid with the file's tables, each value checked against its default's
    type; raises Usage for an unknown table or key or a value of the wrong type."""
    settings = {table: dict(values) for table, values in defaults.items()}
    for table, values in file_settings.items():
        if table not in settings or not isinstance(values, dict):
            raise Usage("unknown settings table [%s]" % table)
        for key, value in values.items():
            if key not in settings[table]:
                raise Usage("unknown setting %s in [%s]" % (key, table))
            default = settings[table][key]
            wanted = float if isinstance(default, float) else type(default)
            if wanted is float and isinstance(value, int) and not isinstance(value, bool):
                value = float(value)
            if not isinstance(value, wanted) or isinstance(value, bool) != (wanted is bool):
                raise Usage("%s in [%s] must be %s" % (key, table, wanted.__name__))
            if wanted is list and not all(isinstance(v, str) for v in value):
                raise Usage("%s in [%s] must be a list of texts" % (key, table))
            settings[table][key] = value
    return settings


def port_number(text):
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= 65535:
        raise Usage("not a port number (1 to 65535): %s" % text)
    return int(text)


def host_and_port(text):
    """HOST[:PORT] as (host, port), port 0 when none is given."""
    host, colon, port = text.rpartition(":")
    return (host, port_number(port)) if colon else (text, 0)


# The Sendrel server's options: (option, table, key, argparse keywords).
SERVER_OPTIONS = [
    ("--host", "sendrel", "host", {"metavar": "ADDR",
                                   "help": "Sendrel server (default 127.0.0.1)"}),
    ("--port", "sendrel", "port", {"metavar": "N", "type": port_number,
                                   "help": "Sendrel server port (default 1024)"}),
    ("--password", "sendrel", "password", {"metavar": "TEXT",
                                           "help": "Sendrel password (default ChgThisPw)"}),
    ("--source", "sendrel", "source", {"metavar": "ADDR",
                                       "help": "connect to the Sendrel server from this local "
                                               "address (the one its access list admits)"}),
    ("--encoding", "sendrel", "encoding", {"metavar": "NAME",
                                           "help": "how texts become bytes for the server "
                                                   "(default %s, as for sendrel_send)"
                                                   % sendrel_send.DEFAULT_ENCODING}),
]


def check_encoding(settings):
    try:
        codecs.lookup(settings["sendrel"]["encoding"])
    except LookupError:
        raise Usage("unknown encoding: %s" % settings["sendrel"]["encoding"]) from None


class ArgumentParser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def set_up_log(path, logger):
    """Log lines to the file, or to standard error where there is one, each with its time and
    the logger's name (the companion's command)."""
    handler = (logging.FileHandler(path) if path
               else logging.StreamHandler() if sys.stderr else logging.NullHandler())
    handler.setFormatter(logging.Formatter("%(asctime)s " + logger.name + ": %(message)s"))
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)


def holds_password(file_settings):
    return "password" in file_settings.get("sendrel", {})


def warn_if_readable(path, logger):
    """Warns when the settings file holds the Sendrel password and every user of the machine
    may read it (POSIX permissions; a group of the service's own, as the sample units set up,
    is fine; Windows keeps a user's files private by their folder)."""
    if not path or os.name != "posix":
        return
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return
    if mode & stat.S_IRWXO:
        logger.warning("the settings file %s holds the Sendrel password and every user of "
                       "this machine can read it: chmod 600 %s", path, path)
