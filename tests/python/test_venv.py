"""The package as a pipeline author installs it: pip into a fresh virtual environment
from the source tree, offline, then mypy --strict over the README's Python lines and a
pipeline that passes a NumPy integer as a phase, against the installed copy."""
import os
import re
import subprocess
import sys

from conftest import BUILD, SOURCE

PIPELINE = """
import numpy as np
import kestrel

phases = np.array([8, 24], dtype=np.int64)
frame = kestrel.read("night/frame1.fits")
fixed, outcome = kestrel.correct(frame.data, phases[0])
profile = kestrel.measure(frame.data, phase=np.int32(8))
done = kestrel.correct_file("night/frame2.fits", phase_1x1=phases[1])
background: float = profile.background
print(fixed.dtype, outcome.result, done.result, background)
temperature: float | None = done.temperature
try:
    kestrel.read("missing.fits")
except kestrel.MissingFileError as missing:
    print(missing.errno, missing.reports)
"""


def test_installed_into_a_venv_the_types_pass_mypy_strict(tmp_path):
    venv = tmp_path / "v"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["KESTREL_CMAKE_BUILD"] = str(BUILD)
    subprocess.run([str(venv / "bin/pip"), "install", "-q", "--no-build-isolation", "--no-index", str(SOURCE)],
                   env=env, check=True, capture_output=True, cwd=tmp_path)
    readme = (SOURCE / "README.md").read_text()
    lines = re.search(r"## Kestrel in Python.*?```python\n(.*?)```", readme, re.S).group(1)
    (tmp_path / "readme.py").write_text(lines)
    (tmp_path / "pipeline.py").write_text(PIPELINE)
    (tmp_path / "mypy.ini").write_text("[mypy]\nstrict = True\n[mypy-astropy.*]\nignore_missing_imports = True\n")
    python = str(venv / "bin/python")
    found = subprocess.run([python, "-c", "import kestrel; print(kestrel.__file__)"], env=env, cwd=tmp_path,
                           capture_output=True, text=True, check=True).stdout
    assert found.startswith(str(venv))
    checked = subprocess.run([python, "-m", "mypy", "--config-file", "mypy.ini", "--no-incremental",
                              "readme.py", "pipeline.py"], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
