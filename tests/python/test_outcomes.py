"""What a pipeline gets back where the window shows a mark (9999, 20000, a background of
0), the exceptions it catches, file names of any bytes, and frames with NaN samples."""
import errno
import os
import subprocess
import sys

import numpy as np
import pytest
from astropy import units as u
from astropy.io import fits

import kestrel
from conftest import banded, run_cli, same_bits, write_fits

NAN_TEXT = "3 NaN samples: the background cannot be measured; fill them or give an amplitude"


def with_nan():
    frame = banded(2004, seed=7)
    frame[5, 200:203] = np.nan
    return frame


# The frame, its cards, correct_file's arguments beyond the phase, the fields expected.
OUTCOMES = [
    (banded(2004), dict(CCD_TEMP=-20.6), {}, dict(result="corrected", temperature=-20.6)),
    (banded(2004), {}, {}, dict(result="corrected", temperature=None)),
    (banded(2004), dict(CCD_TEMP=-20.6), dict(amplitude=9999),
     dict(result="failed", amplitude=None, message="image not measured")),
    (with_nan(), {}, dict(amplitude=4), dict(result="corrected", background=None, amplitude=4)),
    (with_nan(), {}, {}, dict(result="failed", amplitude=None, message=NAN_TEXT)),
]


@pytest.mark.parametrize("data, cards, arguments, expected", OUTCOMES, ids=[str(e) for *_, e in OUTCOMES])
def test_outcomes_say_none_where_the_window_shows_a_mark(tmp_path, data, cards, arguments, expected):
    path = write_fits(tmp_path / "f.fits", data, **cards)
    outcome = kestrel.correct_file(path, output_dir=tmp_path / "module", phase_2x2=8, **arguments)
    assert {key: getattr(outcome, key) for key in expected} == expected
    options = ["--amplitude", str(arguments["amplitude"])] if arguments else []
    line = run_cli("correct", "--phase-2x2", "8", "--output-dir", tmp_path / "cli", *options, path, check=False)
    assert line.split("\t")[-1].startswith(outcome.result)
    # None is NaN to NumPy: the mean of a night's amplitudes leaves the failed frames out.
    assert np.isnan(np.nanmean(np.array([outcome.amplitude], float))) == (outcome.amplitude is None)


def test_system_failures_are_the_oserrors_python_raises(tmp_path):
    folder = tmp_path / "folder.fits"
    folder.mkdir()
    cases = [(tmp_path / "missing.fits", kestrel.MissingFileError, FileNotFoundError, errno.ENOENT),
             (folder, kestrel.FileSystemError, OSError, errno.EISDIR)]
    for path, kind, builtin, number in cases:
        with pytest.raises(kind) as caught:
            kestrel.read(path)
        assert isinstance(caught.value, (builtin, kestrel.Error))
        assert (caught.value.errno, caught.value.filename) == (number, str(path))
    # Root reads every file: the forbidden one is read as nobody, from a folder it may not enter.
    forbidden = tmp_path / "forbidden.fits"
    forbidden.write_bytes(b"")
    forbidden.chmod(0)
    check = (f"import kestrel\ntry:\n kestrel.read({str(forbidden)!r})\n"
             f"except kestrel.FilePermissionError as e:\n assert isinstance(e, PermissionError) and e.errno == 13\n")
    done = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True,
                          user=65534 if os.geteuid() == 0 else None)
    assert done.returncode == 0, done.stderr


def test_names_of_any_bytes_and_latin1_cards(frames, tmp_path):
    name = os.path.join(os.fsencode(tmp_path), b"\xff.fits")
    with open(name, "wb") as f:
        f.write((frames / "2x2/frame1.fits").read_bytes())
    outcome = kestrel.correct_file(name, overwrite=True, phase_2x2=8)
    assert outcome.result == "corrected" and os.fsencode(outcome.output) == name == os.fsencode(outcome.input)
    assert kestrel.plan([name])[0].input == os.fsdecode(name)
    raw = bytearray(open(name, "rb").read())
    at = raw.index(b"END     ")
    raw[at:at + 160] = b"COMMENT   CCD at -20\xb0C, observer M\xfcller".ljust(80) + b"END".ljust(80)
    (tmp_path / "latin1.fits").write_bytes(bytes(raw))
    assert kestrel.read(tmp_path / "latin1.fits").cards[-1].rstrip() == "COMMENT   CCD at -20°C, observer Müller"


def test_nan_samples_are_reported_or_passed_over():
    frame = with_nan()
    for call in (lambda: kestrel.correct(frame, 8), lambda: kestrel.measure(frame, 8)):
        with pytest.raises(kestrel.Error) as caught:
            call()
        assert str(caught.value) == NAN_TEXT
    # Passed over, a NaN counts as nothing, as a sample below 0 does; written, it is 0.
    below = np.where(np.isnan(frame), np.float32(-1), frame)
    fixed, outcome = kestrel.correct(frame, 8, nan_policy="ignore")
    expected, plain = kestrel.correct(below, 8)
    assert (outcome.background, outcome.amplitude) == (plain.background, plain.amplitude)
    kept = ~np.isnan(frame)
    assert same_bits(fixed[kept], expected[kept]) and (fixed[~kept] == 0).all()
    assert kestrel.measure(frame, 8, nan_policy="ignore").amplitude == plain.amplitude


def test_a_pixinsight_frame_goes_back_in_as_read(frames, tmp_path):
    run_cli("correct", "--phase-1x1", "8", "--output-dir", tmp_path, frames / "pixinsight.fits")
    read = kestrel.read(frames / "pixinsight.fits")
    fixed, outcome = kestrel.correct(read.data, 8, pixinsight=read.pixinsight)
    assert same_bits(fixed, fits.getdata(tmp_path / "pixinsight.fits")) and read.scale == "normalised"
    assert 1000 < outcome.background < 1300


def test_ccddata_and_quantities_go_in_with_their_units():
    from astropy.nddata import CCDData, StdDevUncertainty
    from astropy.wcs import WCS

    frame = banded(4008)
    header = fits.Header({"OBJECT": "M42", "CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 83.8})
    mask = np.zeros(frame.shape, bool)
    mask[0, :9] = True
    ccd = CCDData(frame, unit="electron", meta=header, wcs=WCS(header), mask=mask,
                  uncertainty=StdDevUncertainty(np.full(frame.shape, 12.0)))
    fixed, outcome = kestrel.correct(ccd, 8, amplitude=3 * u.electron)
    assert same_bits(fixed.data, kestrel.correct(frame, 8, amplitude=3)[0]) and outcome.amplitude == 3
    assert (fixed.unit, fixed.meta["OBJECT"], fixed.wcs.wcs.crval[0]) == (u.electron, "M42", 83.8)
    assert np.array_equal(fixed.mask, mask) and (fixed.uncertainty.array == 12).all()
    assert kestrel.measure(ccd, 8).amplitude == kestrel.measure(frame, 8).amplitude
    # A Quantity amplitude of an array is taken in ADU.
    assert same_bits(kestrel.correct(frame, 8, amplitude=2 * u.adu)[0], kestrel.correct(frame, 8, amplitude=2)[0])
    for refused, unit, words in [(CCDData(frame, unit="adu / s"), u.adu, "Kestrel corrects counts"),
                                 (ccd, u.adu, "is in adu, not in electron, the unit of the data"),
                                 (frame, u.electron, "is in electron, not in ADU")]:
        with pytest.raises(TypeError, match=words):
            kestrel.correct(refused, 8, amplitude=3 * unit)
