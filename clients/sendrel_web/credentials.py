"""The secrets file: API tokens and the page's password, kept as hashes only."""

import getpass
import hashlib
import hmac
import json
import os
import secrets

from sendrel_settings import Usage

PAGE_PASSWORD_LENGTH_MIN = 8
PBKDF2_ITERATIONS = 600000


def token_hash(token):
    """Tokens are long random texts, so one round of SHA-256 keeps them as well as any."""
    return "sha256:" + hashlib.sha256(token.encode("utf-8", "surrogateescape")).hexdigest()


def password_record(password, salt=None, iterations=PBKDF2_ITERATIONS):
    """A salted, slow hash of a password a person chose."""
    salt = salt or secrets.token_bytes(16)
    digest = hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), salt, iterations)
    return {"kdf": "pbkdf2-sha256", "iterations": iterations, "salt": salt.hex(),
            "hash": digest.hex()}


def password_matches(password, record):
    if not record or record.get("kdf") != "pbkdf2-sha256":
        return False
    expected = password_record(password, bytes.fromhex(record["salt"]), record["iterations"])
    return hmac.compare_digest(expected["hash"], record["hash"])


class Secrets:
    """The secrets file: {"tokens": {name: hash}, "page_password": record}. Read again when it
    changed, so a token added while the service runs works at once."""

    def __init__(self, path):
        self.path = path
        self._stamp = None
        self.tokens, self.page_password = {}, None  # tokens: hash -> name

    def _read(self):
        try:
            with open(self.path, encoding="utf-8") as source:
                return json.load(source)
        except FileNotFoundError:
            return {}
        except (OSError, ValueError) as error:
            raise Usage("cannot read the secrets file %s (%s)" % (self.path, error)) from None

    def refresh(self):
        try:
            stamp = os.stat(self.path).st_mtime_ns if self.path else None
        except OSError:
            stamp = None
        if stamp != self._stamp:
            self._stamp = stamp
            stored = self._read() if stamp is not None else {}
            self.tokens = {h: name for name, h in stored.get("tokens", {}).items()}
            self.page_password = stored.get("page_password")
        return self

    def _write(self, change):
        stored = self._read()
        change(stored)
        temporary = self.path + ".new"
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with open(descriptor, "w", encoding="utf-8") as out:
            json.dump(stored, out, indent=1)
        os.replace(temporary, self.path)

    def add_token(self, name):
        token = "srw_" + secrets.token_urlsafe(32)
        self._write(lambda stored: stored.setdefault("tokens", {}).__setitem__(
            name, token_hash(token)))
        return token

    def set_page_password(self, password):
        record = password_record(password)
        self._write(lambda stored: stored.__setitem__("page_password", record))


def read_new_password(stream):
    """The page's password, read twice: with getpass at a terminal, else two input lines."""
    if stream.isatty():
        first, second = getpass.getpass("page password: "), getpass.getpass("again: ")
    else:
        first, second = (stream.readline().rstrip("\r\n") for _ in range(2))
    if first != second:
        raise Usage("the two passwords differ; nothing stored")
    if len(first) < PAGE_PASSWORD_LENGTH_MIN:
        raise Usage("the page's password needs %d characters or more; nothing stored"
                    % PAGE_PASSWORD_LENGTH_MIN)
    return first
