"""Every message of the module stands whole in the manual, as its users read it: the
troubleshooting chapter's section on the Python module lists them all."""
import shutil
import sys

import pytest

import messages
from conftest import BUILD, SOURCE

sys.path.insert(0, str(SOURCE / "tests" / "docs"))
import manual_test  # noqa: E402  (the manual's own test: how a literal is found whole)


def test_every_message_of_the_module_is_in_the_manual():
    pdf = BUILD / "bin" / "Kestrel.pdf"
    if not shutil.which("pdftotext") or not pdf.exists():
        pytest.skip("no manual or no pdftotext (run ./setup.sh)")
    text = manual_test.run("pdftotext", "-raw", str(pdf), "-")
    heading = "Messages of the Python module"
    assert heading in text
    chapter = text[text.rindex(heading):]
    problems = {m: manual_test.broken(chapter, m.strip()) for m in messages.ALL}
    assert {m: p for m, p in problems.items() if p} == {}


@pytest.mark.parametrize("name", ["read", "find_phase", "measure", "correct", "correct_file", "plan",
                                  "append_results", "settings_file", "watch"])
def test_docstrings_have_the_numpy_sections(name):
    import builtins

    import kestrel

    doc = getattr(kestrel, name).__doc__
    sections = [line for line, rule in zip(doc.splitlines(), doc.splitlines()[1:]) if set(rule) == {"-"}]
    wanted = ["Returns", "Examples"] if name == "settings_file" else \
        ["Parameters", "Yields" if name == "watch" else "Returns", "Raises", "Examples"]
    assert [s for s in sections if s in wanted] == wanted
    # Every exception a function says it raises is one a pipeline can catch by that name.
    raises = doc.split("Raises\n------\n")[-1].split("\n\n")[0] if "Raises" in sections else ""
    for line in raises.splitlines():
        if not line.startswith(" "):
            for kind in line.split(", "):
                assert isinstance(getattr(kestrel, kind, None) or getattr(builtins, kind), type), kind


def test_help_opens_with_an_example_of_three_lines():
    import kestrel

    description = kestrel.__doc__.split("\n\n")[1].splitlines()
    assert len(description) == 3 and all(line.startswith("    >>> ") for line in description)
