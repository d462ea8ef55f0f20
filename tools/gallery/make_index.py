#!/usr/bin/python3
"""Turns the gallery's drawings (BMP) into PNG files and writes index.html,
which shows each dialog, menu, bitmap and icon with its identifier and what it is
for, in English, for translators and testers.

usage: make_index.py GALLERY-FOLDER   (reads GALLERY-FOLDER/raw/*.bmp)
"""
import glob
import html
import os
import re
import sys

from PIL import Image

DIALOGS = {
    300: ("About box", "Product name and version, the maker's notice, OK."),
    301: ("Speed-dial pane", "List of contacts with speed-dial codes; \"Call SkypeOut:\" with a list of numbers."),
    302: ("Call-forwarding pane", "List of forwarding numbers; \"Assign the forwarding number\" with its list."),
    303: ("Status log view", "The activity log with OK and Clear."),
    2301: ("Options page: general options",
           "Start Q5 with the computer; start Skype with Q5; write activity to the log file. "
           "Power saving options (hidden): keep the computer awake, wake on ring."),
    2302: ("Options page: authentication",
           "Use caller ID authentication with the list of allowed numbers; use password authentication."),
    2303: ("Options page: line settings",
           "Country you are in now; dial before an outside line; the modem function explanation."),
    2304: ("Options page: my phones",
           "Phone number and location, Add / Edit / Delete; Q5 forwards internet calls after waiting N "
           "seconds without an answer; the voice system answers after N rings."),
    3300: ("Setup wizard: general options",
           "Start Q5 with the computer; start Skype with Q5; write activity to the log file."),
    3301: ("Setup wizard: default forwarding number",
           "Enter the phone number that forwards internet calls (stored as the default); dial before an outside line."),
    3302: ("Setup wizard: authentication", "Use password authentication; Password:"),
    3303: ("Setup wizard: line settings", "Your country; the modem function explanation."),
    3304: ("Setup wizard: welcome and language",
           "The following steps set up the product; press Next to continue. Choose the default language."),
}

BITMAPS = {
    900: "strip of five blue round lamps, 14 x 13 each",
    901: "grey round lamp",
    903: "small blue round lamp",
    904: "small grey round lamp",
    905: "Skype logo in red, in grey, two persons, Skype logo with a green arrow",
    906: "button face: two persons with a lightning bolt, grey frame",
    907: "the same button face, blue frame",
    908: "the same button face, grey frame",
    911: "speech bubble with !, window with red cross, grey disc with white cross, blue box with green tick, "
         "window with red cross, red cross, green play triangle, gear with green tick, the maker's emblem "
         "in blue, in grey",
    2901: "address book with green plus",
    2902: "padlock",
    2903: "gear with magnifying glass",
    2904: "padlock",
    2905: "gear with magnifying glass",
    2906: "mobile handset",
    2907: "address book with green plus",
    2908: "mobile handset",
    2909: "handset, handset with green plus",
    3900: "mobile handset",
    3901: "padlock",
    3902: "gear with magnifying glass",
    3903: "product logo",
    3904: "address book with green plus",
}

# Menu pictures: the menu bar, then each pop-up by its position path.
MENUS = {
    801: ("Notification-area menu", [
        ("", "the menu as a bar: its one pop-up \"Toolbar menu\""),
        ("0", "Toolbar menu: Device mode (greyed) \u25b8, Open Q5 (greyed), Exit"),
        ("0-0", "Device mode: Q5 audio, Modem"),
    ]),
    802: ("Main window's menu bar", [
        ("", "File, Tools, Help"),
        ("0", "File: Change status \u25b8, Load contacts..., Save contacts..., Exit"),
        ("0-0", "Change status: On (checked), Off"),
        ("1", "Tools: Choose the interface skin, Language, View log..., Options..."),
        ("2", "Help: Contents..., About Q5"),
    ]),
}

ICONS = {
    912: "product logo in colour (shown by the About box)",
    913: "product logo in colour",
    914: "product logo in grey",
}

STYLE = """
body { font-family: sans-serif; margin: 2em; background: #fafafa; }
h2 { margin-top: 2em; border-bottom: 1px solid #ccc; }
figure { display: inline-block; vertical-align: top; margin: 0 1.5em 1.5em 0; }
figcaption { max-width: 40em; font-size: 90%; }
img.zoom { image-rendering: pixelated; }
table td { padding: 0.3em 1em 0.3em 0; vertical-align: middle; }
"""


