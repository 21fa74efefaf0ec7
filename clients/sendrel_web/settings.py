"""The service's settings: the settings file's [web] table and [[button]] tables, and the
command line, over the conventions and the [sendrel] table it shares with the MQTT bridge."""

import argparse
import collections
import ipaddress
import os

import sendrel_settings
from sendrel_settings import Usage

from .events import Refused, events_from

DEFAULTS = {
    "sendrel": sendrel_settings.SERVER_DEFAULTS,
    "web": {"listen": "127.0.0.1:8080", "cert": "", "key": "", "insecure_http_on_lan": False,
            "title": "Sendrel", "allow_any_event": False, "session_minutes": 30.0,
            "secrets": "", "workers": 4, "proxy": "", "hosts": []},
    "log": {"file": ""},
}

EXAMPLE = """\
example:
  sendrel-web --config web.toml --new-token phone-shortcut   (prints the token once)
  sendrel-web --config web.toml --set-page-password < two-lines.txt
  sendrel-web --config web.toml --list-tokens
  sendrel-web --config web.toml --revoke-token phone-shortcut
  sendrel-web --config web.toml --revoke-sessions   (logs out every phone kept logged in)
  sendrel-web --config web.toml --make-certificate  (for HTTPS: web.crt and web.key)
  sendrel-web --config web.toml
  curl -H "Authorization: Bearer TOKEN" -H "Content-Type: application/json" \\
       -d '{"event": "Lights", "payloads": ["kitchen", "on"]}' http://127.0.0.1:8080/api/events

settings file (TOML; the command line wins over it):
  [sendrel]
  host = "127.0.0.1"
  port = 1024
  password = "my-password"
  [web]
  listen = "127.0.0.1:8080"  # another interface needs cert and key (or insecure_http_on_lan)
  # cert = "web.crt", key = "web.key", allow_any_event = false, session_minutes = 30
  # proxy = "127.0.0.1"      # a reverse proxy in front (an address, a network such as
  #                          # "10.0.0.0/8", or "localhost"): its X-Forwarded-For/-Proto count
  # hosts = ["sendrel.example.org"]  # names the service answers to beyond IP addresses,
  #                          # localhost and its certificate's names (a proxy's public name)
  [[button]]
  label = "Kitchen lights on"
  event = "Lights"
  payloads = ["kitchen", "on"]
  group = "Kitchen"
  [[button]]
  label = "Good night"
  event = "Scene"
  payloads = ["night"]

The tokens and the page's password are kept, as hashes only, in FILE.secrets.json beside the
settings file (or where [web] secrets says); the phones kept logged in, as hashes too, in
FILE.sessions.json beside it.

exit codes: 0 stopped (SIGTERM, Ctrl+C) or the token or password stored or listed; 1 wrong usage or
settings, or aiohttp missing; 2 cannot listen on the address; 4 wrong Sendrel password;
6 any other failure.
"""

# (option, table, key, argparse keywords); table None: handled by hand.
OPTIONS = [
    ("--config", None, None, {"metavar": "FILE", "help": "read the settings from this TOML file"}),
] + sendrel_settings.SERVER_OPTIONS + [
    ("--listen", "web", "listen", {"metavar": "HOST:PORT",
                                   "help": "where to serve HTTP (default 127.0.0.1:8080)"}),
    ("--cert", "web", "cert", {"metavar": "FILE", "help": "serve HTTPS with this certificate"}),
    ("--key", "web", "key", {"metavar": "FILE", "help": "the certificate's private key"}),
    ("--insecure-http-on-lan", "web", "insecure_http_on_lan",
     {"action": "store_const", "const": True,
      "help": "allow plain HTTP on an address other than loopback (passwords and tokens then "
              "cross the network in clear)"}),
    ("--log-file", "log", "file", {"metavar": "FILE", "help": "append the log here"}),
    ("--new-token", None, None, {"metavar": "NAME",
                                 "help": "store a new API token of this name (replacing one of "
                                         "the same name), print it once and exit"}),
    ("--list-tokens", None, None, {"action": "store_true",
                                   "help": "list the names of the API tokens and exit"}),
    ("--revoke-token", None, None, {"metavar": "NAME",
                                    "help": "remove the API token of this name and exit"}),
    ("--set-page-password", None, None, {"action": "store_true",
                                         "help": "read the page's password twice from standard "
                                                 "input, store its hash and exit"}),
    ("--revoke-sessions", None, None, {"action": "store_true",
                                       "help": "log out every phone kept logged in (at once, "
                                               "in the running service too) and exit"}),
    ("--make-certificate", None, None, {"action": "store_true",
                                        "help": "write a self-signed certificate and its key "
                                                "for the names and addresses the service "
                                                "listens on (to cert and key, or FILE.crt and "
                                                "FILE.key beside the settings) and exit"}),
]




