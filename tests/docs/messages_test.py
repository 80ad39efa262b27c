#!/usr/bin/env python3
"""Every message of the program's sources is in the manual's chapter of messages.

A message is a C++ string literal, in the program's own sources (not the tests or the
developers' tools), that stands in one of these places:
  - among the arguments of a call that shows or carries a message: errorBox, plainBox,
    generalErrorBox, confirm, showBox, Failure, fail, skipped, cannotWrite, cannotRead,
    inFunction, inProcedure, repeatedInput;
  - in a statement that writes to std::cerr;
  - on the right of an assignment or initialisation of a name that holds a message
    (one that ends in "message", "reason", "error" or "result", or the last entry of
    a list of messages), unless it is an argument of another function of the program
    there (as "BITPIX" in result = getFitsInteger(ws, "BITPIX"));
  - among the arguments of push_back or emplace_back on a list of messages;
  - in a return statement of a function that makes a message: one named after one of
    the calls above, or whose name ends in Message, Reason or Text (but not the help,
    usage and version texts, which the manual shows as the synopsis);
  - as the value of a constant in a namespace "messages", or of a constant whose name
    ends in Text or Message.
Each literal is split at its line breaks, and each piece that holds a word (two
letters) must appear, as the program writes it, in the text of the chapter "Messages"
of Kestrel.pdf, read with pdftotext. A piece such as "Cannot write " stands for every
message that begins so, whatever file and reason follow.

Not searched: app/qt/screenshot.cpp, a developers' tool.

The fix for a failure is a line in that chapter of docs/manual.ms (.MSG "the message",
then what it means and what to do).

Usage: messages_test.py SOURCE_FOLDER KESTREL_PDF
"""
import pathlib
import re
import shutil
import subprocess
import sys

SKIP = 77
FOLDERS = ("app", "cli", "core", "fits", "settings", "online", "analysis", "correction", "plot")
CALLS = ("errorBox", "plainBox", "generalErrorBox", "confirm", "showBox", "Failure", "fail", "skipped",
         "cannotWrite", "cannotRead", "inFunction", "inProcedure", "repeatedInput")
NAMES = re.compile(r"(message|reason|error|result)_?$", re.I)
# The help, usage and version texts, and a number's text: no messages.
NOT_MESSAGES = {"helpText", "usageText", "versionText", "windowHelpText", "windowUsageText", "windowVersionText",
                "significanceText"}
CHAPTER = "Messages"

ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0", "a": "\a"}


