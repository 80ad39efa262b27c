"""The arrays and arguments the module takes and those it refuses: every refusal is a
TypeError or ValueError with its words, every failure of Kestrel's own a kestrel.Error
with Kestrel's message, and no input crashes the interpreter. Views, byte orders and
read-only arrays give the bits of a plain array."""
import re
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kestrel
import messages as say
from conftest import CLI, banded, same_bits, write_fits

FRAME = banded(4008)
FRAME2 = banded(2016, seed=5)
RAW = np.clip(np.rint(banded(4008, rows=64)), 0, 65535).astype(np.uint16)


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# The call, the exception and the words it must hold.
REFUSED = [
    (lambda: kestrel.correct(None, 8), TypeError, "data: " + say.EXPECTED_ARRAY),
    (lambda: kestrel.correct(FRAME.tolist(), 8), TypeError, "got list"),
    (lambda: kestrel.correct(FRAME.astype(np.float64), 8), TypeError, say.NOT_FLOAT + " float64"),
    (lambda: kestrel.correct(FRAME.astype(">f8"), 8), TypeError, say.CONVERTS_NONE),
    (lambda: kestrel.correct(FRAME.astype(np.float16), 8), TypeError, say.NOT_FLOAT),
    (lambda: kestrel.correct(RAW, 8), TypeError, say.NOT_FLOAT + " uint16"),
    (lambda: kestrel.correct(FRAME.astype(np.int32), 8), TypeError, say.NOT_FLOAT),
    (lambda: kestrel.correct(FRAME.astype(np.complex64), 8), TypeError, say.NOT_FLOAT),
    (lambda: kestrel.correct(FRAME.view([("a", "<f4")]), 8), TypeError, say.NOT_FLOAT),
    (lambda: kestrel.correct(np.ma.masked_less(FRAME, 0), 8), TypeError, say.MASKED),
    (lambda: kestrel.correct(FRAME[0], 8), ValueError, say.DIMENSIONS + " 1"),
    (lambda: kestrel.correct(FRAME[np.newaxis], 8), ValueError, say.DIMENSIONS + " 3"),
    (lambda: kestrel.correct(np.float32(3), 8), TypeError, say.EXPECTED_ARRAY),
    (lambda: kestrel.correct(FRAME[:, :4000], 8), ValueError, "width 4000 is neither unbinned (4008, 4032) " + say.WIDTH),
    (lambda: kestrel.correct(np.zeros((3, 0), np.float32), 8), ValueError, "width 0 is neither"),
    (lambda: kestrel.correct(np.broadcast_to(np.float32(1), (1 << 16, 1 << 16)), 8), ValueError, say.TOO_LARGE),
    (lambda: kestrel.correct(FRAME, 33), ValueError, "phase: 33 " + say.PHASE + " 32"),
    (lambda: kestrel.correct(FRAME2, 17), ValueError, "phase: 17 " + say.PHASE + " 16"),
    (lambda: kestrel.correct(FRAME, -1), ValueError, say.PHASE),
    (lambda: kestrel.correct(FRAME, 8.0), TypeError, say.PHASE),
    (lambda: kestrel.correct(FRAME, "8"), TypeError, say.PHASE),
    (lambda: kestrel.correct(FRAME, True), TypeError, say.PHASE),
    (lambda: kestrel.correct(FRAME, None), TypeError, say.PHASE),
    (lambda: kestrel.correct(FRAME, 8, amplitude=0), ValueError, say.AMPLITUDE),
    (lambda: kestrel.correct(FRAME, 8, amplitude=-2.5), ValueError, say.AMPLITUDE),
    (lambda: kestrel.correct(FRAME, 8, amplitude=float("nan")), ValueError, "amplitude: nan " + say.NOT_NUMBER),
    (lambda: kestrel.correct(FRAME, 8, amplitude=float("inf")), ValueError, "amplitude: inf " + say.NOT_NUMBER),
    (lambda: kestrel.correct(FRAME, 8, amplitude="3"), TypeError, "amplitude: '3' " + say.NOT_NUMBER),
    (lambda: kestrel.correct(FRAME, 8, nan_policy="omit"), ValueError, "nan_policy: 'omit" + say.NAN_POLICY),
    (lambda: kestrel.correct(FRAME, 8, binning="3x3"), ValueError, "binning: '3x3' " + say.BINNING),
    (lambda: kestrel.correct(FRAME, 8, binning="2x2"), ValueError, "width 4008 " + say.NOT_2X2),
    (lambda: kestrel.measure(FRAME2, 8, binning="1x1"), ValueError, "width 2016 " + say.NOT_1X1),
    (lambda: kestrel.correct(FRAME, 8, estimator="fast"), ValueError, "estimator: 'fast" + say.ESTIMATOR),
    (lambda: kestrel.correct(FRAME, 8, out=read_only(FRAME)), ValueError, say.OUT_READ_ONLY),
    (lambda: kestrel.correct(FRAME, 8, out=FRAME[:, :2004].copy()), ValueError, say.OUT_SHAPE),
    (lambda: kestrel.correct(FRAME, 8, out=FRAME.astype(np.float64)), TypeError, "out: " + say.NOT_FLOAT),
    (lambda: kestrel.correct(FRAME, 8, out=[]), TypeError, "out: " + say.EXPECTED_ARRAY),
    (lambda: kestrel.measure(FRAME.astype(np.float64), 8), TypeError, say.NOT_FLOAT),
    (lambda: kestrel.measure(FRAME, 40), ValueError, say.PHASE),
    (lambda: kestrel.find_phase(FRAME), TypeError, say.NOT_UINT16 + " float32"),
    (lambda: kestrel.find_phase(RAW.astype(np.int16)), TypeError, say.NOT_UINT16 + " int16"),
    (lambda: kestrel.find_phase(RAW[:, :4000]), ValueError, say.WIDTH),
    (lambda: kestrel.find_phase(RAW[0]), ValueError, say.DIMENSIONS),
    (lambda: kestrel.find_phase(None), TypeError, say.EXPECTED_ARRAY + " 16-bit unsigned"),
    (lambda: kestrel.read(None), TypeError, "path: " + say.FILE_NAME + " NoneType"),
    (lambda: kestrel.read(""), ValueError, say.EMPTY_NAME),
    (lambda: kestrel.read("a\0b"), ValueError, say.NUL_NAME),
    (lambda: kestrel.correct_file(3), TypeError, say.FILE_NAME + " int"),
    (lambda: kestrel.correct_file("f.fits", output_dir="o", overwrite=True), ValueError, say.EXCLUDE),
    (lambda: kestrel.correct_file("f.fits", phase_1x1=40), ValueError, "phase_1x1: 40 " + say.PHASE + " 32"),
    (lambda: kestrel.correct_file("f.fits", phase_2x2=17), ValueError, "phase_2x2: 17 " + say.PHASE + " 16"),
    (lambda: kestrel.plan("frame.fits"), TypeError, say.PATHS),
    (lambda: kestrel.plan(["a.fits", None]), TypeError, say.FILE_NAME),
    (lambda: kestrel.append_results("r.csv", None), TypeError, say.OUTCOMES),
    (lambda: kestrel.append_results("r.csv", [1]), TypeError, say.OUTCOME + " int"),
    (lambda: kestrel.append_results("r.csv", [kestrel.correct(FRAME, 8)[1]]), ValueError, say.ARRAY_OUTCOME),
]


