#!/usr/bin/python3
"""Times the Python module over full frames with one thread and with two, and prints
the throughput of two threads against one as a markdown table: the kernels release the
GIL, so a thread pool over frames should use both cores of a two-core machine (goal:
1.7 or more).

  - correct: kestrel.correct of 8 frames (4008 x 2672 float32) held in memory, into
    new arrays and into arrays given as out;
  - measure: kestrel.measure of the same frames;
  - find_phase: kestrel.find_phase of 8 16-bit frames in memory;
  - correct_file: kestrel.correct_file of 8 frames in /dev/shm (memory, so that the disk
    is no limit), their outputs there too;
  - and, for reference, SHA-256 of 8 blocks of a frame's size with hashlib, which
    releases the GIL too: what the machine gives two threads at the moment.

Each figure is the median of several runs, one thread and two in turns. Other work on
the machine skews them: the table gives the cores the process kept busy (its processor
time over the wall time; 2.00 is both cores), and the load average before and after.

  PYTHONPATH=build/python bench/python_threads.py [--runs N] [BUILD_FOLDER]   (default: build, 5 runs)
"""
import argparse
import hashlib
import os
import pathlib
import shutil
import statistics
import subprocess
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import kestrel

FRAMES = 8


def timed(work, items, threads):
    """Seconds to do `work` on every item with a pool of `threads` threads, and the
    cores the process kept busy meanwhile (its processor time over those seconds)."""
    with ThreadPoolExecutor(threads) as pool:
        started, before = time.perf_counter(), os.times()
        # Each result dropped as it comes, as a pipeline that writes it out would.
        for _ in pool.map(work, items):
            pass
        seconds, after = time.perf_counter() - started, os.times()
    return seconds, (after.user - before.user + after.system - before.system) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    make_frames = pathlib.Path(args.build) / "bin" / "kestrel-make-frames"
    scratch = pathlib.Path(tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    try:
        subprocess.run([str(make_frames), str(scratch / "float"), str(FRAMES)], check=True)
        subprocess.run([str(make_frames), "--uint16", str(scratch / "raw"), str(FRAMES)], check=True)
        files = sorted((scratch / "float").iterdir())
        floats = [kestrel.read(f).data for f in files]
        outs = [np.empty_like(frame) for frame in floats]
        raws = [kestrel.read(f).data for f in sorted((scratch / "raw").iterdir())]
        block = os.urandom(len(floats[0].data.tobytes()))
        cases = [
            # What the machine gives two threads at the moment: hashing, which needs no GIL.
            ("sha256 (reference)", lambda _: hashlib.sha256(block).digest(), range(FRAMES)),
            ("correct", lambda frame: kestrel.correct(frame, 8), floats),
            ("correct, into out", lambda i: kestrel.correct(floats[i], 8, out=outs[i]), range(FRAMES)),
            ("measure", lambda frame: kestrel.measure(frame, 8), floats),
            ("find_phase", kestrel.find_phase, raws),
            ("correct_file", lambda f: kestrel.correct_file(f, output_dir=scratch / "out", phase_1x1=8), files),
        ]
        load = os.getloadavg()
        print(f"{os.cpu_count()} cores; load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} before")
        print()
        print("| work | 1 thread, frames/s | 2 threads, frames/s | 2 threads / 1 | cores busy, 1 thread | 2 threads |")
        print("|---|---|---|---|---|---|")
        for name, work, items in cases:
            timed(work, items, 2)  # warm: pages faulted in, buffers of each thread grown
            # One thread and two in turns, so that other work on the machine hits both alike.
            runs = [(timed(work, items, 1), timed(work, items, 2)) for _ in range(args.runs)]
            one = statistics.median(r[0][0] for r in runs)
            two = statistics.median(r[1][0] for r in runs)
            busy = [statistics.median(r[t][1] for r in runs) for t in (0, 1)]
            print(f"| {name} | {FRAMES / one:.2f} | {FRAMES / two:.2f} | {one / two:.2f} | {busy[0]:.2f} | {busy[1]:.2f} |")
        load = os.getloadavg()
        print()
        print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} after; median of {args.runs} runs")
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
