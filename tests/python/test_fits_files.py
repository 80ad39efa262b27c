"""kestrel-cli on FITS files that astropy writes: the primary image is corrected and
every byte after its data unit is kept; files that are not one plain float image in
the primary HDU are left alone with a reason."""
import gzip
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


def checksum_problems(path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with fits.open(path, checksum=True) as f:
            [hdu.data for hdu in f]
    return [str(w.message) for w in caught if "verification" in str(w.message)]


@pytest.mark.parametrize("damaged", [False, True])
def test_checksums_follow_the_correction(tmp_path, damaged):
    """CLI and module write new CHECKSUM and DATASUM values in the same cards; a file
    damaged before is corrected with a warning naming the cards it does not match."""
    path = tmp_path / "in.fits"
    ext = fits.ImageHDU(np.full((10, 10), -2.0, np.float32))
    fits.HDUList([fits.PrimaryHDU(frame() - 1190), ext]).writeto(path, checksum=True)
    if damaged:
        raw = bytearray(path.read_bytes())
        raw[2880 + 4000] ^= 1
        path.write_bytes(bytes(raw))
    original = path.read_bytes()
    done = subprocess.run([CLI, "correct", "--output-dir", tmp_path / "cli", *OPTIONS, path],
                          capture_output=True, text=True)
    warning = ("in.fits: Warning: the file as read does not match its CHECKSUM and DATASUM; it may have been "
               "damaged before Kestrel read it. The corrected file has new checksums.\n")
    assert done.returncode == 0 and done.stderr == (warning if damaged else ""), done.stderr
    outcome = kestrel.correct_file(path, output_dir=tmp_path / "module", phase_2x2=8, amplitude=4)
    assert outcome.reports == ([warning[9:-1]] if damaged else [])
    for written in [tmp_path / "cli" / "in.fits", tmp_path / "module" / "in.fits"]:
        assert checksum_problems(written) == []
        data = written.read_bytes()
        header = [original[i:i + 80] for i in range(0, 2880, 80)]
        for at, card in enumerate(header):
            same = card.startswith((b"CHECKSUM", b"DATASUM")) or card == data[at * 80:at * 80 + 80]
            assert same and card[30:] == data[at * 80 + 30:at * 80 + 80]
        unit = 2880 + -(-64 * 2004 * 4 // 2880) * 2880
        assert data[unit:] == original[unit:] and data[2880:unit] != original[2880:unit]


@pytest.mark.parametrize("write,reason", [c for c in CASES if c[1] and "scaled" not in c[1]],
                         ids=lambda c: getattr(c, "__name__", "")[:12])
def test_phase_and_profile_refuse_the_same_files(tmp_path, write, reason):
    path = tmp_path / "in.fits"
    write(path)
    for command in (["phase"], ["profile", *OPTIONS]):
        done = subprocess.run([CLI, *command, path], capture_output=True, text=True)
        assert done.returncode == 1 and done.stdout.endswith(f"skipped: {reason}\n"), done.stdout