@pytest.mark.parametrize("call, error, words", REFUSED, ids=[w for _, _, w in REFUSED])
def test_refused_with_its_words(call, error, words):
    with pytest.raises(error, match=re.escape(words)):
        call()


def views(frame):
    """The frame as Astropy and NumPy hand it over: big-endian, in Fortran order, every
    other row or column of a larger array, transposed twice, read-only."""
    doubled = np.repeat(frame, 2, axis=0)
    wide = np.repeat(frame, 2, axis=1)
    return {"big-endian": frame.astype(frame.dtype.newbyteorder(">")), "fortran": np.asfortranarray(frame),
            "rows": doubled[::2], "columns": wide[:, ::2], "transposed": frame.T.copy().T,
            "read-only": read_only(frame), "big-endian view": frame.astype(frame.dtype.newbyteorder(">"))[::-1][::-1]}


@pytest.mark.parametrize("kind", list(views(FRAME)))
def test_views_byte_orders_and_read_only_arrays_give_the_same_bits(kind):
    expected, outcome = kestrel.correct(FRAME, 8)
    fixed, same = kestrel.correct(views(FRAME)[kind], 8)
    assert same_bits(fixed, expected) and same == outcome
    measured, plain = kestrel.measure(views(FRAME)[kind], 8), kestrel.measure(FRAME, 8)
    assert (measured.amplitude, measured.residual) == (plain.amplitude, plain.residual)
    assert same_bits(measured.before, plain.before) and same_bits(measured.after, plain.after)
    phase, plain = kestrel.find_phase(views(RAW)[kind]), kestrel.find_phase(RAW)
    assert (phase.phase, phase.significance) == (plain.phase, plain.significance)
    assert same_bits(phase.scores, plain.scores)


