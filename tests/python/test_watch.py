"""kestrel-cli watch while frames land as acquisition programs write them: each frame
corrected once (twice when written again), with correct's bytes; nothing for the frame
that never completes or the files that are no frames; nothing half-written after a
stop; a restart neither skips nor doubles a frame; a folder that goes away ends it."""
import os
import queue
import random
import shutil
import signal
import subprocess
import threading
import time

import pytest

from conftest import CLI, MAKE_FRAMES, run_cli

SETTLE = "0.2"
GIVE_UP = "1.5"  # seconds, instead of ten minutes


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """frame1..frame50 (1x1, 40 rows), a 16-bit frame, and correct's outputs of each."""
    root = tmp_path_factory.mktemp("source")
    subprocess.run([str(MAKE_FRAMES), str(root), "50", "4008", "40"], check=True, capture_output=True)
    subprocess.run([str(MAKE_FRAMES), "--uint16", str(root / "u16"), "1", "4008", "40"], check=True,
                   capture_output=True)
    run_cli("correct", "--phase-1x1", "8", "--output-dir", root / "ref", *sorted(root.glob("*.fits")))
    return root


class Watch:
    """A running watch; its result lines, as they come, by name."""

    def __init__(self, *args):
        env = dict(os.environ, KESTREL_WATCH_INCOMPLETE_SECONDS=GIVE_UP)
        self.proc = subprocess.Popen([str(CLI), "watch", "--phase-1x1", "8", "--settle", SETTLE, *map(str, args)],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(l.rstrip("\n")) for l in self.proc.stdout],
                         daemon=True).start()
        self.seen = []

    def wait_for(self, count, seconds=30):
        deadline = time.monotonic() + seconds
        while len(self.seen) < count and time.monotonic() < deadline:
            try:
                self.seen.append(self.lines.get(timeout=0.1))
            except queue.Empty:
                pass
        return [l.split("\t") for l in self.seen]

    def stop(self, sig=signal.SIGINT):
        self.proc.send_signal(sig)
        status = self.proc.wait(30)
        self.wait_for(len(self.seen) + 1000, seconds=0.3)
        return status, self.proc.stderr.read()


def chunked(src, dest, parts=5, pause=0.05):
    data = src.read_bytes()
    with open(dest, "wb") as out:
        for i in range(parts):
            out.write(data[i * len(data) // parts:(i + 1) * len(data) // parts])
            out.flush()
            time.sleep(pause)


def leftovers(folder):
    """Hidden or temporary files the writer might have left."""
    return [p.name for p in folder.iterdir() if p.name.startswith(".") or not p.name.endswith(".fits")]


def test_frames_landing_as_programs_write_them(source, tmp_path):
    night = tmp_path / "night"
    night.mkdir()
    shutil.copy(source / "frame1.fits", night)  # there before the watch
    watch = Watch(night)
    time.sleep(0.5)
    chunked(source / "frame2.fits", night / "frame2.fits")
    shutil.copy(source / "frame3.fits", night / "frame3.fits.part")
    os.rename(night / "frame3.fits.part", night / "frame3.FITS")
    (night / "notes.txt").write_text("seeing 2.1\n")
    (night / "frame4.fits").write_bytes((source / "frame4.fits").read_bytes()[:100000])
    shutil.copy(source / "u16" / "frame1.fits", night / "dark.fit")
    shutil.copy(source / "frame5.fits", night)
    # The program writes frame5's header again once it was corrected.
    assert ["frame5.fits"] in [l[:1] for l in watch.wait_for(5)]
    with open(night / "frame5.fits", "r+b") as f:
        f.seek(80 * 20)
        f.write(b"OBJECT  = 'M 31    '".ljust(80))
    lines = watch.wait_for(7)
    status, err = watch.stop()
    results = {}
    for fields in lines:
        results.setdefault(fields[0], []).append(fields[-1].split(":")[0])
    assert results == {"frame1.fits": ["corrected"], "frame2.fits": ["corrected"], "frame3.FITS": ["corrected"],
                       "frame4.fits": ["skipped"], "dark.fit": ["skipped"],
                       "frame5.fits": ["corrected", "corrected"]}, err
    assert [l[-1] for l in lines if l[0] == "frame4.fits"] == [
        f"skipped: incomplete after {GIVE_UP} s: 100,000 of {(source / 'frame4.fits').stat().st_size:,} bytes"]
    assert status == 130 and "stopped by signal 2" in err
    out = night / "kestrel"
    assert sorted(p.name for p in out.iterdir()) == ["frame1.fits", "frame2.fits", "frame3.FITS", "frame5.fits"]
    for n in (1, 2):
        assert (out / f"frame{n}.fits").read_bytes() == (source / "ref" / f"frame{n}.fits").read_bytes()
    assert (out / "frame3.FITS").read_bytes() == (source / "ref" / "frame3.fits").read_bytes()
    run_cli("correct", "--phase-1x1", "8", "--output-dir", tmp_path / "ref5", night / "frame5.fits")
    assert (out / "frame5.fits").read_bytes() == (tmp_path / "ref5" / "frame5.fits").read_bytes()


def test_burst_in_landing_order_and_stops_at_random_moments(source, tmp_path):
    names = [f"frame{n}.fits" for n in range(1, 51)]
    night = tmp_path / "burst"
    night.mkdir()
    watch = Watch(night, "--jobs", "2", "--csv", tmp_path / "burst.csv")
    # The first frame's line says the watch is looking (a slow start, as under the
    # sanitizers, would find the others there already and take them by name).
    shutil.copy(source / names[0], night)
    watch.wait_for(1, seconds=60)
    for name in names[1:]:
        shutil.copy(source / name, night)
    lines = watch.wait_for(50, seconds=60)
    status, err = watch.stop(signal.SIGTERM)
    assert [l[0] for l in lines] == names and {l[-1] for l in lines} == {"corrected"}, err
    assert status == 143
    assert len((tmp_path / "burst.csv").read_text().splitlines()) == 51
    assert all((night / "kestrel" / n).read_bytes() == (source / "ref" / n).read_bytes() for n in names)

    random.seed(36)
    for attempt in range(3):
        night = tmp_path / f"stopped{attempt}"
        night.mkdir()
        watch = Watch(night, "--jobs", "2")
        for name in names[:20]:
            shutil.copy(source / name, night)
        time.sleep(random.uniform(0.2, 1.0))
        status, err = watch.stop(random.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP]))
        assert status in (129, 130, 143), err
        out = night / "kestrel"
        written = sorted(p.name for p in out.iterdir()) if out.exists() else []
        assert sorted(l.split("\t")[0] for l in watch.seen) == written
        assert leftovers(out) == [] if out.exists() else True
        assert all((out / n).read_bytes() == (source / "ref" / n).read_bytes() for n in written)


