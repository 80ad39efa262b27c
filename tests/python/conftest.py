"""What the tests of the module share: the programs of the build, banded frames that
kestrel-make-frames writes and a few more that Astropy writes, and kestrel-cli run on
them. CTest names the build in KESTREL_BUILD; by hand, PYTHONPATH=build/python finds
the module and the build beside it."""
import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

import kestrel

BUILD = pathlib.Path(os.environ.get("KESTREL_BUILD") or pathlib.Path(kestrel.__file__).resolve().parent.parent)
SOURCE = pathlib.Path(os.environ.get("KESTREL_SOURCE") or pathlib.Path(__file__).resolve().parents[2])
CLI = BUILD / "bin" / "kestrel-cli"
MAKE_FRAMES = BUILD / "bin" / "kestrel-make-frames"



def pytest_sessionfinish(session, exitstatus):
    """A run that passed leaves no files behind in the folder ctest gave it; one that
    failed keeps them to be looked at."""
    if exitstatus == 0 and session.config.option.basetemp:
        shutil.rmtree(session.config.option.basetemp, ignore_errors=True)


ROWS = 40  # few rows: the kernels do not care, and the tests stay quick


def run_cli(*args, check=True):
    """kestrel-cli with `args`; its standard output."""
    done = subprocess.run([str(CLI), *map(str, args)], capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"kestrel-cli {' '.join(map(str, args))}: status {done.returncode}\n{done.stderr}")
    return done.stdout


def banded(width, rows=ROWS, sky=1200.0, slope=0.05, band=6.5, phase=8, seed=1):
    """A float32 frame of a sky with noise, a few stars and a band of `band` ADU whose
    reference bands start at `phase`."""
    period = 32 if width >= 4008 else 16
    rng = np.random.default_rng(seed)
    columns = np.arange(width)
    bright = ((columns - phase) % period) < period // 2
    frame = sky + slope * columns + band * bright + rng.normal(0, 12, (rows, width))
    frame.flat[rng.integers(0, frame.size, 40)] = 30000
    return frame.astype(np.float32)


def write_fits(path, data, **cards):
    from astropy.io import fits

    hdu = fits.PrimaryHDU(data)
    for key, value in cards.items():
        hdu.header[key.replace("_", "-")] = value
    hdu.writeto(path)
    return path


@pytest.fixture(scope="session")
def frames(tmp_path_factory):
    """A folder of frames: 1x1/ and 2x2/ (two each) and u16/ (16-bit, one of each
    binning) from kestrel-make-frames, and negative.fits (a dark sky, many samples
    below 0), nan.fits (2x2, a few samples not a number) and pixinsight.fits (samples
    0..1 and a PROGRAM card naming PixInsight) from Astropy."""
    root = tmp_path_factory.mktemp("frames")
    for folder, size, options in (("1x1", (4008, ROWS), []), ("2x2", (2004, ROWS), []),
                                  ("u16/1x1", (4008, 64), ["--uint16"]), ("u16/2x2", (2016, 64), ["--uint16"])):
        subprocess.run([str(MAKE_FRAMES), *options, str(root / folder), "2" if folder[0] != "u" else "1",
                        *map(str, size)], check=True)
    write_fits(root / "negative.fits", banded(4008, sky=40.0, slope=0, seed=2), EXPTIME=120, CCD_TEMP=-15.4)
    nan = banded(2004, seed=3)
    nan[3, 100:110] = np.nan
    write_fits(root / "nan.fits", nan)
    write_fits(root / "pixinsight.fits", (banded(4032, seed=4) / 65535).astype(np.float32),
               PROGRAM="PixInsight 1.8.9-2")
    return root


def same_bits(a, b):
    """The same samples, bit for bit (NaN and negative zero included), in any byte order."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a.astype("=f4").view(np.uint32), b.astype("=f4").view(np.uint32))
