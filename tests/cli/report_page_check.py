#!/usr/bin/env python3
"""Checks a review page written by `zelvorsound-cli report`, as a browser would see it.

  report_page_check.py PAGE --wavs DIR [--expect-slots 0,3] [--expect-warning 10:wrap ...]
                        [--expect-empty TEXT] [--screenshot OUT.png] [--layout-widths 1200,390]

Structure (python's own HTML parser): one card per expected slot, each with a waveform and a
player whose data URI decodes to exactly DIR/slotN.wav; the expected warnings in their cards;
the line of empty slots; nothing fetched from elsewhere. With --screenshot, headless
Chromium renders the page into a PNG, which must show the page's colours, not a blank sheet.
With --layout-widths, headless Chromium lays a copy of the page out at each width (a script
added to the copy measures it): nothing may reach past the right edge (no sideways
scrolling), and every waveform must span the share of its box that its length has of the
longest one (one time scale across the page).

Exit status: 0 all checks passed; 1 a check failed (each failure on stderr); 77 the
structure passed but chromium is not installed, so nothing was rendered.
"""
import argparse
import base64
import html as html_module
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib
from html.parser import HTMLParser

DATA_WAV = "data:audio/wav;base64,"


class PageParser(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows = {}  # slot -> {"audio": [...], "svg": n, "warnings": set(), "paths": n}
        self.card = None  # the tag that holds the slot's card
        self.row = None
        self.external = []
        self.style = ""
        self.in_style = False
        self.empty_text = None
        self.in_empty = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        for name in ("src", "href", "data", "poster", "srcset", "action"):
            value = a.get(name)
            if value is not None and not (value.startswith("data:") or value.startswith("#")):
                self.external.append(f"<{tag} {name}={value[:60]}>")
        if tag in ("link", "script", "iframe", "object", "embed"):
            self.external.append(f"<{tag}>")
        if tag == "style":
            self.in_style = True
        if "slot" in a.get("class", "").split() and "data-slot" in a:
            self.row = {"audio": [], "svg": 0, "paths": 0, "warnings": set()}
            self.rows[int(a["data-slot"])] = self.row
            self.card = tag
        elif self.row is not None:
            if tag == "audio":
                self.row["audio"].append(a.get("src", ""))
            elif tag == "svg":
                self.row["svg"] += 1
            elif tag == "path" and a.get("class") == "env":
                self.row["paths"] += 1
            elif tag == "li" and a.get("class") == "warning":
                self.row["warnings"].add(a.get("data-kind"))
        if tag == "p" and a.get("class") == "empty":
            self.in_empty = True
            self.empty_text = ""

    def handle_endtag(self, tag):
        if tag == self.card:
            self.row = None
            self.card = None
        elif tag == "style":
            self.in_style = False
        elif tag == "p":
            self.in_empty = False

    def handle_data(self, data):
        if self.in_style:
            self.style += data
        if self.in_empty:
            self.empty_text += data


def check_structure(page, args, fail):
    parser = PageParser()
    with open(page, encoding="utf-8") as f:
        parser.feed(f.read())
    parser.close()
    if parser.external:
        fail("the page refers to other resources: " + ", ".join(parser.external))
    if "url(" in parser.style or "@import" in parser.style:
        fail("the style sheet loads something")
    slots = sorted(parser.rows)
    if args.expect_slots is not None and slots != args.expect_slots:
        fail(f"rows for slots {slots}, expected {args.expect_slots}")
    for slot, row in parser.rows.items():
        if row["svg"] != 1 or row["paths"] != 1:
            fail(f"slot {slot}: {row['svg']} waveforms with {row['paths']} envelopes, expected 1")
        if len(row["audio"]) != 1 or not row["audio"][0].startswith(DATA_WAV):
            fail(f"slot {slot}: no player with a WAV data URI")
            continue
        data = base64.b64decode(row["audio"][0][len(DATA_WAV):], validate=True)
        with open(os.path.join(args.wavs, f"slot{slot}.wav"), "rb") as f:
            want = f.read()
        if data != want:
            fail(f"slot {slot}: the data URI holds {len(data)} bytes that differ from the "
                 f"{len(want)} bytes `extract` wrote")
    for slot, kind in args.expect_warning:
        got = parser.rows.get(slot, {}).get("warnings", set())
        if kind not in got:
            fail(f"slot {slot}: no {kind} warning (has {sorted(got)})")
    if args.expect_empty is not None and parser.empty_text != args.expect_empty:
        fail(f"empty slots line {parser.empty_text!r}, expected {args.expect_empty!r}")


def png_pixels(path):
    """The width, height and RGB rows of an 8-bit RGB or RGBA PNG (what Chromium writes)."""
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(blob):
        (length,) = struct.unpack(">I", blob[pos:pos + 4])
        kind, body = blob[pos + 4:pos + 8], blob[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError(f"unexpected PNG layout: depth {depth}, colour type {colour}")
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    rows, prev, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up, corner = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc
                                      else corner)) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return width, height, rows


