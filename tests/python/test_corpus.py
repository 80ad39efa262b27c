"""astropy's own FITS test files through kestrel-cli: refused with a reason or corrected
with the rest of the file kept and a valid checksum; no crash, hang or runaway memory."""
import os
import pathlib
import resource
import subprocess
import warnings

import pytest

fits = pytest.importorskip("astropy.io.fits", reason="astropy is not installed: no corpus to run")
DATA = pathlib.Path(fits.__file__).parent / "tests" / "data"
FILES = sorted(p for p in DATA.rglob("*.fits")) if DATA.is_dir() else []
CLI = pathlib.Path(os.environ["KESTREL_BUILD"]) / "bin" / "kestrel-cli"
PHASES = ["--phase-1x1", "8", "--phase-2x2", "8"]
LIMIT = 0 if "asan" in os.environ.get("LD_PRELOAD", "") else 2 << 30  # sanitizers reserve more


def run(*arguments):
    limit = lambda: LIMIT and resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))  # noqa: E731
    done = subprocess.run([CLI, *arguments], capture_output=True, text=True, timeout=60, preexec_fn=limit)
    reason = done.stdout.rsplit("\t", 1)[-1]
    assert done.returncode == 0 or (done.returncode == 1 and len(reason) > 12 and reason.startswith(
        ("skipped: ", "failed: "))), f"exit {done.returncode}: {done.stdout} {done.stderr}"
    return done.returncode


@pytest.mark.skipif(not FILES, reason=f"astropy's test data is not installed ({DATA})")
@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_corpus_file(tmp_path, path):
    original = path.read_bytes()
    if run("correct", "--output-dir", tmp_path, *PHASES, path) == 1:
        assert not list(tmp_path.iterdir())
    else:
        with fits.open(path) as before:
            unit = before[0]._data_offset + before[0]._data_size
        assert (tmp_path / path.name).read_bytes()[unit + -unit % 2880:] == original[unit + -unit % 2880:]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fits.open(tmp_path / path.name, checksum=True).close()
        assert not [w for w in caught if "PRIMARY" in str(w.message)]
    run("phase", path)
    run("profile", *PHASES, path)
    assert path.read_bytes() == original