@pytest.mark.parametrize("kind", ["native", "big-endian", "columns", "in place"])
def test_out_receives_the_corrected_samples_in_its_own_byte_order(kind):
    expected, _ = kestrel.correct(FRAME, 8)
    data = FRAME.copy()
    out = {"native": np.empty_like(FRAME), "big-endian": np.empty(FRAME.shape, ">f4"),
           "columns": np.empty((FRAME.shape[0], 2 * FRAME.shape[1]), np.float32)[:, 1::2], "in place": data}[kind]
    fixed, _ = kestrel.correct(data, 8, out=out)
    assert fixed is out and same_bits(out, expected)
    assert kind == "in place" or same_bits(data, FRAME)


def test_corrected_samples_are_those_written_and_the_input_stays():
    frame = FRAME.copy()
    frame[0, 10:13] = [-5.0, np.inf, -0.0]
    frame[1, 30] = 0.25
    before = frame.copy()
    fixed, outcome = kestrel.correct(frame, 8, amplitude=2)
    assert same_bits(frame, before)
    assert outcome.amplitude == 2 and not outcome.measured and outcome.estimator == "typed"
    # At phase 8 the offset bands are columns 24 to 39, 56 to 71, ...; the band before
    # column 8 reaches beyond the frame and stays as it is.
    assert fixed[1, 30] == np.float32(0.25 + 2.0) and fixed[1, 8] == frame[1, 8] and fixed[1, 3] == frame[1, 3]
    # As the writer has them: below 0 is 0, negative zero and infinity stay.
    assert fixed[0, 10] == 0 and fixed[0, 11] == np.inf and np.signbit(fixed[0, 12])
    # A PixInsight frame's samples are taken times 65535 and given back divided by it.
    normalised = (FRAME / 65535).astype(np.float32)
    in_adu = (normalised.astype(np.float64) * 65535).astype(np.float32)
    expected = (kestrel.correct(in_adu, 8, amplitude=2)[0].astype(np.float64) / 65535).astype(np.float32)
    assert same_bits(kestrel.correct(normalised, 8, amplitude=2, pixinsight=True)[0], expected)


# A frame Kestrel cannot measure: the function, the frame, its arguments, the message.
FAILURES = [
    (kestrel.correct, np.full((8, 2004), np.nan, np.float32), dict(phase=8),
     "16032 NaN samples: the background cannot be measured; fill them or give an amplitude"),
    (kestrel.correct, np.zeros((8, 4008), np.float32), dict(phase=8),
     "Invalid floating point operation... in function fixFloat32Columns."),
    (kestrel.correct, np.zeros((0, 4008), np.float32), dict(phase=8), say.NO_SIZE + "4008, NAXIS2 0)"),
    (kestrel.measure, np.full((8, 4032), -1, np.float32), dict(phase=8),
     "Invalid floating point operation... in function profileFloat32Columns."),
    (kestrel.correct, np.full((8, 4008), 1e38, np.float32), dict(phase=8, pixinsight=True),
     "Floating point overflow... in function loadAllImageDataFloat32."),
    (kestrel.correct, FRAME, dict(phase=8, amplitude=1e39), "Floating point overflow... in function fixFloat32Columns."),
    (kestrel.correct, FRAME, dict(phase=8, amplitude=9999), say.NOT_MEASURED),
    (kestrel.find_phase, np.zeros((4, 2004), np.uint16), {},
     "Invalid floating point operation... in function findPhase16."),
]


