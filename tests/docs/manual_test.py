#!/usr/bin/env python3
"""Reads Kestrel.pdf as its users do, through poppler's pdftotext, pdffonts, pdfimages
and pdfinfo, and fails when an option of kestrel-cli or a message of the program is
broken across lines or missing, a word is split at a line end, a font is not
embedded, the contents do not lead to the pages they name, or the figures or the
title are missing.

Usage: manual_test.py KESTREL_PDF KESTREL_CLI
"""
import re
import shutil
import subprocess
import sys

SKIP = 77

# The messages of the troubleshooting chapter, as the program writes them (their
# fixed parts where a file name or a reason is filled in). A message that the
# program itself shows on two lines is two entries.
MESSAGES = [
    "Kestrel only uses 32-bit floating point FITS images.",
    "1x1 Phase is not an integer.",
    "2x2 Phase is not an integer.",
    "Give it with --phase-1x1 N",
    "Amphlitude must be greater than 0.0.",
    "Overwrite existing files?",
    "already exists.",
    "Continue?",
    "Cannot create the folder ",
    ": the file is write-protected",
    "... in function fixFloat32Columns.",
    "... in function fixFloat32Columns2x2.",
    "which this run treats already; it is skipped.",
    "in this run; it is skipped.",
    "Failed",
    "Invalid floating point operation... in function fixFloat32Columns.",
    "Invalid floating point operation... in function fixFloat32Columns2x2.",
    "Floating point overflow... in function ",
    "Range check error... in function ",
    "Out of memory... in function ",
    "Function loadFitsHeader failed.",
    "... in procedure Button1Click.",
    "... in procedure Button7Click.",
    "Kestrel only uses 16-bit unsigned FITS",
    "images to calculate the vertical band phase.",
    "The Phase = ",
    "Update the congfiguration (.ini) file?",
    "Invalid floating point operation... in function findPhase16.",
    "Range check error... in function loadAllImageDataInt16.",
    "... in function findPhase16.",
    "... in function readIniFile.",
    "... in function updateIniFile.",
    "Cannot create the collator: ",
    "Cannot compare the rows: ",
    "... in function SortStringGrid.",
    "Error downloading ",
    "The update link is not a web address... Update download failed.",
    "No PDF reader was found to open ",
    "Open it with a program of your choice.",
    "No web browser was found to open ",
    "Open the address in a browser of your choice.",
    "No e-mail program was found to write to ",
    'Write to this address, subject "Kestrel...", with a program of your choice.',
    "no command given",
    "unknown command '",
    "'--help' takes no arguments",
    "'--version' takes no arguments",
    "for 'correct'",
    "for 'phase'",
    "' needs a value",
    "' is not a number",
    "--output-dir: no folder given",
    "--csv: no file name given",
    "' is not a number of jobs from 1 to 1024",
    "--overwrite and --output-dir exclude each other",
    "no FITS file given",
    "'phase' takes exactly one FILE",
    "cannot create the output folder ",
    ": it is a folder",
    ": not a regular file",
    "); no further file was written",
    "the output was closed; ",
    "skipped: no readable FITS header",
    "skipped: not a 32-bit floating point image",
    "skipped: not a 16-bit unsigned image",
    "nor 2x2-binned (2004, 2016)",
    "failed: image not measured",
    "failed: the image data could not be read",
    "for 'profile'",
    "' is neither standard nor balanced",
    "--force goes with --save",
    " was not stored: its significance is ",
    ", below 5;",
    "--force stores it anyway",
    " was not stored: its significance could not be measured;",
    "no plot: the significance of the phase could not be measured",
    "amplitudes measured by the standard estimator; residual: the largest",
    "balanced amplitude left at any phase",
    " does not stand out from the noise: its band",
    " times its standard error of ",
    "a phase to trust reads 5 or more",
    "; the contrast peaks at phase ",
    ": the significance of the phase could not be measured: ",
    ": the residual amplitude could not be measured: ",
]


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def broken(text, literal):
    """Why `literal` is not found whole wherever the text holds it, or None. A
    literal broken at a hyphen, hyphenated, or broken at a blank is found only once
    the line break is taken out in one of these ways."""
    whole = text.count(literal)
    for joined in (text.replace("-\n", "-"), text.replace("-\n", ""), text.replace("\n", " ")):
        if joined.count(literal) > whole:
            return "broken across lines"
    return None if whole else "missing"


def contents_problems(pdf, pages):
    """Each entry of the contents page names the page on which its heading stands."""
    first = run("pdftotext", "-raw", "-f", "2", "-l", "2", pdf, "-")
    if "Contents" not in first:
        return ["no contents on page 2"]
    entries = re.findall(r"^(\d+(?:\.\d+)?) (.+?)[ .]*?(\d+)$", first, re.M)
    if len(entries) < 8:
        return [f"the contents list {len(entries)} entries"]
    text = [run("pdftotext", "-raw", "-f", str(p), "-l", str(p), pdf, "-") for p in range(1, pages + 1)]
    # The chapters are numbered from the first one's page.
    offset = next((p for p, t in enumerate(text) if re.search(r"^1\. " + re.escape(entries[0][1]), t, re.M)), None)
    if offset is None:
        return [f"chapter 1 '{entries[0][1]}' not found"]
    problems = []
    for number, title, page in entries:
        heading = re.compile("^" + re.escape(f"{number}. {title}") + "$", re.M)
        physical = offset + int(page) - 1
        if physical >= pages or not heading.search(text[physical]):
            found = [p - offset + 1 for p, t in enumerate(text) if heading.search(t)]
            problems.append(f"'{number} {title}' is listed on page {page} but stands on {found}")
    return problems


def main():
    pdf, cli = sys.argv[1:3]
    for tool in ("pdftotext", "pdffonts", "pdfimages", "pdfinfo"):
        if not shutil.which(tool):
            print(f"SKIP: {tool} not installed (run ./setup.sh)")
            return SKIP
    failures = []
    text = run("pdftotext", "-raw", pdf, "-")

    options = sorted(set(re.findall(r"--[a-z0-9][a-z0-9-]*", run(cli, "--help"))))
    if len(options) < 10:
        failures.append(f"kestrel-cli --help names only {options}")
    for literal in options + [m.strip() for m in MESSAGES]:
        if problem := broken(text, literal):
            failures.append(f"{literal!r}: {problem}")

    # Lines are set ragged right without hyphenation, and never break after a hyphen:
    # a line that ends in one has split a word ("un-signed") or a literal.
    for line in text.splitlines():
        if re.search(r"\w-$", line):
            failures.append(f"a line ends in a split word: {line!r}")

    for row in run("pdffonts", pdf).splitlines()[2:]:
        fields = row.split()
        if fields[-5] != "yes":
            failures.append(f"font {fields[0]} is not embedded")

    images = [row for row in run("pdfimages", "-list", pdf).splitlines()[2:] if row.split()[2] == "image"]
    if len(images) < 2:
        failures.append(f"{len(images)} images: the figures are missing")

    info = run("pdfinfo", pdf)
    pages = int(re.search(r"^Pages:\s+(\d+)", info, re.M).group(1))
    for key, value in (("Title", "Kestrel 1.35 User Manual"), ("Author", "The Kestrel developers")):
        if not re.search(rf"^{key}:\s+{re.escape(value)}$", info, re.M):
            failures.append(f"the PDF's {key} is not '{value}'")
    failures += contents_problems(pdf, pages)

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"{len(options)} options and {len(MESSAGES)} messages whole; fonts embedded; "
          f"{len(images)} images; contents match {pages} pages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
