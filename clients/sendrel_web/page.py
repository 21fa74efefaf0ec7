"""The page: HTML templates in templates/ and the script and style in static/, shipped beside
this module and read once at start. Served by the service itself, nothing from elsewhere."""

import html
import os

HERE = os.path.dirname(os.path.abspath(__file__))
# The files in static/ the service serves, by URL path, with their media types.
ASSET_TYPES = {"app.js": "application/javascript", "app.css": "text/css"}


def _read(folder, name):
    with open(os.path.join(HERE, folder, name), encoding="utf-8") as source:
        return source.read()


class Page:
    """The templates and assets, read from the package's files."""

    def __init__(self):
        self._templates = {}
        self.assets = {name: _read("static", name) for name in ASSET_TYPES}

    def render(self, name, raw=(), **values):
        """templates/NAME.html with its {names} filled in, HTML-escaped but for those in raw."""
        if name not in self._templates:
            self._templates[name] = _read("templates", name + ".html").rstrip("\n")
        return self._templates[name].format_map(
            {k: v if k in raw else html.escape(str(v)) for k, v in values.items()})

    def login(self, title, message):
        return self.render("login", head=self.render("head", title=title), title=title,
                           message=message, raw=("head",))

    def remote(self, title, csrf, buttons, free_text):
        """The remote control: the buttons, (label, group) in order; those without a group
        first, under no heading, then each group under its heading, in the order the groups
        first appear (a button without a group never lands under another's heading)."""
        groups = {"": []}
        for number, (label, group) in enumerate(buttons):
            groups.setdefault(group, []).append(self.render("button", number=number,
                                                            label=label))
        sections = "".join(
            self.render("group", heading=self.render("heading", group=group) if group else "",
                        buttons="".join(parts), raw=("heading", "buttons"))
            for group, parts in groups.items() if parts)
        return self.render(
            "remote", head=self.render("head", title=title), title=title, csrf=csrf,
            sections=sections or self.render("no_buttons"),
            free_text=self.render("free_text") if free_text else "",
            raw=("head", "sections", "free_text"))
