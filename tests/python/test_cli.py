"""The module against kestrel-cli on the same frames: correct_file writes the same bytes
and tells the same outcome; correct gives the samples kestrel-cli wrote, from the pixels
kestrel.read gives and from those Astropy gives; measure, find_phase and the results
file agree with kestrel-cli profile, phase and --csv; the same files are refused."""
import os
import subprocess
import stat

import numpy as np
import pytest
from astropy.io import fits

import kestrel
from conftest import CLI, run_cli, same_bits, write_fits
import messages as say

# A frame, the options of kestrel-cli correct, and the same as keyword arguments.
CASES = [
    ("1x1/frame1.fits", ["--phase-1x1", "8"], dict(phase_1x1=8)),
    ("2x2/frame1.fits", ["--phase-2x2", "8"], dict(phase_2x2=8)),
    ("2x2/frame2.fits", ["--phase-2x2", "0"], dict(phase_2x2=0)),
    ("1x1/frame2.fits", ["--phase-1x1", "7", "--amplitude", "5.25", "--no-phase-check"],
     dict(phase_1x1=7, amplitude=5.25, phase_check=False)),
    ("1x1/frame1.fits", ["--phase-1x1", "8", "--estimator", "balanced"], dict(phase_1x1=8, estimator="balanced")),
    ("negative.fits", ["--phase-1x1", "8"], dict(phase_1x1=8)),
    ("nan.fits", ["--phase-2x2", "8", "--amplitude", "4"], dict(phase_2x2=8, amplitude=4.0)),
    ("pixinsight.fits", ["--phase-1x1", "8"], dict(phase_1x1=8)),
]
IDS = [f"{frame}{''.join(options[2:])}" for frame, options, _ in CASES]


def cli_line(fields):
    """The fields of a result line of kestrel-cli that an Outcome holds."""
    name, binning, background, exposure, temperature, amplitude, result = fields
    return binning, background, exposure, temperature, amplitude, result


def outcome_line(o):
    """The same fields from an Outcome, written as kestrel-cli writes them."""
    corrected = o.result == "corrected"
    result = "corrected" if corrected else f"{o.result if o.result == 'skipped' else 'failed'}: {o.message}"
    # A background that could not be measured is printed as its 0.
    background = f"{o.background:.2f}" if o.background is not None else "0.00" if corrected else ""
    return (o.binning or "", background,
            str(o.exposure) if o.exposure is not None else "",
            (str(round(o.temperature)) if o.temperature is not None else "20000") if corrected else "",
            f"{o.amplitude:.3f}" if corrected else "", result)


@pytest.fixture(scope="module")
def corrected(frames, tmp_path_factory):
    """Each case corrected by kestrel-cli and by correct_file: the two output folders."""
    out = tmp_path_factory.mktemp("corrected")
    results = {}
    for n, (frame, options, keywords) in enumerate(CASES):
        by_cli, by_module = out / f"cli{n}", out / f"module{n}"
        line = run_cli("correct", *options, "--output-dir", by_cli, frames / frame).rstrip("\n").split("\t")
        outcome = kestrel.correct_file(frames / frame, output_dir=by_module, **keywords)
        name = os.path.basename(frame)
        results[n] = (line, outcome, by_cli / name, by_module / name)
    return results


@pytest.mark.parametrize("n", range(len(CASES)), ids=IDS)
def test_correct_file_writes_the_bytes_of_kestrel_cli(corrected, n):
    line, outcome, by_cli, by_module = corrected[n]
    assert by_module.read_bytes() == by_cli.read_bytes()
    assert outcome.output == str(by_module) and outcome.input.endswith(line[0])
    assert outcome_line(outcome) == cli_line(line)


@pytest.mark.parametrize("n", range(len(CASES)), ids=IDS)
def test_correct_gives_the_samples_kestrel_cli_wrote(frames, corrected, n):
    frame, options, keywords = CASES[n]
    by_cli = corrected[n][2]
    phase = keywords.get("phase_1x1", keywords.get("phase_2x2"))
    rest = {k: v for k, v in keywords.items() if not k.startswith("phase_") or k == "phase_check"}
    pixinsight = "pixinsight" in frame
    # Astropy's pixels are the file's: a PixInsight file's stay 0..1, and come back so.
    fixed, outcome = kestrel.correct(fits.getdata(frames / frame), phase, pixinsight=pixinsight, **rest)
    assert same_bits(fixed, fits.getdata(by_cli))
    assert outcome.result == "corrected" and outcome.input is None and outcome.temperature is None
    # kestrel.read's fields go back in as they are, PixInsight's 0..1 samples and all.
    read = kestrel.read(frames / frame)
    fixed, _ = kestrel.correct(read.data, phase, pixinsight=read.pixinsight, **rest)
    assert same_bits(fixed, fits.getdata(by_cli)) and read.scale == ("normalised" if pixinsight else "adu")