@pytest.mark.parametrize("function, data, arguments, message", FAILURES, ids=[m for *_, m in FAILURES])
def test_failures_of_kestrel_raise_its_message_and_leave_out_alone(function, data, arguments, message):
    out = np.full(data.shape, 7, np.float32)
    if function is kestrel.correct:
        arguments = dict(arguments, out=out)
    with pytest.raises(kestrel.Error) as caught:
        function(data, **arguments)
    assert str(caught.value) == message
    assert all(isinstance(r, str) for r in caught.value.reports)
    assert (out == 7).all()


def test_a_frame_without_sky_reports_the_boxes_kestrel_cli_prints(tmp_path):
    sky = np.full((8, 4008), -1, np.float32)
    done = subprocess.run([str(CLI), "correct", "--phase-1x1", "8", "--output-dir", str(tmp_path / "out"),
                           str(write_fits(tmp_path / "dark.fits", sky))], capture_output=True, text=True)
    with pytest.raises(kestrel.Error) as caught:
        kestrel.correct(sky, 8)
    assert [f"dark.fits: {r}" for r in caught.value.reports] == done.stderr.splitlines()
    assert len(caught.value.reports) == 3


def test_frames_in_threads_give_the_bits_of_one_after_the_other():
    frames = [banded(4008, seed=s) for s in range(4)] + [banded(2004, seed=s) for s in range(4)]
    alone = [kestrel.correct(f, 8)[0] for f in frames]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda f: kestrel.correct(f, 8)[0], frames))
    assert all(same_bits(a, b) for a, b in zip(alone, together))


@pytest.mark.parametrize("work", ["correct", "measure", "find_phase", "correct_file"])
def test_the_gil_is_released_by_every_function_that_works_long(work, tmp_path):
    frame = banded(4008, rows=2000)
    raw = frame.clip(0, 65535).astype(np.uint16)
    path = write_fits(tmp_path / "frame.fits", frame, CCD_TEMP=-20.0, EXPTIME=300.0)
    run = {
        "correct": lambda: kestrel.correct(frame, 8),
        "measure": lambda: kestrel.measure(frame, 8),
        "find_phase": lambda: kestrel.find_phase(raw),
        "correct_file": lambda: kestrel.correct_file(path, tmp_path / "out", phase_1x1=8),
    }[work]
    calls, stamps = [], []

    def work_three_times():
        for _ in range(3):
            started = time.perf_counter()
            run()
            calls.append((started, time.perf_counter()))

    worker = threading.Thread(target=work_three_times)
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    # Holding the GIL, the call would stop every other thread while it measures or
    # corrects, most of its time. A busy machine may stop this thread now and then, but
    # hardly in all three calls.
    def longest_pause(started, ended):
        inside = [started] + [t for t in stamps if started < t < ended] + [ended]
        return max(b - a for a, b in zip(inside, inside[1:])) / (ended - started)

    assert min(longest_pause(*call) for call in calls) < 0.25, work


def test_a_phase_the_frame_contradicts_is_refused_and_auto_finds_its_own():
    # The band lies at 8; 20 is 12 columns off, 24 half a period: the same band.
    with pytest.raises(kestrel.Error, match=r"^the banding lies at phase 8 \(contrast .*, not at the given 20 "
                                            r".*; give phase=8, or phase_check=False$"):
        kestrel.correct(FRAME, 20)
    assert kestrel.correct(FRAME, 20, phase_check=False)[1].phase == 20
    assert kestrel.correct(FRAME, 24)[1].amplitude < 0
    fixed, outcome = kestrel.correct(FRAME, "auto")
    assert outcome.phase == 8 and same_bits(fixed, kestrel.correct(FRAME, 8)[0])