def proxy_networks(text):
    """The proxy setting (an address, a network, or localhost) as a list of networks."""
    if not text:
        return []
    if text == "localhost":
        return [ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128")]
    try:
        return [ipaddress.ip_network(text.strip("[]"), strict=False)]
    except ValueError:
        raise Usage("proxy must be an address, a network such as 10.0.0.0/8, or localhost, "
                    "not %s" % text) from None


def listen_address(text):
    """HOST:PORT (an IPv6 host in brackets) as (host, port); port 0 picks a free one."""
    host, colon, port = text.rpartition(":")
    if not colon or not host or not (port.isascii() and port.isdigit()) or int(port) > 65535:
        raise Usage("listen must be HOST:PORT, not %s" % text)
    return host.strip("[]"), int(port)


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


Button = collections.namedtuple("Button", "label group event payloads")


def buttons_from(tables, encoding):
    """The [[button]] tables as Buttons, their texts as the server's bytes; raises Usage."""
    if not isinstance(tables, list):
        raise Usage("button must be an array of tables: [[button]]")
    buttons = []
    for number, table in enumerate(tables, 1):
        where = "button %d" % number
        if not isinstance(table, dict) or set(table) - {"label", "event", "payloads", "group"}:
            raise Usage("%s: only label, event, payloads and group" % where)
        label, group = table.get("label", table.get("event")), table.get("group", "")
        if not isinstance(label, str) or not isinstance(group, str):
            raise Usage("%s needs an event, and label and group must be texts" % where)
        try:
            (event, payloads), = events_from(
                {"event": table.get("event"), "payloads": table.get("payloads", [])}, encoding)
        except Refused as refusal:
            raise Usage("%s: %s" % (where, refusal.text)) from None
        buttons.append(Button(label, group, event, payloads))
    return buttons


def parse_settings(arguments):
    """The settings from the command line and the file it names, with the buttons under
    "buttons" and the command under "command"; raises Usage."""
    parser = sendrel_settings.ArgumentParser(
        prog="sendrel-web", epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Serves a remote-control page and an HTTP API that send events to a "
                    "Sendrel server, each reported sent only once the server has taken it.")
    for option, _, key, keywords in OPTIONS:
        parser.add_argument(option, dest=key or option[2:].replace("-", "_"), **keywords)
    given = parser.parse_args(arguments)
    file_settings = sendrel_settings.read_toml(given.config) if given.config else {}
    button_tables = file_settings.pop("button", [])
    settings = sendrel_settings.merged_settings(file_settings, DEFAULTS)
    # The settings file to warn about when others can read the Sendrel password in it.
    settings_file = given.config if sendrel_settings.holds_password(file_settings) else None
    web_settings = settings["web"]
    # Files the settings file names are found beside it; those of options where they are run.
    for key in ("cert", "key", "secrets"):
        if web_settings[key]:
            web_settings[key] = os.path.join(os.path.dirname(given.config), web_settings[key])
    if given.config and not web_settings["secrets"]:
        web_settings["secrets"] = os.path.splitext(given.config)[0] + ".secrets.json"
    for option, table, key, _ in OPTIONS:
        value = getattr(given, key or option[2:].replace("-", "_"))
        if table and value is not None:
            settings[table][key] = value
    sendrel_settings.check_encoding(settings)
    settings["buttons"] = buttons_from(button_tables, settings["sendrel"]["encoding"])
    commands = [(command, value) for command, value in [
        ("new-token", given.new_token), ("revoke-token", given.revoke_token),
        ("list-tokens", given.list_tokens), ("page-password", given.set_page_password),
        ("revoke-sessions", given.revoke_sessions),
        ("make-certificate", given.make_certificate)]
        if value]
    if len(commands) > 1:
        raise Usage("one of --new-token, --revoke-token, --list-tokens, --set-page-password, "
                    "--revoke-sessions and --make-certificate at a time")
    if commands and commands[0][0] == "make-certificate":
        if not web_settings["cert"] and not given.config:
            raise Usage("--make-certificate needs --config FILE or --cert FILE: where to write")
        web_settings["cert"] = web_settings["cert"] or os.path.splitext(given.config)[0] + ".crt"
        web_settings["key"] = web_settings["key"] or os.path.splitext(
            web_settings["cert"])[0] + ".key"
    elif commands and not web_settings["secrets"]:
        raise Usage("--new-token, --revoke-token, --list-tokens, --set-page-password and "
                    "--revoke-sessions need --config FILE: the secrets are kept beside it")
    settings["command"] = commands[0] if commands else ("serve", None)
    settings["settings_file"] = settings_file
    settings["config"], settings["arguments"] = given.config, list(arguments)
    web_settings["proxy_networks"] = proxy_networks(web_settings["proxy"])
    host, _ = listen_address(web_settings["listen"])
    if web_settings["key"] and not web_settings["cert"]:
        raise Usage("--key needs --cert")
    if not web_settings["cert"] and not is_loopback(host) and \
            not web_settings["insecure_http_on_lan"]:
        raise Usage("without --cert and --key the service listens on loopback only; serve "
                    "HTTPS, put it behind a reverse proxy, or give --insecure-http-on-lan")
    if web_settings["session_minutes"] <= 0 or web_settings["workers"] < 1:
        raise Usage("session_minutes must be more than 0, and workers 1 or more")
    return settings
