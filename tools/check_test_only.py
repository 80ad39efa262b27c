#!/usr/bin/env python3
"""Fails when a product library declares a free function that nothing in the product
calls: a function that only tests or benchmarks call belongs beside them, not in what
users run.

A function counts as called when its name appears in a product source other than on a
line that declares or defines it (those start in the first column) or inside its own
definition (an overload that forwards to another is not a caller). Overloads share a
name, so one called overload keeps them all.

Usage: check_test_only.py SOURCE_ROOT
"""
import pathlib
import re
import sys

# Every top-level folder of C++ sources is product, except these: a new layer is then
# looked at from its first commit, not from the day someone remembers to list it.
NOT_PRODUCT = {"tests", "bench", "fuzz", "examples", "build", "docs", "site", "packaging", "resources", "cmake"}
# The first-column line of a free function's declaration or definition: a return type,
# then the name and its opening parenthesis.
DECLARATION = re.compile(r"^(?!return\b|using\b|typedef\b|namespace\b|struct\b|class\b|enum\b|template\b|#)"
                         r"[A-Za-z_][\w:<>,\s\*&]*?[\s\*&](\w+)\s*\(")
COMMENT = re.compile(r"//.*")
STRING = re.compile(r'"(?:[^"\\]|\\.)*"')


def sources(root: pathlib.Path):
    for folder in sorted(root.iterdir()):
        if not folder.is_dir() or folder.name.startswith(".") or folder.name in NOT_PRODUCT \
                or folder.name.startswith("build"):
            continue
        for path in sorted(folder.rglob("*")):
            if path.suffix in (".h", ".cpp"):
                yield path


def main() -> int:
    root = pathlib.Path(sys.argv[1])
    declared: dict[str, str] = {}
    uses: dict[str, int] = {}
    for path in sources(root):
        relative = path.relative_to(root).as_posix()
        defining = None  # the function whose body these lines are
        for number, raw in enumerate(path.read_text(errors="replace").splitlines(), 1):
            line = STRING.sub('""', COMMENT.sub("", raw))
            match = DECLARATION.match(line)
            if match and path.suffix == ".h" and line.rstrip().endswith((";", ",", "(")):
                declared.setdefault(match.group(1), f"{relative}:{number}")
            elif match:
                defining = match.group(1)
            skip = match.group(1) if match else defining
            for name in re.findall(r"\b\w+\b", line):
                if name != skip:
                    uses[name] = uses.get(name, 0) + 1
            if line.startswith("}"):
                defining = None
    unused = sorted(f"{where}: {name} is declared in the product but only tests call it"
                    for name, where in declared.items() if uses.get(name, 0) == 0 and name != "main")
    for line in unused:
        print(line)
    return 1 if unused else 0


if __name__ == "__main__":
    sys.exit(main())
