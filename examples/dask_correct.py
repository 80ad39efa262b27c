#!/usr/bin/python3
"""Corrects a folder of frames on a Dask cluster, one task per frame.

Each task is kestrel.correct_file on one frame: exactly what kestrel-cli correct does
to it, byte for byte, with the same rules for the originals. The outputs are settled
for the whole run first (kestrel.plan), as kestrel-cli settles them, so that no two
tasks ever write the same file and no original is replaced without --overwrite. The
outcomes are gathered in input order, printed one line per frame, and the measured
ones appended to --csv FILE in the records of kestrel-cli --csv.

On this machine, a LocalCluster of worker processes (one per core by default):

    dask_correct.py --phase-1x1 8 --csv night.csv night/

On a cluster, given the address of its running scheduler (the frames, the output
folder and the module must be reachable from every worker, under the same paths):

    dask_correct.py --scheduler tcp://head:8786 --phase-1x1 8 /shared/night/

On a Slurm or PBS site, with dask-jobqueue (its queue, cores and memory come from its
configuration file, ~/.config/dask/jobqueue.yaml):

    dask_correct.py --jobqueue slurm --jobs 8 --phase-1x1 8 /shared/night/

Each frame's record goes into the results file as soon as it and every frame before it
are done, so that the file holds them in input order, as kestrel-cli writes them.
Stopped by SIGTERM (a Slurm time limit, scancel) or SIGINT (Ctrl-C), it cancels the
frames not yet started, waits for those in progress, prints and records every frame
that was corrected, and exits with 143 or 130, as kestrel-cli does.

Exit status: 0 every frame corrected, 1 a frame skipped or failed (or the results not
written), 2 usage, 130 and 143 stopped by SIGINT and SIGTERM.
"""
import argparse
import os
import signal
import sys

import kestrel

FITS_SUFFIXES = (".fits", ".fit", ".fts")


def frames_of(names):
    """The frames named: files as given, folders by their FITS files in name order."""
    frames = []
    for name in names:
        if os.path.isdir(name):
            frames += sorted(os.path.join(name, f) for f in os.listdir(name)
                             if f.lower().endswith(FITS_SUFFIXES) and os.path.isfile(os.path.join(name, f)))
        else:
            frames.append(name)
    # Workers may run elsewhere, in other folders: every path is absolute.
    return [os.path.abspath(f) for f in frames]


def result_line(outcome):
    """A line as kestrel-cli prints it: name, binning, background, exposure,
    temperature, amplitude and what became of the frame."""
    corrected = outcome.result == "corrected"
    fields = [
        os.path.basename(outcome.input),
        outcome.binning or "",
        f"{outcome.background:.2f}" if outcome.background is not None else "0.00" if corrected else "",
        str(outcome.exposure) if outcome.exposure is not None else "",
        # kestrel-cli prints whole degrees, and the window's 20000 for a missing CCD-TEMP.
        (str(round(outcome.temperature)) if outcome.temperature is not None else "20000") if corrected
        else ("Failed" if outcome.skip is None else ""),
        f"{outcome.amplitude:.3f}" if corrected else "",
        "corrected" if corrected else f"{'skipped' if outcome.result == 'skipped' else 'failed'}: "
                                      f"{outcome.message or 'image not measured'}",
    ]
    return "\t".join(fields)