def profile_of(output):
    """The numbers of kestrel-cli profile: the first line's phase and columns, the table,
    the amplitude line and the residual line."""
    lines = [line.split("\t") for line in output.splitlines()]
    head, table = lines[0], lines[2:-2]
    amplitude, residual = lines[-2], lines[-1]
    return dict(binning=head[1], phase=head[2], columns=head[3], table=[row[1:] for row in table],
                amplitude=amplitude[1], estimator=amplitude[3], residual=residual[1:])


@pytest.mark.parametrize("frame, options, keywords", [
    ("1x1/frame1.fits", ["--phase-1x1", "8"], dict(phase=8)),
    ("2x2/frame2.fits", ["--phase-2x2", "0"], dict(phase=0)),
    ("1x1/frame2.fits", ["--phase-1x1", "9", "--amplitude", "3"], dict(phase=9, amplitude=3)),
    ("2x2/frame1.fits", ["--phase-2x2", "8", "--estimator", "balanced"], dict(phase=8, estimator="balanced")),
    ("pixinsight.fits", ["--phase-1x1", "8"], dict(phase=8, pixinsight=True)),
])
def test_measure_tells_what_kestrel_cli_profile_prints(frames, frame, options, keywords):
    printed = profile_of(run_cli("profile", *options, frames / frame))
    m = kestrel.measure(fits.getdata(frames / frame), **keywords)
    three = lambda x: f"{x:.3f}"
    assert dict(binning=m.binning, phase=f"phase {m.phase}", columns=f"columns {m.columns[0]} to {m.columns[1]}",
                table=[[three(b), three(a)] for b, a in zip(m.before, m.after)], amplitude=three(m.amplitude),
                estimator=m.estimator,
                residual=[three(m.residual), "phase", str(m.residual_phase), "noise", three(m.residual_noise)]) \
        == printed


@pytest.mark.parametrize("frame", ["u16/1x1/frame1.fits", "u16/2x2/frame1.fits"])
def test_find_phase_tells_what_kestrel_cli_phase_prints(frames, frame):
    lines = [line.split("\t") for line in run_cli("phase", "--scores", frames / frame).splitlines()]
    for data in (kestrel.read(frames / frame).data, fits.getdata(frames / frame)):
        p = kestrel.find_phase(data)
        assert [p.binning, str(p.phase), f"{p.significance:.1f}"] == lines[0][1:]
        assert [[str(i), f"{s:.3f}", f"{c:.3f}", f"{z:.1f}"]
                for i, (s, c, z) in enumerate(zip(p.scores, p.contrasts, p.significances))] == lines[2:]


def test_results_file_holds_the_records_of_kestrel_cli_csv(frames, tmp_path):
    inputs = []
    for name, frame in zip("abcd", ("1x1/frame1.fits", "2x2/frame1.fits", "1x1/frame2.fits", "u16/1x1/frame1.fits")):
        inputs.append(tmp_path / f"{name}.fits")
        inputs[-1].write_bytes((frames / frame).read_bytes())
    (tmp_path / "cli.csv").write_text("earlier,line")  # a last line without its line end
    (tmp_path / "module.csv").write_text("earlier,line")
    run_cli("correct", "--phase-1x1", "8", "--phase-2x2", "8", "--output-dir", tmp_path / "cli",
            "--csv", tmp_path / "cli.csv", *inputs, check=False)
    outcomes = [kestrel.correct_file(f, output_dir=tmp_path / "module", phase_1x1=8, phase_2x2=8) for f in inputs]
    # A typed amplitude is no measurement: like the 16-bit frame, it makes no record.
    outcomes.append(kestrel.correct_file(inputs[0], output_dir=tmp_path / "typed", phase_1x1=8, amplitude=2))
    assert kestrel.append_results(tmp_path / "module.csv", outcomes) == 3
    assert (tmp_path / "module.csv").read_bytes() == (tmp_path / "cli.csv").read_bytes()


