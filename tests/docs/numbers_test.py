#!/usr/bin/env python3
"""Every number the manual's text quotes from kestrel-cli's output stands in the
finished PDF with the words around it, and no quoted number is empty: for each use
of a string of numbers.ms in a line of manual.ms, the words before and after it must
enclose its value in pdftotext's text.

Usage: numbers_test.py MANUAL_MS NUMBERS_MS KESTREL_PDF
"""
import re
import shutil
import subprocess
import sys

SKIP = 77
# Any other escape ends the words that count as the number's context.
ESCAPE = re.compile(r"\\(?:\*\[[^]]*\]|n\+?\[[^]]*\]|f(?:\(..|\[[^]]*\]|.)|\(..|.)")
PUNCTUATION = ",.;:)"


def quotes(manual, numbers):
    """(name, the words of the text around the number) for each quoted number."""
    for line in manual.splitlines():
        if line.startswith((".", "'")):
            continue
        line = line.replace("\\~", " ").replace("\\-", "-").replace("\\&", "").replace("\\(ti", "~")
        for use in re.finditer(r"\\\*\[([a-z0-9-]+)\]", line):
            name = use.group(1)
            if name not in numbers:
                continue
            # Inside a word (kestrel_1.35_amd64.deb) the number is set without spaces;
            # inside the inline-code string \*[C ...] its context ends with the string.
            ahead = ESCAPE.split(line[:use.start()])[-1].rpartition("[C ")[2]
            behind = ESCAPE.split(line[use.end():])[0].partition("]")[0]
            before = " ".join(ahead.split()[-3:])
            after = " ".join(behind.split()[:3])
            quoted = f"{before}{'' if ahead[-1:].strip() else ' '}{numbers[name]}".strip()
            if after:
                quoted += after if after[0] in PUNCTUATION or behind[:1].strip() else " " + after
            yield name, quoted


def main():
    manual_ms, numbers_ms, pdf = sys.argv[1:4]
    if not shutil.which("pdftotext"):
        print("SKIP: pdftotext not installed (run ./setup.sh)")
        return SKIP
    numbers = dict(re.findall(r"^\.ds (\S+) ?(.*)$", open(numbers_ms).read(), re.M))
    text = subprocess.run(["pdftotext", "-raw", pdf, "-"], check=True, capture_output=True, text=True).stdout
    for odd, plain_char in (("\u2019", "'"), ("\u2010", "-"), ("\u2212", "-"), ("\u2018", "'")):
        text = text.replace(odd, plain_char)
    # The running head (the chapter's title) and the page number are no part of a
    # sentence that runs on to the next page.
    chapters = set(re.findall(r'^\.CHAPTER "([^"]*)"', open(manual_ms).read(), re.M))
    text = " ".join(word for page in text.split("\f") for line in page.splitlines()
                    if line.strip() not in chapters and not line.strip().isdigit() for word in line.split())
    failures, checked = [], 0
    for name, quoted in quotes(open(manual_ms).read(), numbers):
        checked += 1
        if not numbers[name].strip():
            failures.append(f"\\*[{name}] is empty")
        elif quoted not in text:
            failures.append(f"\\*[{name}]: '{quoted}' is not in the PDF")
    # A string left empty, whatever its name, leaves two marks of punctuation with
    # nothing between them ("stands out: , close to").
    for gap in re.finditer(r"[:,;(] [,.;:)](?= )", text):
        failures.append(f"an empty number in '{text[gap.start() - 40:gap.end() + 20]}'")
    if checked < 20:
        failures.append(f"only {checked} quoted numbers found in the text")
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"{checked} quoted numbers stand in the PDF with their words")
    return 0


if __name__ == "__main__":
    sys.exit(main())