def blank_comments(code):
    """The code with comments replaced by blanks (line breaks kept), and the spans of its
    string literals: (start, end, decoded text)."""
    out, literals, i, n = [], [], 0, len(code)
    while i < n:
        c = code[i]
        if code.startswith("//", i):
            j = code.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif code.startswith("/*", i):
            j = code.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", code[i:j]))
            i = j
        elif c == 'R' and code.startswith('R"', i) and not (i and (code[i - 1].isalnum() or code[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', code[i:])
            end = code.find(")" + m.group(1) + '"', i)
            j = end + len(m.group(1)) + 2
            literals.append((i, j, code[i + len(m.group(0)):end]))
            out.append(code[i:j])
            i = j
        elif c == '"':
            j, text = i + 1, []
            while code[j] != '"':
                if code[j] == "\\":
                    e = code[j + 1]
                    if e == "x":
                        m = re.match(r"[0-9a-fA-F]+", code[j + 2:])
                        text.append(chr(int(m.group(0), 16)))
                        j += 2 + len(m.group(0))
                        continue
                    text.append(ESCAPES.get(e, e))
                    j += 2
                else:
                    text.append(code[j])
                    j += 1
            literals.append((i, j + 1, "".join(text)))
            out.append(code[i:j + 1])
            i = j + 1
        elif c == "'" and i and code[i - 1].isdigit() and i + 1 < n and code[i + 1].isalnum():
            # A digit separator (1'000'000), not a character literal.
            out.append(c)
            i += 1
        elif c == "'":
            j = i + 1
            while code[j] != "'":
                j += 2 if code[j] == "\\" else 1
            out.append(code[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out), literals


def closing(code, start, opener="(", closer=")"):
    """Index just past the bracket that closes the one at `start`, literals skipped."""
    depth, i = 0, start
    while i < len(code):
        if code[i] == opener:
            depth += 1
        elif code[i] == closer:
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return len(code)


def statement_end(code, start):
    """Index of the semicolon that ends the statement going on at `start`."""
    depth, i = 0, start
    while i < len(code):
        if code[i] in "([{":
            depth += 1
        elif code[i] in ")]}":
            depth -= 1
            if depth < 0:
                return i
        elif code[i] == ";" and depth == 0:
            return i
        i += 1
    return len(code)


def masked(code, literals):
    """The code with every literal's inside blanked, so that searches skip them."""
    chars = list(code)
    for start, end, _ in literals:
        for k in range(start + 1, end - 1):
            if chars[k] != "\n":
                chars[k] = " "
    return "".join(chars)


def argument_of_another_call(code, at):
    """True when the literal at `at` is an argument of a call to a function of the
    program that carries no message (a lower-case name, not one of CALLS)."""
    depth, i = 0, at - 1
    while i >= 0:
        if code[i] == ")":
            depth += 1
        elif code[i] == "(":
            if depth == 0:
                name = re.search(r"([\w:]*)\s*$", code[:i]).group(1)
                return bool(name) and name[0].islower() and name not in CALLS and not name.startswith("std::")
            depth -= 1
        elif code[i] in ";{}" and depth == 0:
            return False
        i -= 1
    return False


def message_spans(code):
    """The spans of the code in which a literal is a message, each with whether an
    argument of another call inside it is left out."""
    spans = []
    call = re.compile(r"(?<![\w.:>])(?:\w+::)*(?:\w+\.|\w+->)?(" + "|".join(CALLS) + r")\s*\(")
    for m in call.finditer(code):
        spans.append((m.end() - 1, closing(code, m.end() - 1), False))
    for m in re.finditer(r"\bstd::cerr\b", code):
        spans.append((m.start(), statement_end(code, m.start()), True))
    for m in re.finditer(r"\b([A-Za-z_]\w*)\s*(=|\+=|\{)(?!=)", code):
        if NAMES.search(m.group(1)) and not re.search(r"[=!<>]\s*$", code[:m.start(2)]):
            spans.append((m.end(), statement_end(code, m.end()), True))
    # Functions that make a message: their return statements.
    makers = re.compile(r"^(?:" + "|".join(CALLS) + r"|\w*(?:Message|Reason|Text))$")
    for m in re.finditer(r"\b([A-Za-z_]\w*)\s*\(([^;{}()]|\([^()]*\))*\)\s*(?:const\s*)?(?:noexcept\s*)?(?:->\s*[\w:<>]+\s*)?\{",
                         code):
        name = m.group(1)
        if not makers.match(name) or name in NOT_MESSAGES or name in ("if", "for", "while", "switch"):
            continue
        body_start = m.end() - 1
        body_end = closing(code, body_start, "{", "}")
        for r in re.finditer(r"\breturn\b", code[body_start:body_end]):
            at = body_start + r.start()
            spans.append((at, statement_end(code, at), True))
    # Lists of messages: what is added to them, or to their last entry.
    for m in re.finditer(r"\b\w*(?:message|error|reason)s\s*\.\s*(?:push_back|emplace_back)\s*\(", code, re.I):
        spans.append((m.end() - 1, closing(code, m.end() - 1), False))
    for m in re.finditer(r"\b\w*(?:message|error|reason)s?\s*\.\s*(?:back|front)\s*\(\s*\)\s*\+?=(?!=)", code, re.I):
        spans.append((m.end(), statement_end(code, m.end()), True))
    for m in re.finditer(r"\bnamespace\s+messages\s*\{", code):
        spans.append((m.end() - 1, closing(code, m.end() - 1, "{", "}"), False))
    for m in re.finditer(r"\b(\w*(?:Text|Message))\s*=", code):
        if m.group(1) not in NOT_MESSAGES:
            spans.append((m.end(), statement_end(code, m.end()), False))
    return spans


def source_messages(root):
    """{piece: "file:line"} of every message piece in the sources."""
    found = {}
    for folder in FOLDERS:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".cpp", ".h") or "test" in path.name or path.name == "screenshot.cpp":
                continue
            code, literals = blank_comments(path.read_text(encoding="utf-8"))
            search = masked(code, literals)
            spans = message_spans(search)
            for start, end, text in literals:
                inside = [strict for a, b, strict in spans if a <= start < b]
                if not inside or all(strict and argument_of_another_call(search, start) for strict in inside):
                    continue
                line = code.count("\n", 0, start) + 1
                for piece in text.split("\n"):
                    piece = piece.strip()
                    if len(re.findall(r"[A-Za-z]", piece)) >= 2:
                        found.setdefault(piece, f"{path.relative_to(root)}:{line}")
    return found


def normalised(text):
    for a, b in (("\u2018", "'"), ("\u2019", "'"), ("\u201c", '"'), ("\u201d", '"'), ("\u2010", "-"),
                 ("\u2011", "-"), ("\u2212", "-"), ("\u00a0", " "), ("\ufb01", "fi"), ("\ufb02", "fl")):
        text = text.replace(a, b)
    return re.sub(r"\s+", " ", text)


def chapter_text(pdf):
    """The text of the chapter of messages, from its heading to the next chapter's."""
    text = subprocess.run(["pdftotext", "-raw", pdf, "-"], check=True, capture_output=True, text=True).stdout
    headings = [m for m in re.finditer(r"^\f?(\d+)\. (.+)$", text, re.M)]
    starts = [m for m in headings if m.group(2).strip() == CHAPTER]
    if not starts:
        return None
    start = starts[-1]  # the chapter itself, not its line in the contents
    number = int(start.group(1))
    following = [m for m in headings if m.start() > start.start() and int(m.group(1)) == number + 1]
    end = following[0].start() if following else len(text)
    return normalised(text[start.end():end])


def main():
    root, pdf = pathlib.Path(sys.argv[1]), sys.argv[2]
    if not shutil.which("pdftotext"):
        print("SKIP: pdftotext not installed (run ./setup.sh)")
        return SKIP
    chapter = chapter_text(pdf)
    if chapter is None:
        print(f"FAIL: Kestrel.pdf has no chapter '{CHAPTER}'")
        return 1
    messages = source_messages(root)
    missing = {piece: where for piece, where in messages.items() if normalised(piece) not in chapter}
    for piece, where in sorted(missing.items(), key=lambda item: item[1]):
        print(f"MISSING: {piece!r}  ({where})")
    if missing:
        print(f"FAIL: {len(missing)} of {len(messages)} messages are not in the chapter '{CHAPTER}' of the manual; "
              "add each to docs/manual.ms as .MSG \"text\" with what it means and what to do")
        return 1
    print(f"all {len(messages)} messages of the sources are in the chapter '{CHAPTER}'")
    return 0


if __name__ == "__main__":
    sys.exit(main())