def test_a_results_file_that_names_an_image_or_is_none_is_refused(frames, tmp_path):
    frame = tmp_path / "a.fits"
    frame.write_bytes((frames / "1x1/frame1.fits").read_bytes())
    outcome = kestrel.correct_file(frame, output_dir=tmp_path / "out", phase_1x1=8)
    (tmp_path / "other.fits").write_bytes((frames / "2x2/frame1.fits").read_bytes())
    (tmp_path / "binary.csv").write_bytes(b"a,b\r\n\0")
    cases = [
        (frame, f"path: '{frame}' is the image {frame}{say.OVER_IMAGE}"),
        (tmp_path / "out" / "a.fits", f"is the image {tmp_path / 'out' / 'a.fits'}{say.OVER_IMAGE}"),
        (tmp_path / "other.fits", f"{say.FITS_CSV} {say.OVER_IT}"),
        (tmp_path / "binary.csv", f"{say.BINARY_CSV} {say.OVER_IT}"),
    ]
    for path, message in cases:
        before = path.read_bytes()
        with pytest.raises(ValueError) as raised:
            kestrel.append_results(path, [outcome])
        assert message in str(raised.value)
        assert path.read_bytes() == before


def test_files_refused_or_not_corrected_end_as_with_kestrel_cli(frames, tmp_path):
    (tmp_path / "text.fits").write_text("not a FITS file\n")
    protected = tmp_path / "protected.fits"
    protected.write_bytes((frames / "2x2/frame1.fits").read_bytes())
    protected.chmod(stat.S_IRUSR | stat.S_IRGRP)
    original = protected.read_bytes()
    write_fits(tmp_path / "narrow.fits", np.zeros((4, 1000), np.float32))
    cases = [  # input, options of kestrel-cli, keyword arguments
        (frames / "u16/1x1/frame1.fits", ["--output-dir", tmp_path / "o1"], dict(output_dir=tmp_path / "m1")),
        (tmp_path / "missing.fits", ["--output-dir", tmp_path / "o2"], dict(output_dir=tmp_path / "m2")),
        (tmp_path / "text.fits", ["--output-dir", tmp_path / "o3"], dict(output_dir=tmp_path / "m3")),
        (tmp_path / "narrow.fits", ["--output-dir", tmp_path / "o4"], dict(output_dir=tmp_path / "m4")),
        (protected, ["--overwrite"], dict(overwrite=True)),
        (frames / "1x1/frame1.fits", ["--output-dir", frames / "1x1"], dict(output_dir=frames / "1x1")),
    ]
    for input, options, keywords in cases:
        line = run_cli("correct", "--phase-1x1", "8", "--phase-2x2", "8", *options, input, check=False)
        outcome = kestrel.correct_file(input, phase_1x1=8, phase_2x2=8, **keywords)
        expected = line.rstrip("\n").split("\t")[-1].replace("give --overwrite", "give overwrite=True")
        assert outcome_line(outcome)[-1] == expected, input
        assert outcome.output is None
    assert protected.read_bytes() == original


def test_plan_refuses_what_kestrel_cli_refuses(frames, tmp_path):
    same_name = tmp_path / "other" / "frame1.fits"
    same_name.parent.mkdir()
    same_name.write_bytes((frames / "1x1/frame2.fits").read_bytes())
    inputs = [frames / "1x1/frame1.fits", same_name, frames / "1x1/../1x1/frame1.fits", frames / "2x2/frame1.fits"]
    # The plan writes nothing: kestrel-cli finds the folder as it was.
    planned = kestrel.plan(inputs, output_dir=tmp_path / "out")
    lines = run_cli("correct", "--phase-1x1", "8", "--phase-2x2", "8", "--output-dir", tmp_path / "out",
                    *inputs, check=False).splitlines()
    assert [p.output for p in planned] == [str(tmp_path / "out" / f.name) for f in inputs]
    assert [p.refused and f"skipped: {p.refused.message}" for p in planned] == \
        [None if line.endswith("corrected") else line.split("\t")[-1] for line in lines]
    # Without an output folder, kestrel/ in the first file's folder, as kestrel-cli has it.
    assert kestrel.plan(inputs[:1])[0].output == str(frames / "1x1" / "kestrel" / "frame1.fits")


@pytest.mark.parametrize("frame", ["1x1/frame1.fits", "2x2/frame1.fits", "u16/2x2/frame1.fits", "nan.fits",
                                   "pixinsight.fits"])
def test_read_gives_the_pixels_astropy_reads(frames, frame):
    read = kestrel.read(frames / frame)
    with fits.open(frames / frame) as hdul:
        expected = hdul[0].data
        cards = [card.image for card in hdul[0].header.cards]
    assert read.data.dtype == expected.dtype.newbyteorder("=") and read.data.flags.c_contiguous
    assert same_bits(read.data, expected) if read.data.dtype == np.float32 else np.array_equal(read.data, expected)
    assert read.cards == cards and all(len(card) == 80 for card in read.cards)
    assert (read.binning, read.pixinsight) == ({4008: "1x1", 4032: "1x1"}.get(expected.shape[1], "2x2"),
                                              frame == "pixinsight.fits")