@pytest.mark.parametrize("existing, expected", [("correct", ["frame2.fits", "frame3.fits"]), ("skip", [])])
def test_restart_neither_skips_nor_doubles(source, tmp_path, existing, expected):
    night = tmp_path / "night"
    night.mkdir()
    shutil.copy(source / "frame1.fits", night)
    first = Watch(night)
    first.wait_for(1)
    first.stop()
    for name in ("frame2.fits", "frame3.fits"):
        shutil.copy(source / name, night)
    again = Watch(night, "--existing", existing)
    lines = again.wait_for(len(expected), seconds=5 if expected else 1.5)
    again.stop()
    assert [l[0] for l in lines] == expected


@pytest.mark.parametrize("poll", [[], ["--poll", "0.2"]])
def test_folders_that_go_away(tmp_path, poll):
    folders = [tmp_path / "a", tmp_path / "b"]
    for f in folders:
        f.mkdir()
    watch = Watch(*poll, *folders)
    time.sleep(0.5)
    shutil.rmtree(folders[0])
    time.sleep(0.6)
    assert watch.proc.poll() is None
    os.rename(folders[1], tmp_path / "moved")
    assert watch.proc.wait(10) == 1
    err = watch.proc.stderr.read()
    assert f"the watched folder {folders[0]} is gone; the 1 other is still watched" in err
    assert f"the watched folder {folders[1]} is gone; no folder is left to watch" in err


def test_python_watch_yields_each_frame_and_stops_with_the_loop(source, tmp_path):
    import kestrel

    night = tmp_path / "night"
    night.mkdir()
    shutil.copy(source / "frame1.fits", night)
    frames = kestrel.watch([night], phase_1x1=8, settle=0.2)
    first = next(frames)
    shutil.copy(source / "frame2.fits", night)
    second = next(frames)
    frames.close()
    assert [(o.input, o.result) for o in (first, second)] == [
        (str(night / "frame1.fits"), "corrected"), (str(night / "frame2.fits"), "corrected")]
    assert (night / "kestrel" / "frame2.fits").read_bytes() == (source / "ref" / "frame2.fits").read_bytes()
    for bad in (dict(folders=[]), dict(folders=[night], settle=-1), dict(folders=[night], existing="all")):
        with pytest.raises(ValueError):
            next(kestrel.watch(**bad))
