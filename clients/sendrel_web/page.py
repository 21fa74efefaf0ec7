"""The page: HTML templates in templates/ and the script and style in static/, shipped beside
this module and read once at start. Served by the service itself, nothing from elsewhere."""

import html
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
# The files in static/ the service serves, by URL path, with their media types. The icons are
# drawn by scripts/make-icons.py.
ASSET_TYPES = {"app.js": "application/javascript", "app.css": "text/css",
               "icon-192.png": "image/png", "icon-512.png": "image/png",
               "apple-touch-icon.png": "image/png"}
MANIFEST_TYPE = "application/manifest+json"
# The page's background (app.css's --bg), light and dark: the colour of the bar above it and,
# light, of the screen while the installed page opens.
THEME_COLOUR, THEME_COLOUR_DARK = "#f4f5f7", "#111316"
# Launchers cut a longer short name.
SHORT_NAME_MAX = 12


def _read(folder, name, mode="r"):
    with open(os.path.join(HERE, folder, name), mode,
              encoding=None if "b" in mode else "utf-8") as source:
        return source.read()


class Page:
    """The templates and assets, read from the package's files."""

    def __init__(self):
        self._templates = {}
        self.assets = {name: _read("static", name, "rb") for name in ASSET_TYPES}

    def render(self, name, raw=(), **values):
        """templates/NAME.html with its {names} filled in, HTML-escaped but for those in raw."""
        if name not in self._templates:
            self._templates[name] = _read("templates", name + ".html").rstrip("\n")
        return self._templates[name].format_map(
            {k: v if k in raw else html.escape(str(v)) for k, v in values.items()})

    def _head(self, title):
        return self.render("head", title=title, theme=THEME_COLOUR, theme_dark=THEME_COLOUR_DARK)

    def login(self, title, message):
        return self.render("login", head=self._head(title), title=title,
                           message=message, raw=("head",))

    def remote(self, title, csrf, buttons, free_text, kept=False):
        """The remote control: the buttons, (label, group) in order; those without a group
        first, under no heading, then each group under its heading, in the order the groups
        first appear (a button without a group never lands under another's heading). The
        log-out of a session kept across restarts asks first: a slip would cost the phone its
        login for good."""
        groups = {"": []}
        for number, (label, group) in enumerate(buttons):
            groups.setdefault(group, []).append(self.render("button", number=number,
                                                            label=label))
        sections = "".join(
            self.render("group", heading=self.render("heading", group=group) if group else "",
                        buttons="".join(parts), raw=("heading", "buttons"))
            for group, parts in groups.items() if parts)
        return self.render(
            "remote", head=self._head(title), title=title, csrf=csrf,
            sections=sections or self.render("no_buttons"), kept="yes" if kept else "no",
            free_text=self.render("free_text") if free_text else "",
            raw=("head", "sections", "free_text"))

    @staticmethod
    def manifest(title):
        """The web app manifest: added to a home screen, the page opens as an app of its own,
        under the page's title, with Sendrel's icon."""
        icons = [{"src": "/icon-%d.png" % size, "sizes": "%dx%d" % (size, size),
                  "type": "image/png", "purpose": purpose}
                 for purpose in ("any", "maskable") for size in (192, 512)]
        return json.dumps({
            "name": title, "short_name": title if len(title) <= SHORT_NAME_MAX else "Sendrel",
            "start_url": "/", "scope": "/", "display": "standalone",
            "theme_color": THEME_COLOUR, "background_color": THEME_COLOUR, "icons": icons},
            separators=(",", ":"))
