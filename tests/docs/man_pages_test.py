#!/usr/bin/env python3
"""The man pages render without a single warning of groff, as man -l would show
them, and kestrel-cli(1) names exactly the options that kestrel-cli --help names.

Usage: man_pages_test.py DOCS_FOLDER KESTREL_CLI
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

    # The page as a terminal shows it, without emphasis, so that \- reads as "-".
    rendered = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", docs / "kestrel-cli.1"],
                              check=True, capture_output=True, text=True).stdout
    in_page = set(OPTION.findall(rendered))
    in_help = set(OPTION.findall(subprocess.run([cli, "--help"], check=True, capture_output=True,
                                                text=True).stdout))
    if in_page != in_help:
        failures.append(f"only in the man page: {sorted(in_page - in_help)}; "
                        f"only in --help: {sorted(in_help - in_page)}")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"both pages clean; the {len(in_help)} options of --help and kestrel-cli(1) agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
