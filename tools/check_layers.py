#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer above its own, when Qt is
included outside app/qt, or when a layer below the window's logic pumps the window's
events: the layers point down only, so that the core builds and is tested without a
display, and the work runs on any thread.

Usage: check_layers.py SOURCE_ROOT
"""
import pathlib
import re
import sys

# Each module and the modules whose headers it may include (itself included).
ALLOWED = {
    "core": {"core"},
    "plot": {"core", "plot"},
    "fits": {"core", "fits"},
    "settings": {"core", "settings"},
    "online": {"core", "online"},
    "analysis": {"core", "fits", "analysis"},
    "correction": {"core", "fits", "analysis", "correction"},
    "engine": {"core", "fits", "settings", "analysis", "correction", "engine"},
    # The charts of the runs' outcomes, which both front ends draw.
    "charts": {"core", "plot", "fits", "settings", "analysis", "correction", "engine", "charts"},
    "app": {"core", "plot", "fits", "settings", "online", "analysis", "correction", "engine", "charts", "app"},
    "cli": {"core", "plot", "fits", "settings", "online", "analysis", "correction", "engine", "charts", "cli"},
    # The Python module stands on the engine, as kestrel-cli does, and beside it.
    "python": {"core", "fits", "settings", "analysis", "correction", "engine", "python"},
}
# Headers a layer's own files may not reach, directly or through the headers they
# include: the correction measures and corrects pixels, and the engine writes them.
UNREACHABLE = {
    "correction/": ("core/whole_file.h", "fits/writer.h"),
}
QT_FOLDERS = ("app/qt/", "tests/app/qt/", "tests/packaging/")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# A call of the host's event pump: "host.pumpMessages()" and the like, not its
# declaration or an implementation ("void pumpMessages() override").
PUMP = re.compile(r'[.>]\s*pumpMessages\s*\(')
# Where the window's events may be pumped: the window's logic and its Qt front end.
PUMPING = ("app/",)


def module_of(relative: str) -> str | None:
    parts = relative.split("/")
    # Tests, benchmarks and fuzzers are held to the layer of what they exercise.
    if parts[0] in ("tests", "bench", "fuzz") and len(parts) > 2 and parts[1] in ALLOWED:
        return parts[1]
    return parts[0] if parts[0] in ALLOWED else None


def quoted_includes(root: pathlib.Path, header: str, cache: dict) -> list:
    """The project headers `header` includes with quotes, as paths from the root."""
    if header not in cache:
        path = root / header
        lines = path.read_text(errors="replace").splitlines() if path.is_file() else []
        cache[header] = [m.group(2) for m in map(INCLUDE.match, lines) if m and m.group(1) == '"']
    return cache[header]


def reached_through(root: pathlib.Path, header: str, forbidden: tuple, cache: dict) -> str | None:
    """The forbidden header that `header` is or includes, directly or not; None when none."""
    seen, todo = set(), [header]
    while todo:
        current = todo.pop()
        if current in forbidden:
            return current
        if current not in seen:
            seen.add(current)
            todo.extend(quoted_includes(root, current, cache))
    return None


def main() -> int:
    root = pathlib.Path(sys.argv[1])
    problems = []
    includes = {}
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp") or any(p.startswith("build") for p in path.relative_to(root).parts):
            continue
        relative = path.relative_to(root).as_posix()
        module = module_of(relative)
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            if module is not None and not relative.startswith(PUMPING) and not relative.startswith("tests/") \
                    and PUMP.search(line):
                problems.append(f"{relative}:{number}: pumps the window's events below the window's logic")
            match = INCLUDE.match(line)
            if not match:
                continue
            kind, header = match.groups()
            if kind == "<" and re.match(r"Q[A-Za-z]", header) and not relative.startswith(QT_FOLDERS):
                problems.append(f"{relative}:{number}: includes Qt ({header}) outside app/qt")
            if kind != '"' or module is None:
                continue
            for folder, forbidden in UNREACHABLE.items():
                if relative.startswith(folder):
                    reached = reached_through(root, header, forbidden, includes)
                    if reached is not None:
                        via = "" if reached == header else f" through {header}"
                        problems.append(f"{relative}:{number}: {folder} includes {reached}{via}")
            target = header.split("/")[0]
            if target in ALLOWED and target not in ALLOWED[module]:
                problems.append(f"{relative}:{number}: {module}/ includes {header}, a layer above it")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
