"""kestrel-cli on FITS files that astropy writes: the primary image is corrected and
every byte after its data unit is kept; files that are not one plain float image in
the primary HDU are left alone with a reason."""
import gzip
import io
import os
import pathlib
import subprocess
import warnings

import numpy as np
import pytest
from astropy.io import fits

import kestrel

BUILD = pathlib.Path(os.environ["KESTREL_BUILD"])
CLI = BUILD / "bin" / "kestrel-cli"
OPTIONS = ["--phase-2x2", "8", "--amplitude", "4"]


def frame(rows=64):
    rng = np.random.default_rng(3)
    return (1200 + rng.normal(0, 5, (rows, 2004))).astype(np.float32)


def with_extensions(path):
    ext = np.full((100, 100), -3.5, np.float32)
    ext[0, 0] = np.nan
    table = fits.BinTableHDU.from_columns([fits.Column("v", "E", array=np.array([-1, -400000, -7.0]))])
    fits.HDUList([fits.PrimaryHDU(frame()), fits.ImageHDU(ext), table]).writeto(path)


def cube(path):
    fits.PrimaryHDU(np.stack([frame(), -frame()])).writeto(path)


def empty_plane(path):
    fits.PrimaryHDU(frame()[np.newaxis]).writeto(path)
    raw = bytearray(path.read_bytes())
    at = raw.index(b"NAXIS3")
    raw[at + 10:at + 30] = f"{0:>20}".encode()
    path.write_bytes(bytes(raw))


def scaled(path):
    hdu = fits.PrimaryHDU(frame())
    hdu.writeto(path)
    with fits.open(path, mode="update", do_not_scale_image_data=True) as f:
        f[0].header["BSCALE"] = 2
        f[0].header["BZERO"] = 1500


def edited(card, value):
    def write(path):
        fits.PrimaryHDU(frame()).writeto(path)
        raw = bytearray(path.read_bytes())
        at = raw.index(card.encode())
        raw[at + 10:at + 30] = f"{value:>20}".encode()
        path.write_bytes(bytes(raw))
    return write


def twice(path):
    """NAXIS1 given a second time, in place of a blank card before END."""
    fits.PrimaryHDU(frame()).writeto(path)
    raw = bytearray(path.read_bytes())
    end = raw.index(b"END     ")
    raw[end:end + 160] = f"{'NAXIS1  = ':10}{4008:>20}".ljust(80).encode() + b"END".ljust(80)
    path.write_bytes(bytes(raw))


def gzipped(path):
    fits.PrimaryHDU(frame()).writeto(path.with_suffix(".tmp"))
    path.write_bytes(gzip.compress(path.with_suffix(".tmp").read_bytes()))


def one_plane(path):
    fits.PrimaryHDU(frame()[np.newaxis]).writeto(path)


def in_extension(path):
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(frame())]).writeto(path)


CASES = [
    (with_extensions, None),
    (cube, "holds 2 image planes; Kestrel corrects single images"),
    (one_plane, None),
    (twice, "the header gives NAXIS1 more than once"),
    (edited("NAXIS1", 2004.7), "NAXIS1 is not an integer (2004.7)"),
    (empty_plane, "NAXIS3 is 0: the image has no samples"),
    (scaled, "scaled by BSCALE 2 and BZERO 1500: Kestrel corrects unscaled 32-bit float images"),
    (gzipped, "compressed with gzip: unpack it with gunzip first"),
    (in_extension, "the image is in extension 1, not in the primary HDU"),
]


@pytest.mark.parametrize("write,reason", CASES, ids=[str(i) for i in range(len(CASES))])
def test_astropy_files(tmp_path, write, reason):
    path = tmp_path / "in.fits"
    write(path)
    original = path.read_bytes()
    out = tmp_path / "out"
    out.mkdir()
    done = subprocess.run([CLI, "correct", "--output-dir", out, *OPTIONS, path], capture_output=True, text=True)
    assert path.read_bytes() == original
    if reason:
        assert f"skipped: {reason}" in done.stdout, done.stdout
        assert not list(out.iterdir())
        for command in (["phase"], ["profile", *OPTIONS]) if "scaled" not in reason else []:
            done = subprocess.run([CLI, *command, path], capture_output=True, text=True)
            assert done.returncode == 1 and done.stdout.endswith(f"skipped: {reason}\n"), done.stdout
        return
    assert done.returncode == 0 and "corrected" in done.stdout, done.stdout + done.stderr
    written = (out / "in.fits").read_bytes()
    with fits.open(path) as before, fits.open(out / "in.fits") as after:
        unit = before[0]._data_offset + before[0]._data_size
        unit += -unit % 2880
        assert written[unit:] == original[unit:]
        assert written[:before[0]._data_offset] == original[:before[0]._data_offset]
        assert len(after) == len(before)
        assert not np.array_equal(after[0].data, before[0].data)



@pytest.mark.parametrize("damaged", [False, True])
def test_checksums_follow_the_correction(tmp_path, damaged):
    """kestrel-cli and correct_file write checksums that verify; a damaged file gets a warning."""
    path = tmp_path / "in.fits"
    fits.HDUList([fits.PrimaryHDU(frame() - 1190), fits.ImageHDU(-np.ones((9, 9)))]).writeto(path, checksum=True)
    original = bytearray(path.read_bytes())
    original[2880 + 4000] ^= damaged
    path.write_bytes(bytes(original))
    done = subprocess.run([CLI, "correct", "--output-dir", tmp_path / "cli", *OPTIONS, path],
                          capture_output=True, text=True)
    warning = ("Warning: the file as read does not match its CHECKSUM and DATASUM; it may have been "
               "damaged before Kestrel read it. The corrected file has new checksums.")
    assert done.returncode == 0 and done.stderr == (f"in.fits: {warning}\n" if damaged else ""), done.stderr
    outcome = kestrel.correct_file(path, output_dir=tmp_path / "module", phase_2x2=8, amplitude=4)
    assert outcome.reports == ([warning] if damaged else [])
    unit = 2880 + -(-64 * 2004 * 4 // 2880) * 2880
    for written in [(tmp_path / d / "in.fits").read_bytes() for d in ("cli", "module")]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fits.open(io.BytesIO(written), checksum=True).close()
        assert not caught and written[unit:] == original[unit:] and written[2880:unit] != original[2880:unit]
