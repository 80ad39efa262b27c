#!/usr/bin/env python3
"""Draws the band profile and the phase scores of synthetic frames with kestrel-cli in
each format and checks every file as other programs read it: the SVG parses as XML,
the PNG decodes (Pillow), the PDF opens (poppler's pdfinfo and pdftocairo) and reads
(pdftotext). Each plot must show its points: 32 per series, plus one in the legend.

Usage: check_plots.py KESTREL_CLI KESTREL_MAKE_FRAMES
"""
import collections
import pathlib
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

from PIL import Image, ImageFilter

SVG = "{http://www.w3.org/2000/svg}"
POINTS = 32 + 1  # the band period's positions or candidate phases, and the legend's


def markers_by_colour(svg_text):
    """Closed shapes (circles, rings, squares) drawn outside the glyph definitions,
    counted once per shape by their colour: a shape filled and edged in two colours
    counts for the one that is not white."""
    root = ET.fromstring(svg_text)
    assert root.tag == SVG + "svg", root.tag
    in_defs = {id(e) for d in root.iter(SVG + "defs") for e in d.iter()}
    shapes = {}
    for path in root.iter(SVG + "path"):
        d = path.get("d", "")
        if id(path) in in_defs or not re.search(r"[CZ]", d):
            continue
        style = path.get("style", "")
        colours = [c for c in re.findall(r"(?:fill|stroke):(rgb\([^)]*\))", style) if c != "rgb(100%,100%,100%)"]
        if colours:
            shapes.setdefault(d, colours[0])
    return collections.Counter(shapes.values())


def solid_blobs_by_colour(png):
    """Connected areas of one strong colour at least 5 x 5 pixels thick: filled markers,
    not the thin lines that join them nor the pale shading."""
    image = Image.open(png)
    image.load()  # decodes every row
    assert image.size == (1440, 900), image.size
    rgb = image.convert("RGB")
    counts = collections.Counter()
    for colour, n in collections.Counter(rgb.getdata()).items():
        if n < 200 or max(colour) - min(colour) < 120:
            continue
        mask = Image.frombytes("L", rgb.size, bytes(255 if p == colour else 0 for p in rgb.getdata()))
        core = mask.filter(ImageFilter.MinFilter(5))
        counts[colour] = components(core)
    return counts


def components(mask):
    width, height = mask.size
    data = mask.load()
    seen, count = set(), 0
    for y in range(height):
        for x in range(width):
            if data[x, y] and (x, y) not in seen:
                count += 1
                stack = [(x, y)]
                seen.add((x, y))
                while stack:
                    cx, cy = stack.pop()
                    for nx, ny in ((cx + 1, cy), (cx - 1, cy), (cx, cy + 1), (cx, cy - 1)):
                        if 0 <= nx < width and 0 <= ny < height and data[nx, ny] and (nx, ny) not in seen:
                            seen.add((nx, ny))
                            stack.append((nx, ny))
    return count


def check(name, got, expected):
    if got != expected:
        raise SystemExit(f"FAIL: {name}: {got}, expected {expected}")
    print(f"ok: {name}: {got}")


def main():
    cli, make_frames = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        subprocess.run([make_frames, work / "float", "1", "4008", "64"], check=True)
        subprocess.run([make_frames, "--uint16", work / "int16", "1", "4008", "64"], check=True)
        for kind, command in (("profile", ["profile", "--phase-1x1", "8", work / "float" / "frame1.fits"]),
                              ("scores", ["phase", work / "int16" / "frame1.fits"])):
            # Series: before and after (profile), the scores; markers: the phase ring.
            want = [POINTS, POINTS] if kind == "profile" else [POINTS]
            for ext in ("svg", "png", "pdf"):
                plot = work / f"{kind}.{ext}"
                subprocess.run([cli, command[0], "--plot", plot, *command[1:]], check=True, stdout=subprocess.DEVNULL)
                if ext == "svg":
                    counts = markers_by_colour(plot.read_text())
                    check(f"{plot.name} markers", sorted(counts.values(), reverse=True)[:len(want)], want)
                elif ext == "png":
                    # The rings of the profile's first series are hollow: only the
                    # filled squares after the correction count here.
                    counts = solid_blobs_by_colour(plot)
                    check(f"{plot.name} filled markers", sorted(counts.values(), reverse=True)[:1], [POINTS])
                else:
                    info = subprocess.run(["pdfinfo", plot], check=True, capture_output=True, text=True).stdout
                    check(f"{plot.name} pages", re.search(r"Pages:\s+(\d+)", info).group(1), "1")
                    check(f"{plot.name} size", re.search(r"Page size:\s+(\S+ x \S+)", info).group(1), "720 x 450")
                    svg = subprocess.run(["pdftocairo", "-svg", plot, "-"], check=True, capture_output=True,
                                         text=True).stdout
                    counts = markers_by_colour(svg)
                    check(f"{plot.name} markers", sorted(counts.values(), reverse=True)[:len(want)], want)
                    # The profile's title names the residual and its phase; the contrasts
                    # mark the runner-up beside the phase chosen.
                    text = subprocess.run(["pdftotext", plot, "-"], check=True, capture_output=True,
                                          text=True).stdout
                    said = r"residual \d+\.\d{3} ADU at phase \d+" if kind == "profile" else r"runner-up \d+"
                    check(f"{plot.name} says", bool(re.search(said, text)), True)


if __name__ == "__main__":
    main()
