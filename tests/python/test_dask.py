"""The Dask example corrects 8 frames on a LocalCluster of 2 worker processes, and on a
cluster given by its scheduler's address: every output and the results file are those
of kestrel-cli."""
import os
import signal
import subprocess
import sys

import pytest

from conftest import CLI, MAKE_FRAMES, SOURCE, run_cli

distributed = pytest.importorskip("distributed")

EXAMPLE = SOURCE / "examples" / "dask_correct.py"


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    """8 frames of both binnings, and kestrel-cli's corrections and results of them."""
    root = tmp_path_factory.mktemp("night")
    (root / "frames").mkdir()
    for name, width, count in (("one", 4008, 5), ("two", 2004, 3)):
        subprocess.run([str(MAKE_FRAMES), str(root / name), str(count), str(width), "40"], check=True)
        for frame in (root / name).iterdir():
            frame.rename(root / "frames" / f"{name}-{frame.name}")
    frames = sorted((root / "frames").iterdir())
    assert len(frames) == 8
    run_cli("correct", "--phase-1x1", "8", "--phase-2x2", "8", "--output-dir", root / "cli", "--csv",
            root / "cli.csv", *frames)
    return root, frames


def run_example(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), "--phase-1x1", "8", "--phase-2x2", "8", *map(str, args)],
                          capture_output=True, text=True, env=dict(os.environ), timeout=240)


def assert_as_kestrel_cli(root, frames, outputs, csv, done):
    assert done.returncode == 0, done.stderr
    assert [line.split("\t")[0] for line in done.stdout.splitlines()] == [f.name for f in frames]
    for frame in frames:
        assert (outputs / frame.name).read_bytes() == (root / "cli" / frame.name).read_bytes(), frame.name
    assert csv.read_bytes() == (root / "cli.csv").read_bytes()


def test_a_local_cluster_of_two_processes_corrects_a_folder(night):
    root, frames = night
    done = run_example("--workers", "2", "--output-dir", root / "local", "--csv", root / "local.csv", root / "frames")
    assert_as_kestrel_cli(root, frames, root / "local", root / "local.csv", done)


@pytest.mark.filterwarnings("ignore:make_current is deprecated")
def test_a_cluster_given_by_its_scheduler_corrects_the_frames(night):
    root, frames = night
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster:
        done = run_example("--scheduler", cluster.scheduler_address, "--output-dir", root / "remote",
                           "--csv", root / "remote.csv", *frames)
    assert_as_kestrel_cli(root, frames, root / "remote", root / "remote.csv", done)


def test_results_are_never_written_over_an_image(night):
    root, frames = night
    done = run_example("--workers", "1", "--output-dir", root / "refused", "--csv", frames[0], frames[0])
    assert done.returncode == 2 and "nothing is ever written over an image" in done.stderr
    assert not (root / "refused").exists()


@pytest.mark.parametrize("csv", ["folder", "missing/r.csv"])
def test_a_results_file_that_cannot_be_written_is_refused_before_any_frame(night, csv):
    root, frames = night
    (root / "folder").mkdir(exist_ok=True)
    cli = subprocess.run([str(CLI), "correct", "--phase-1x1", "8", "--output-dir", root / "c", "--csv", root / csv,
                          frames[0]], capture_output=True, text=True)
    done = run_example("--workers", "1", "--output-dir", root / "early", "--csv", root / csv, frames[0])
    assert done.returncode == cli.returncode == 1 and not (root / "early").exists() and not (root / "c").exists()


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT])
def test_stopped_by_a_signal_every_frame_put_in_place_is_recorded(night, number):
    root, frames = night
    out, csv = root / f"stopped{number}", root / f"stopped{number}.csv"
    example = subprocess.Popen([sys.executable, str(EXAMPLE), "--phase-1x1", "8", "--phase-2x2", "8", "--workers",
                                "1", "--output-dir", out, "--csv", csv, *frames], stdout=subprocess.PIPE, text=True)
    lines = [example.stdout.readline(), example.stdout.readline()]
    example.send_signal(number)
    lines += example.stdout.read().splitlines(keepends=True)
    assert example.wait(timeout=120) == 128 + number
    written = sorted(p.name for p in out.iterdir())
    assert written == [line.split("\t")[0] for line in lines] and len(written) < len(frames)
    records = csv.read_text().splitlines()[1:]
    assert [r.split(",")[0] for r in records] == written