def convert(raw):
    """All drawings to PNG; returns {(kind, id, size): file name}."""
    made = {}
    for path in sorted(glob.glob(os.path.join(raw, "*.bmp"))):
        name = os.path.basename(path)[:-4]
        m = re.match(r"(dialog|bitmap|icon|menu)(\d+)(?:-([\d-]+))?$", name)
        if not m:
            continue
        png = name + ".png"
        Image.open(path).convert("RGB").save(os.path.join(os.path.dirname(raw), png))
        kind, sub = m.group(1), m.group(3) or ""
        # Icons are told apart by size, menus by the pop-up's position path.
        made[(kind, int(m.group(2)), sub if kind == "menu" else int(sub or 0))] = png
    return made


def img(png, zoom=1):
    im = Image.open(png)
    w, h = im.size
    cls = ' class="zoom"' if zoom > 1 else ""
    return '<img src="%s" width="%d" height="%d"%s alt="%s">' % (
        html.escape(os.path.basename(png)), w * zoom, h * zoom, cls, html.escape(os.path.basename(png)))


def section_dialogs(folder, made):
    parts = ["<h2>Dialogs</h2>"]
    for ident, (title, meaning) in DIALOGS.items():
        png = made.get(("dialog", ident, 0))
        picture = img(os.path.join(folder, png)) if png else "<em>not drawn</em>"
        parts.append("<figure>%s<figcaption><b>%d</b> %s<br>%s</figcaption></figure>"
                     % (picture, ident, html.escape(title), html.escape(meaning)))
    return parts


def section_bitmaps(folder, made):
    parts = ["<h2>Bitmaps</h2><p>Each shown at 100 % and enlarged three times.</p><table>"]
    for ident, subject in BITMAPS.items():
        png = made.get(("bitmap", ident, 0))
        if png:
            full = os.path.join(folder, png)
            w, h = Image.open(full).size
            cells = "<td>%s</td><td>%s</td>" % (img(full), img(full, 3))
            size = "%d &times; %d" % (w, h)
        else:
            cells, size = "<td colspan=2><em>not drawn</em></td>", ""
        parts.append("<tr><td><b>%d</b></td>%s<td>%s<br>%s</td></tr>" % (ident, cells, size, html.escape(subject)))
    parts.append("</table>")
    return parts


def section_menus(folder, made):
    parts = ["<h2>Menus</h2><p>Each menu as a menu bar, then every pop-up as it opens.</p>"]
    for ident, (title, pictures) in MENUS.items():
        parts.append("<h3>%d %s</h3>" % (ident, html.escape(title)))
        for sub, meaning in pictures:
            png = made.get(("menu", ident, sub))
            picture = img(os.path.join(folder, png)) if png else "<em>not drawn</em>"
            parts.append("<figure>%s<figcaption>%s</figcaption></figure>" % (picture, html.escape(meaning)))
    return parts


def section_icons(folder, made):
    parts = ["<h2>Icons</h2><p>Drawn with their masks over light grey.</p><table>"]
    for ident, subject in ICONS.items():
        pngs = sorted((k[2], v) for k, v in made.items() if k[0] == "icon" and k[1] == ident)
        cells = "".join("<td>%s<br>%d px</td>" % (img(os.path.join(folder, p)), s) for s, p in pngs)
        parts.append("<tr><td><b>%d</b></td>%s<td>%s</td></tr>" % (ident, cells or "<td><em>not drawn</em></td>",
                                                                    html.escape(subject)))
    parts.append("</table>")
    return parts


def main():
    folder = sys.argv[1]
    made = convert(os.path.join(folder, "raw"))
    body = ["<h1>Chinese.dll &mdash; Traditional Chinese resources</h1>",
            "<p>Every dialog is created from the library's own template by a 32-bit process, as the desktop "
            "application is one, under Wine 10; the application fills "
            "empty texts and lists at run time. Hidden controls are not shown.</p>"]
    body += section_dialogs(folder, made) + section_menus(folder, made)
    body += section_bitmaps(folder, made) + section_icons(folder, made)
    page = ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>Chinese.dll gallery</title>'
            "<style>%s</style></head><body>\n%s\n</body></html>\n" % (STYLE, "\n".join(body)))
    with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as f:
        f.write(page)
    print("gallery: %d pictures" % len(made))
    return 0


if __name__ == "__main__":
    sys.exit(main())