def render(page, png, size, fail):
    browser = shutil.which("chromium")
    if not browser:
        return False
    profile = tempfile.mkdtemp(prefix="zelvor-chromium-")
    try:
        # Without the background-networking switches it tries to reach its servers, which a
        # closed network refuses; the profile is thrown away afterwards.
        subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                        "--no-first-run", "--disable-background-networking",
                        "--disable-component-update", "--disable-sync",
                        f"--user-data-dir={profile}", f"--screenshot={png}",
                        f"--window-size={size}", "file://" + os.path.abspath(page)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                       check=False)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if not os.path.exists(png):
        fail("chromium wrote no screenshot")
        return True
    width, height, rows = png_pixels(png)
    background = rows[0][0]
    pixels = [p for row in rows for p in row]
    inked = sum(1 for p in pixels if p != background)
    if inked < len(pixels) // 50:
        fail(f"the screenshot is blank: {inked} of {len(pixels)} pixels differ from the page")

    def near(colour):
        return sum(1 for p in pixels if all(abs(a - b) <= 12 for a, b in zip(p, colour)))

    # The waveforms' ink and the background of a row with warnings.
    for name, colour in (("waveform", (0x1F, 0x4E, 0x79)), ("warning row", (0xFF, 0xF4, 0xE5))):
        if near(colour) < 200:
            fail(f"the screenshot shows no {name} colour #{bytes(colour).hex()}")
    return True


MEASURE = """<script>
(function () {
  var vw = document.documentElement.clientWidth, cut = [], scale = [];
  document.querySelectorAll("body *").forEach(function (el) {
    var b = el.getBoundingClientRect();
    if (b.width > 0 && b.right > vw + 0.5)
      cut.push(el.tagName.toLowerCase() + "." + (el.getAttribute("class") || "") + " reaches " +
               Math.round(b.right) + " px");
  });
  document.querySelectorAll("svg.wave").forEach(function (svg) {
    scale.push([parseFloat(svg.getAttribute("data-seconds")), svg.getBoundingClientRect().width,
                svg.parentElement.getBoundingClientRect().width]);
  });
  window.parent.document.body.setAttribute("data-layout", JSON.stringify(
    {width: vw, overflow: document.documentElement.scrollWidth - vw, cut: cut, scale: scale}));
})();
</script>"""


def check_layout(page, width, fail):
    """Lays the page out at width pixels; False when chromium is not installed."""
    browser = shutil.which("chromium")
    if not browser:
        return False
    work = tempfile.mkdtemp(prefix="zelvor-layout-")
    try:
        with open(page, encoding="utf-8") as f:
            html = f.read()
        # A browser window is no narrower than 500 px: the page is laid out in a frame of the
        # width asked for, and tells its measures to the frame's parent.
        copy = os.path.join(work, "page.html")
        with open(copy, "w", encoding="utf-8") as f:
            f.write('<!DOCTYPE html><html><body style="margin:0"><iframe style="border:0;width:'
                    f'{width}px;height:900px" srcdoc="' +
                    html_module.escape(html.replace("</body>", MEASURE + "</body>")) +
                    '"></iframe></body></html>')
        dom = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                              "--disable-quic", "--no-first-run",
                              "--disable-background-networking", "--disable-component-update",
                              "--disable-sync", f"--user-data-dir={work}/profile",
                              f"--window-size={width + 100},1000", "--dump-dom",
                              "file://" + copy],
                             capture_output=True, text=True, timeout=120, check=False).stdout
    finally:
        shutil.rmtree(work, ignore_errors=True)
    found = re.search(r'data-layout="([^"]*)"', dom)
    if not found:
        fail(f"{width} px: chromium gave no layout")
        return True
    layout = json.loads(html_module.unescape(found.group(1)))
    if layout["overflow"] > 0:
        fail(f"{width} px: the page scrolls sideways by {layout['overflow']} px")
    for what in layout["cut"][:5]:
        fail(f"{width} px: {what}, past the right edge at {layout['width']} px")
    longest = max((s for s, _, _ in layout["scale"]), default=0)
    for seconds, drawn, box in layout["scale"]:
        want = box * seconds / longest if longest else 0
        if abs(drawn - max(want, 2)) > 2:
            fail(f"{width} px: a waveform of {seconds} s is {drawn:.0f} px wide in its "
                 f"{box:.0f} px box; one time scale gives {want:.0f} px")
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("page")
    ap.add_argument("--wavs", required=True)
    ap.add_argument("--expect-slots", type=lambda s: sorted(int(x) for x in s.split(",")))
    ap.add_argument("--expect-warning", action="append", default=[],
                    type=lambda s: (int(s.split(":")[0]), s.split(":")[1]))
    ap.add_argument("--expect-empty")
    ap.add_argument("--screenshot")
    ap.add_argument("--window-size", default="1400,900")
    ap.add_argument("--layout-widths", type=lambda s: [int(x) for x in s.split(",")], default=[])
    args = ap.parse_args()
    failures = []
    check_structure(args.page, args, failures.append)
    rendered = True
    if args.screenshot:
        rendered = render(args.page, args.screenshot, args.window_size, failures.append)
    for width in args.layout_widths:
        rendered = check_layout(args.page, width, failures.append) and rendered
    for f in failures:
        print("report_page_check: " + f, file=sys.stderr)
    if failures:
        return 1
    return 0 if rendered else 77


if __name__ == "__main__":
    sys.exit(main())
