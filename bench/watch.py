#!/usr/bin/env python3
"""Measures kestrel-cli watch as an observatory uses it, and prints the figures:
  - latency: a full frame (4008 x 2672 floats, 43 MB) written in 4 chunks one second
    apart; the time from its last write to its result line, against the settle time
    plus 1.5 x the durable copy of one frame (written, flushed to the disk, renamed);
  - burst: 100 frames (4008 x 200) copied in at once; each corrected once, in the order
    they landed, and the time to the last line against kestrel-cli correct --jobs N on
    the same frames;
  - idle: the processor time of a watch over an empty folder for a minute
    (utime + stime of /proc/PID/stat), scaled to an hour.
  bench/watch.py [BUILD_FOLDER] [--idle SECONDS] [--jobs N]  (default: build, 60 s, 2)"""
import argparse
import os
import pathlib
import shutil
import subprocess
import tempfile
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--idle", type=float, default=60)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    cli, make = build / "bin" / "kestrel-cli", build / "bin" / "kestrel-make-frames"
    settle = 2.0
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as scratch:
        root = pathlib.Path(scratch)
        subprocess.run([str(make), str(root / "big"), "1"], check=True, capture_output=True)
        subprocess.run([str(make), str(root / "small"), "100", "4008", "200"], check=True, capture_output=True)
        frame = (root / "big" / "frame1.fits").read_bytes()

        # The durable copy of one frame: the least any safe writer of it costs.
        copies = []
        for i in range(3):
            start = time.monotonic()
            with open(root / f"copy{i}", "wb") as out:
                out.write(frame)
                out.flush()
                os.fsync(out.fileno())
            os.rename(root / f"copy{i}", root / f"copied{i}")
            fd = os.open(root, os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)
            copies.append(time.monotonic() - start)
        durable = sorted(copies)[1]

        def watch(folder, *options):
            folder.mkdir(exist_ok=True)
            proc = subprocess.Popen([str(cli), "watch", "--phase-1x1", "8", *options, str(folder)],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            lines = []

            def read():
                for line in proc.stdout:
                    lines.append((time.monotonic(), line.split("\t")))
            threading.Thread(target=read, daemon=True).start()
            time.sleep(0.5)
            return proc, lines

        def wait(lines, count, seconds):
            deadline = time.monotonic() + seconds
            while len(lines) < count and time.monotonic() < deadline:
                time.sleep(0.01)

        # Latency of a frame written as a fast camera writes it.
        proc, lines = watch(root / "night", "--settle", str(settle))
        with open(root / "night" / "frame1.fits", "wb") as out:
            for i in range(4):
                out.write(frame[i * len(frame) // 4:(i + 1) * len(frame) // 4])
                out.flush()
                last = time.monotonic()
                if i < 3:
                    time.sleep(1)
        wait(lines, 1, 60)
        proc.terminate()
        proc.wait()
        latency = lines[0][0] - last
        print(f"latency   {latency:.2f} s after the last write; limit settle {settle:.1f} s + 1.5 x durable copy "
              f"{durable:.2f} s = {settle + 1.5 * durable:.2f} s: {'met' if latency <= settle + 1.5 * durable else 'MISSED'}")

        # A burst of 100 frames.
        names = [f"frame{n}.fits" for n in range(1, 101)]
        proc, lines = watch(root / "burst", "--settle", "0.5", "--jobs", str(args.jobs))
        start = time.monotonic()
        for name in names:
            shutil.copy(root / "small" / name, root / "burst" / name)
        landed = time.monotonic() - start
        wait(lines, 100, 300)
        proc.terminate()
        proc.wait()
        took = lines[-1][0] - start if lines else float("nan")
        got = [fields[0] for _, fields in lines]
        start = time.monotonic()
        subprocess.run([str(cli), "correct", "--phase-1x1", "8", "--jobs", str(args.jobs), "--output-dir",
                        str(root / "ref"), *[str(root / "small" / n) for n in names]], check=True,
                       capture_output=True)
        batch = time.monotonic() - start
        print(f"burst     {len(got)} lines for 100 frames landed in {landed:.2f} s; each once: "
              f"{sorted(got) == sorted(names)}; in landing order: {got == names}; last line after "
              f"{took:.2f} s (settle 0.5 s); correct --jobs {args.jobs} on the same frames: {batch:.2f} s")

        # An idle watch.
        proc, _ = watch(root / "idle")
        ticks = os.sysconf("SC_CLK_TCK")

        def cpu():
            fields = pathlib.Path(f"/proc/{proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / ticks
        before = cpu()
        time.sleep(args.idle)
        used = cpu() - before
        proc.terminate()
        proc.wait()
        print(f"idle      {used:.3f} s of processor time in {args.idle:.0f} s: "
              f"{used * 3600 / args.idle:.2f} s an hour")


if __name__ == "__main__":
    main()
