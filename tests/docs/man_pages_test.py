#!/usr/bin/env python3
"""The man pages as the build made them render without a single warning of groff, as
man -l would show them, and kestrel-cli(1) names exactly the options that
kestrel-cli --help names. No marker of their templates is left, every value their
text quotes is in the output of the example it was read from, and every example's
output begins under its command as the page shows it.

Usage: man_pages_test.py MADE_PAGES_FOLDER KESTREL_CLI
"""
import pathlib
import re
import shutil
import subprocess
import sys

SKIP = 77
OPTION = re.compile(r"--[a-z0-9][a-z0-9-]*")


def main():
    docs, cli = pathlib.Path(sys.argv[1]), sys.argv[2]
    if not shutil.which("groff"):
        print("SKIP: groff not installed (run ./setup.sh)")
        return SKIP
    failures = []
    for page in ("kestrel.1", "kestrel-cli.1", "kestrel-make-frames.1"):
        checked = subprocess.run(["groff", "-man", "-ww", "-z", docs / page], capture_output=True, text=True)
        if checked.returncode != 0 or checked.stdout or checked.stderr:
            failures.append(f"{page}: groff -man -ww -z says: {checked.stdout}{checked.stderr}")
        failures += [f"{page}: marker {m} left" for m in re.findall(r"@[A-Za-z0-9 -]+@", (docs / page).read_text())]

    # The page as a terminal shows it, without emphasis, so that \- reads as "-".
    rendered = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", docs / "kestrel-cli.1"],
                              check=True, capture_output=True, text=True).stdout
    in_page = set(OPTION.findall(rendered))
    in_help = set(OPTION.findall(subprocess.run([cli, "--help"], check=True, capture_output=True,
                                                text=True).stdout))
    if in_page != in_help:
        failures.append(f"only in the man page: {sorted(in_page - in_help)}; "
                        f"only in --help: {sorted(in_help - in_page)}")

    plain = " ".join(rendered.split())
    runs = docs / "runs"
    for quote in (docs / "quotes.txt").read_text().splitlines():
        name, key, file, value = quote.split("\t")
        if value not in (runs / key / file).read_text().replace("\t", " "):
            failures.append(f"{name}: '{value}' is not in what the example {key} wrote")
        if value not in plain:
            failures.append(f"{name}: '{value}' is not in kestrel-cli(1)")
    examples = [run for run in runs.iterdir() if (run / "stdout").is_file() and (run / "stdout").stat().st_size]
    for run in examples:
        command = " ".join((run / "command").read_text().split())
        first = " ".join((run / "stdout").read_text().splitlines()[0].split())
        if f"$ {command} {first} " not in plain:
            failures.append(f"kestrel-cli(1) does not show '{first}' under '{command}'")
    if len(examples) < 7:
        failures.append(f"only {len(examples)} examples ran")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"the pages clean, {len(examples)} examples shown; the {len(in_help)} options of --help and kestrel-cli(1) agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
