"""The secrets file: API tokens and the page's password, kept as hashes only."""

import getpass
import hashlib
import hmac
import json
import logging
import os
import secrets
import tempfile

from sendrel_settings import Usage

from .events import Refused

log = logging.getLogger("sendrel-web")

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
    expected = password_record(password, bytes.fromhex(record["salt"]), record["iterations"])
    return hmac.compare_digest(expected["hash"], record["hash"])


def _is_hex(text, length=None):
    return isinstance(text, str) and (length is None or len(text) == length) and \
        all(c in "0123456789abcdef" for c in text) and len(text) % 2 == 0


def checked(stored):
    """The secrets file's value as (tokens by hash, page password record or None); raises
    ValueError for anything but what this service writes."""
    if not isinstance(stored, dict) or set(stored) - {"tokens", "page_password"}:
        raise ValueError("not an object with tokens and page_password")
    tokens = stored.get("tokens", {})
    if not isinstance(tokens, dict) or not all(
            isinstance(h, str) and h.startswith("sha256:") and _is_hex(h[7:], 64)
            for h in tokens.values()):
        raise ValueError("tokens must map names to sha256: hashes")
    record = stored.get("page_password")
    if record is not None and not (
            isinstance(record, dict) and record.get("kdf") == "pbkdf2-sha256"
            and isinstance(record.get("iterations"), int) and record["iterations"] > 0
            and _is_hex(record.get("salt")) and _is_hex(record.get("hash"), 64)):
        raise ValueError("page_password is not a pbkdf2-sha256 record")
    return {h: name for name, h in tokens.items()}, record


def write_private(path, value):
    """Writes the value as JSON through a new file in the same folder (owner only, made afresh:
    an existing file or link there is never followed), then renamed over path."""
    folder, name = os.path.split(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".new", dir=folder)
    try:
        with open(descriptor, "w", encoding="utf-8") as out:
            json.dump(value, out, indent=1)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


class Secrets:
    """The secrets file: {"tokens": {name: hash}, "page_password": record}. Read again when it
    changed (its inode, size or time), so a token added or revoked while the service runs
    counts at once. A file that cannot be read or checked keeps every token and page login
    out until it is mended: a token meant to be revoked must not stay in force."""

    def __init__(self, path):
        self.path = path
        self._stamp = None  # of the file last read and checked
        self._bad_stamp = None  # of the file found bad last, said once
        self.problem = None  # why the file cannot be used, or None
        self.tokens, self.page_password = {}, None  # tokens: hash -> name

    def _stored(self):
        """The file's value, {} when there is none; raises OSError or ValueError."""
        try:
            with open(self.path, "rb") as source:
                return json.loads(source.read().decode("utf-8"))
        except FileNotFoundError:
            return {}

    def refresh(self):
        try:
            status = os.stat(self.path) if self.path else None
        except FileNotFoundError:
            status = None
        except OSError as error:
            self._refuse(None, "cannot read it (%s)" % error.strerror)
            return self
        stamp = status and (status.st_ino, status.st_size, status.st_mtime_ns)
        if stamp == self._stamp or (stamp == self._bad_stamp and self.problem):
            return self
        try:
            self.tokens, self.page_password = checked(self._stored()) if stamp else ({}, None)
        except (OSError, ValueError) as error:
            self._refuse(stamp, "cannot use it (%s)" % error)
            return self
        if self.problem:
            log.warning("the secrets file %s is mended: tokens and page logins work again",
                        self.path)
        self._stamp, self._bad_stamp, self.problem = stamp, None, None
        return self

    def _refuse(self, stamp, problem):
        self.tokens, self.page_password = {}, None
        if self._bad_stamp != stamp or not self.problem:
            log.error("the secrets file %s: %s; API tokens and page logins are refused until "
                      "it is mended", self.path, problem)
        self._stamp, self._bad_stamp, self.problem = None, stamp, problem

    def _check(self):
        if self.problem:
            raise Refused("the service's secrets file cannot be used; see its log", 503,
                          "secrets")

    def checked_tokens(self):
        """The tokens by hash; raises Refused while the file is bad."""
        self._check()
        return self.tokens

    def checked_page_password(self):
        """The page's password record; raises Refused while the file is bad or holds none."""
        self._check()
        if not self.page_password:
            raise Refused("no page password is set", 403, "no-page-password")
        return self.page_password

    def check_at_start(self):
        """Raises Usage when the file is there but cannot be used: the service does not start,
        which the Usage alone says."""
        try:
            checked(self._stored())
        except (OSError, ValueError) as error:
            raise Usage("the secrets file %s cannot be used (%s); mend or remove it"
                        % (self.path, error)) from None

    def _write(self, change):
        """Changes the stored value, the file written afresh (write_private)."""
        try:
            stored = self._stored()
            checked(stored)
        except (OSError, ValueError) as error:
            raise Usage("the secrets file %s cannot be used (%s); mend or remove it first"
                        % (self.path, error)) from None
        change(stored)
        write_private(self.path, stored)

    def add_token(self, name):
        token = "srw_" + secrets.token_urlsafe(32)
        self._write(lambda stored: stored.setdefault("tokens", {}).__setitem__(
            name, token_hash(token)))
        return token

    def token_names(self):
        try:
            tokens, _ = checked(self._stored())
        except (OSError, ValueError) as error:
            raise Usage("the secrets file %s cannot be used (%s)" % (self.path, error)) from None
        return sorted(tokens.values())

    def revoke_token(self, name):
        if name not in self.token_names():
            raise Usage("no API token is named %s" % name)
        self._write(lambda stored: stored["tokens"].pop(name))

    def set_page_password(self, password, iterations=PBKDF2_ITERATIONS):
        record = password_record(password, iterations=iterations)
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
