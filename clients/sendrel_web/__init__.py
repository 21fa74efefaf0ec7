"""Events from a phone's browser and from web hooks: a small HTTP service for a Sendrel server.

sendrel-web logs in to the Sendrel server as a client (the Python client's own code) and turns
HTTP requests into events:

- POST /api/events with a JSON body {"event": "...", "payloads": ["...", ...]}, a JSON array
  of such objects (sent in order, in one conversation), or a form-encoded body with the
  fields event and payloads (repeated). Authorised by an API token (Authorization: Bearer
  ...) or by the page's session with its CSRF token.
- a remote-control page for phones at /: a grid of buttons defined in the settings file,
  behind the page's own password.

An event counts as sent only once its conversation was closed cleanly: the service sends the
closing line and waits until the server closes the connection, which tells that it took every
line. Otherwise the request gets the reason (unreachable, not admitted, wrong password, close
notice) with the matching HTTP status. The conversations run on a few worker threads, off the
event loop, and requests that wait together share one conversation.

Its parts, one a module:
  settings     the settings file and options, the buttons
  events       a request's body as the events the server will take, or the reason it won't
  credentials  the secrets file: API tokens and the page's password, as hashes only
  sessions     the page's sessions
  guard        who asks: the client's address, the failure limit, tokens and sessions
  dispatcher   the conversations with the Sendrel server, on worker threads
  watcher      the plug-in's state, from one conversation held while a page asks
  connections  what connections may hold: caps, deadlines, reading ahead
  page         the page's templates (templates/), files (static/) and web app manifest
  certificate  the names a certificate holds, the addresses to open, --make-certificate
  server       the HTTP handlers, their limits, and serving until stopped
  command      the command line: sendrel-web

Needs aiohttp (Debian's python3-aiohttp, or pip install aiohttp) and sendrel_send.py and
sendrel_settings.py beside this folder; --make-certificate needs cryptography (Debian's
python3-cryptography, or pip install cryptography). Run it as `python3 sendrel_web --config FILE` from the
folder that holds it, or as the command sendrel-web after pip install; see --help.
"""