def test_read_names_the_file_it_cannot_read(frames, tmp_path):
    (tmp_path / "text.fits").write_text("not a FITS file\n")
    write_fits(tmp_path / "bytes.fits", np.zeros((4, 4008), np.uint8))
    (tmp_path / "short.fits").write_bytes((frames / "1x1/frame1.fits").read_bytes()[:5760])
    for name, message in [("text.fits", "text.fits: no readable FITS header"),
                          ("bytes.fits", "bytes.fits: not a 32-bit floating point or 16-bit unsigned image"),
                          ("short.fits", "short.fits: the data hold 720 samples, fewer than the 160320 of "
                                         "NAXIS1 x NAXIS2 (4008 x 40)")]:
        with pytest.raises(kestrel.Error) as caught:
            kestrel.read(tmp_path / name)
        assert str(caught.value) == message


def test_names_reach_a_terminal_escaped_and_a_pipe_as_they_are(frames, tmp_path):
    import pty
    import subprocess
    from conftest import CLI
    name = "\x1b[2J\x1b]0;owned\x07.fits"
    (tmp_path / name).write_bytes((frames / "1x1/frame1.fits").read_bytes())
    args = [str(CLI), "correct", "--phase-1x1", "8", "--output-dir"]
    # Through a pipe a script gets the name's bytes; on a terminal the screen is left alone.
    piped = subprocess.run(args + ["piped", name], cwd=tmp_path, capture_output=True, text=True).stdout
    assert piped.startswith(name + "\t")
    leader, follower = pty.openpty()
    subprocess.run(args + ["shown", name], cwd=tmp_path, stdout=follower, stderr=subprocess.DEVNULL, check=False)
    os.close(follower)
    shown = os.read(leader, 4096).decode()
    os.close(leader)
    assert shown.startswith("\\e[2J\\e]0;owned\\x07.fits\t") and "\x1b" not in shown, shown


def test_refusals_read_alike_in_kestrel_cli_and_the_module(frames, tmp_path):
    """The same refusal in kestrel-cli and in the module: the same words, but for the
    option that the module names as an argument."""
    frame = frames / "1x1/frame1.fits"
    (tmp_path / "taken").mkdir()
    (tmp_path / "taken/frame1.fits").write_text("notes of the night\n")
    (tmp_path / "file").write_text("")
    cases = [  # options, keyword arguments, the option's words -> the argument's, what the module says
        (["--phase-1x1", "8", "--amplitude", "nan"], dict(phase_1x1=8, amplitude=float("nan")),
         {"--amplitude: 'nan'": "amplitude: nan"}, say.NOT_NUMBER),
        # The build's kestrel-cli is a portable copy; the module, installed elsewhere, may
        # keep its settings in the user's folders.
        (["--phase-2x2", "8"], dict(phase_2x2=8),
         {"--phase-1x1 N": "phase_1x1=N", str(CLI.parent / "kestx.ini"): kestrel.settings_file()}, say.PHASE_HINT_1X1),
        (["--phase-1x1", "8", "--output-dir", tmp_path / "taken"], dict(phase_1x1=8, output_dir=tmp_path / "taken"),
         {"--replace-outputs": "replace_outputs=True"}, "; give replace_outputs=True to replace it"),
        (["--phase-1x1", "8", "--output-dir", tmp_path / "file/out"], dict(phase_1x1=8, output_dir=tmp_path / "file/out"),
         {}, "cannot create the output folder "),
        (["--phase-1x1", "8", "--output-dir", frame.parent], dict(phase_1x1=8, output_dir=frame.parent),
         {"--overwrite": "overwrite=True"}, say.REPLACE_HINT),
    ]
    for options, keywords, words, expected in cases:
        done = subprocess.run([str(CLI), "correct", *map(str, options), str(frame)], capture_output=True, text=True)
        assert done.returncode != 0, options
        # What kestrel-cli says of the file: its line's reason, then what standard error
        # adds to it (the hint of a missing phase), or the run's one line there.
        said = [line.split("\t")[-1].split(": ", 1)[1] for line in done.stdout.splitlines()]
        said += [text for line in done.stderr.splitlines() if line.startswith(("kestrel-cli: ", "frame1.fits: "))
                 for text in [line.split(": ", 1)[1]] if text not in said and not text.endswith("; it is skipped.")]
        try:
            told = kestrel.correct_file(frame, **keywords).message
        except ValueError as e:
            told = str(e)
        cli = " ".join(said)
        for option, argument in words.items():
            cli = cli.replace(option, argument)
        assert cli == told and expected in told, options
