"""Every FITS file of astropy's own test data through kestrel-cli correct, phase and
profile: each is refused with a reason (exit 1, nothing written) or corrected with every
byte after the primary data unit kept and a primary checksum that verifies; none makes
the tool crash, hang or take more memory than a frame needs."""
import os
import pathlib
import resource
import subprocess
import warnings

import pytest

fits = pytest.importorskip("astropy.io.fits", reason="astropy is not installed: no corpus to run")
import astropy  # noqa: E402

BUILD = pathlib.Path(os.environ["KESTREL_BUILD"])
CLI = BUILD / "bin" / "kestrel-cli"
DATA = pathlib.Path(astropy.__file__).parent / "io" / "fits" / "tests" / "data"
FILES = sorted(p for p in DATA.rglob("*") if p.suffix in (".fits", ".fit", ".fts", ".gz")) if DATA.is_dir() else []
PHASES = ["--phase-1x1", "8", "--phase-2x2", "8"]
# A sanitized build reserves far more address space than it uses.
LIMIT = None if "asan" in os.environ.get("LD_PRELOAD", "") else 2 << 30


def bounded():
    if LIMIT:
        resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def run(*arguments):
    done = subprocess.run([CLI, *arguments], capture_output=True, text=True, timeout=60, preexec_fn=bounded)
    assert done.returncode in (0, 1), f"exit {done.returncode}: {done.stderr}"
    return done


def refused_with_reason(done):
    reason = done.stdout.rsplit("\t", 1)[-1].strip()
    return done.returncode == 1 and reason.startswith(("skipped: ", "failed: ")) and len(reason) > 12


@pytest.mark.skipif(not FILES, reason=f"astropy's test data is not installed ({DATA})")
@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_corpus_file(tmp_path, path):
    original = path.read_bytes()
    out = tmp_path / "out"
    out.mkdir()
    done = run("correct", "--output-dir", out, *PHASES, path)
    written = out / path.name
    if done.returncode == 1:
        assert refused_with_reason(done), done.stdout + done.stderr
        assert not list(out.iterdir())
    else:
        assert "corrected" in done.stdout
        with fits.open(path) as before:
            unit = before[0]._data_offset + before[0]._data_size
        unit += -unit % 2880
        assert written.read_bytes()[unit:] == original[unit:]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with fits.open(written, checksum=True) as after:
                after[0].data
        assert not [w for w in caught if "PRIMARY" in str(w.message)]
    for command in (["phase"], ["profile", *PHASES]):
        done = run(*command, path)
        assert done.returncode == 0 or refused_with_reason(done), done.stdout + done.stderr
    assert path.read_bytes() == original