def client_for(args):
    """A client of the scheduler asked for: a given address, a job queue's cluster, or
    a LocalCluster of worker processes on this machine."""
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        return Client(args.scheduler)
    if args.jobqueue:
        try:
            import dask_jobqueue
        except ImportError:
            sys.exit("dask_correct.py: --jobqueue needs dask-jobqueue (pip install dask-jobqueue)")
        cluster = (dask_jobqueue.SLURMCluster if args.jobqueue == "slurm" else dask_jobqueue.PBSCluster)()
        cluster.scale(jobs=args.jobs)
        return Client(cluster)
    # One task at a time per worker process: the kernels use a core each, of those this
    # process may run on (taskset, a Slurm allocation), not of the whole machine.
    return Client(LocalCluster(n_workers=args.workers or len(os.sched_getaffinity(0)), threads_per_worker=1,
                               processes=True))


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Corrects frames on a Dask cluster as kestrel-cli correct does.")
    parser.add_argument("frames", nargs="+", metavar="FILE_OR_FOLDER")
    parser.add_argument("--phase-1x1", type=int, metavar="N", help="band phase of unbinned frames, 0 to 32")
    parser.add_argument("--phase-2x2", type=int, metavar="N", help="band phase of 2x2-binned frames, 0 to 16")
    parser.add_argument("--amplitude", type=float, metavar="A", help="add A ADU instead of measuring it")
    parser.add_argument("--estimator", choices=("standard", "balanced"), default="standard")
    target = parser.add_mutually_exclusive_group()
    target.add_argument("--overwrite", action="store_true", help="replace each frame by its corrected image")
    target.add_argument("--output-dir", metavar="DIR", help="default: kestrel/ in the first frame's folder")
    parser.add_argument("--csv", metavar="FILE", help="append the measured results, as kestrel-cli --csv")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="the scheduler of a running cluster")
    where.add_argument("--jobqueue", choices=("slurm", "pbs"), help="start workers as jobs (dask-jobqueue)")
    parser.add_argument("--jobs", type=int, default=4, metavar="N", help="with --jobqueue: jobs to start")
    parser.add_argument("--workers", type=int, metavar="N", help="LocalCluster processes; default: one per core")
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    frames = frames_of(args.frames)
    if not frames:
        print("dask_correct.py: no FITS file given", file=sys.stderr)
        return 2
    output_dir = os.path.abspath(args.output_dir) if args.output_dir else None
    planned = kestrel.plan(frames, output_dir=output_dir, overwrite=args.overwrite)
    if args.csv:
        # kestrel-cli's rule, before any frame is touched: never over an image of the run
        # (ValueError, a usage error), nor where it cannot be written (kestrel.Error).
        try:
            kestrel.append_results(args.csv, [p.refused for p in planned if p.refused] + [
                kestrel.Outcome(p.input, p.output, "corrected", None, "", None, None, None, None, False, None,
                                None, None, []) for p in planned])
        except ValueError as e:
            print(f"dask_correct.py: --csv: {e}", file=sys.stderr)
            return 2
        except kestrel.Error as e:
            print(f"dask_correct.py: --csv: {e}", file=sys.stderr)
            return 1

    folder = None
    if not args.overwrite:
        folder = os.path.dirname(planned[0].output)
        made = not os.path.exists(folder)
        os.makedirs(folder, exist_ok=True)

    stop = []
    previous = {s: signal.signal(s, lambda number, frame: stop.append(number)) for s in (signal.SIGTERM, signal.SIGINT)}
    try:
        status = run(args, planned, folder, stop)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    # An output folder this run made and left empty goes again, as with kestrel-cli.
    if folder and made and not os.listdir(folder):
        os.rmdir(folder)
    return 128 + stop[0] if stop else status


def run(args, planned, folder, stop):
    """Hands the workers the frames, a frame for each of their threads at a time,
    reports each one in input order as it is done and appends its record. After a
    signal (in `stop`) no frame is handed out: those in progress are waited for and
    reported, so that every file put in place is recorded."""
    from dask.distributed import wait

    status = 0
    with client_for(args) as client:
        futures = {}
        waiting = iter([i for i, p in enumerate(planned) if p.refused is None])

        def hand_out():
            # Workers of a job queue come and go: as many frames as they have threads now.
            threads = max(1, sum(client.nthreads().values()))
            while sum(not f.done() for f in futures.values()) < threads:
                i = next(waiting, None)
                if i is None:
                    return
                futures[i] = client.submit(
                    kestrel.correct_file, planned[i].input, output_dir=None if args.overwrite else folder,
                    overwrite=args.overwrite, phase_1x1=args.phase_1x1, phase_2x2=args.phase_2x2,
                    amplitude=args.amplitude, estimator=args.estimator, pure=False)

        def report(i):
            nonlocal status
            p = planned[i]
            if p.refused is not None:
                outcome = p.refused
            else:
                try:
                    outcome = futures[i].result()
                except Exception as e:  # a worker lost, or a settings file it cannot read
                    print(f"{os.path.basename(p.input)}: {e}", file=sys.stderr)
                    print(f"{os.path.basename(p.input)}\t\t\t\t\t\tfailed: {e}", flush=True)
                    status = 1
                    return
            for line in outcome.reports:
                print(f"{os.path.basename(p.input)}: {line}", file=sys.stderr)
            print(result_line(outcome), flush=True)
            if outcome.result != "corrected":
                status = 1
            if args.csv:
                try:
                    kestrel.append_results(args.csv, [outcome])
                except (kestrel.Error, ValueError) as e:
                    print(f"dask_correct.py: {e}", file=sys.stderr)
                    status = 1

        next_frame = 0
        while next_frame < len(planned) and not stop:
            hand_out()
            if planned[next_frame].refused is None and not futures[next_frame].done():
                try:  # a short wait, so that a signal is heeded soon
                    wait([f for f in futures.values() if not f.done()], timeout=0.2, return_when="FIRST_COMPLETED")
                except TimeoutError:
                    pass
                continue
            report(next_frame)
            next_frame += 1
        if stop:
            wait(list(futures.values()))
            for i in range(next_frame, len(planned)):
                if i in futures:
                    report(i)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
