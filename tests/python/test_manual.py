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
