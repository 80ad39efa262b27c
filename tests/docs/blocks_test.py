#!/usr/bin/env python3
"""Every shell block of the README and every command of the manual's quick start runs
as printed, in a scratch folder inside the build, and ends with status 0.

The README's blocks run in a folder that looks like the source folder (its files
linked, build/ the build under test) with three frames in night/, the way a user's
clone with a night of frames looks; the blocks that need root, a display, a network
or a cluster are skipped, each with its reason (SKIPPED below). The quick start runs
twice in an empty folder, as its chapter says: once with a portable copy of the
programs first on the PATH, once with Kestrel installed into ~/.local.

Usage: blocks_test.py SOURCE_FOLDER BUILD_FOLDER KESTREL_PDF
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

SKIP = 77

# The first line of each block that is not run, and why.
SKIPPED = {
    "./setup.sh && cmake -S . -B build": "builds Kestrel and runs the whole suite, this test among it; "
                                         "the window needs a display",
    "cmake -S . -B build -G Ninja -DKESTREL_SERVER": "configures the build with a server: it would change the "
                                                     "build under test",
    "ls night/*.fits | parallel -S node1,node2": "needs the ssh hosts node1 and node2",
    "#!/bin/bash": "a Slurm job script: needs a cluster",
    "python3 -m venv --system-site-packages v": "builds Kestrel once more with pip (minutes); "
                                                "python_test_venv does the same",
    "v/bin/python examples/dask_correct.py --scheduler": "needs a running Dask cluster and a Slurm or PBS site",
    "python3 -m venv --system-site-packages ~/kestrel-venv": "fetches dask-jobqueue from the Python Package Index",
    "sudo cmake --install build": "needs root",
    "cmake -S . -B build-windows": "the Windows cross-build (minutes): .ci/windows.sh runs it",
    "kestrel-cli watch --phase-1x1 8": "watches a folder of the user's disk until stopped; python_watch runs "
                                       "the watch on frames landing in a folder",
    "systemctl --user start kestrel-watch@": "needs a user's systemd session and the installed package; "
                                             "python_watch runs the watch itself",
}


def readme_blocks(readme):
    return re.findall(r"^```(?:sh|bash)\n(.*?)^```", readme, re.M | re.S)


def quick_start(pdf):
    """The commands of the manual's quick start, as pdftotext reads them."""
    text = subprocess.run(["pdftotext", "-raw", pdf, "-"], check=True, capture_output=True, text=True).stdout
    chapter = re.search(r"^\d+\. Quick start.*?$(.*?)^\d+\. The window$", "\n".join(text.split("\f")[2:]), re.M | re.S)
    return [line[2:] for line in chapter.group(1).splitlines() if line.startswith("$ ")] if chapter else []


def run(block, folder, env, failures, what):
    done = subprocess.run(["bash", "-e", "-c", block], cwd=folder, env=env, capture_output=True, text=True,
                          timeout=300)
    if done.returncode != 0:
        failures.append(f"{what} ended with status {done.returncode}:\n{block}\n{done.stdout}{done.stderr}")


def main():
    source, build, pdf = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), sys.argv[3]
    if not shutil.which("pdftotext"):
        print("SKIP: pdftotext not installed (run ./setup.sh)")
        return SKIP
    scratch = build / "Testing" / "blocks"
    shutil.rmtree(scratch, ignore_errors=True)
    home, clone, portable = scratch / "home", scratch / "clone", scratch / "portable"
    for folder in (home, clone, portable / "bin"):
        folder.mkdir(parents=True)
    env = {key: value for key, value in os.environ.items()
           if key != "PYTHONPATH" and not key.startswith("XDG_")}
    env.update(HOME=str(home), LANG="C.UTF-8", DASK_TEMPORARY_DIRECTORY=str(scratch / "dask"))
    for program in ("kestrel-cli", "kestrel-make-frames"):
        shutil.copy2(build / "bin" / program, portable / "bin")
    env["PATH"] = f"{portable / 'bin'}:{env['PATH']}"

    for entry in source.iterdir():
        if entry.name not in ("build", ".git") and entry.resolve() != build.resolve():
            (clone / entry.name).symlink_to(entry)
    (clone / "build").symlink_to(build.resolve())
    subprocess.run(["kestrel-make-frames", "night", "3", "4008", "200"], cwd=clone, env=env, check=True)

    failures, ran, skipped = [], 0, set()
    for block in readme_blocks((source / "README.md").read_text()):
        reason = next((why for first, why in SKIPPED.items() if block.startswith(first)), None)
        if reason:
            skipped.add(block.splitlines()[0])
            print(f"skipped: {block.splitlines()[0][:60]}: {reason}")
            continue
        run(block, clone, env, failures, "README block")
        ran += 1
    unused = [first for first in SKIPPED if not any(line.startswith(first) for line in skipped)]
    if unused:
        failures.append(f"no README block begins with {unused}: take them out of SKIPPED")

    commands = quick_start(pdf)
    if len(commands) < 8:
        failures.append(f"the manual's quick start shows {len(commands)} commands")
    installed = home / ".local"
    subprocess.run(["cmake", "--install", str(build), "--prefix", str(installed)], check=True,
                   capture_output=True)
    for how, bin_folder in (("portable", portable / "bin"), ("installed", installed / "bin")):
        night = scratch / f"quick-{how}"
        night.mkdir()
        quick_env = dict(env, PATH=f"{bin_folder}:{os.environ['PATH']}")
        run("\n".join(commands), night, quick_env, failures, f"the quick start ({how})")
    if not (portable / "bin" / "kestx.ini").exists() or not (home / ".config/kestrel/kestx.ini").exists():
        failures.append("the quick start stored no phase beside the portable copy or in ~/.config/kestrel")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    shutil.rmtree(scratch)
    print(f"{ran} README blocks and the quick start's {len(commands)} commands (portable and installed) "
          f"ended with status 0; {len(skipped)} blocks skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
