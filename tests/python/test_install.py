"""The module where it is installed: the files cmake --install puts into the site folder
of Debian's Python (as the package python3-kestrel holds them), the installed module at
work, the settings file it reads there and in a portable copy, and its stub."""
import ast
import inspect
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import kestrel
from conftest import BUILD, CLI, SOURCE, run_cli

PACKAGE = pathlib.Path(kestrel.__file__).parent
MODULE = next(PACKAGE.glob("_kestrel*.so")).name
FILES = ["__init__.py", "__init__.pyi", MODULE, "py.typed"]
MINOR = f"{sys.version_info.major}.{sys.version_info.minor}"


def install(stage, prefix):
    cmake = os.environ.get("KESTREL_CMAKE", "cmake")
    subprocess.run([cmake, "--install", str(BUILD), "--component", "python", "--prefix", prefix],
                   env=dict(os.environ, DESTDIR=str(stage)), check=True, capture_output=True)
    return sorted(str(p.relative_to(stage)) for p in stage.rglob("*") if not p.is_dir())


def python(code, *args, **environment):
    """`code` run by a fresh interpreter that finds the module only where the environment
    says; its output."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "XDG_CONFIG_HOME")}
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=dict(env, **environment),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("prefix, site", [("/usr", "usr/lib/python3/dist-packages"),
                                          ("/usr/local", f"usr/local/lib/python{MINOR}/dist-packages"),
                                          ("/home/me/.local", f"home/me/.local/lib/python{MINOR}/site-packages")])
def test_installed_into_the_site_folder_of_the_prefixs_python(tmp_path, prefix, site):
    doc = prefix.lstrip("/") + "/share/doc/python3-kestrel"
    assert install(tmp_path, prefix) == sorted([f"{doc}/changelog.gz", f"{doc}/copyright",
                                                f"{doc}/examples/dask_correct.py", f"{doc}/examples/jobqueue.yaml"] +
                                               [f"{site}/kestrel/{f}" for f in FILES])
    assert (tmp_path / doc / "copyright").read_bytes() == (SOURCE / "LICENSE").read_bytes()


def test_the_installed_module_works_and_reads_the_users_settings(tmp_path, frames):
    install(tmp_path / "stage", "/usr")
    site = tmp_path / "stage/usr/lib/python3/dist-packages"
    out = python("import kestrel, sys; o = kestrel.correct_file(sys.argv[1], output_dir=sys.argv[2], phase_1x1=8);"
                 "print(kestrel.__file__, kestrel.__version__, kestrel.settings_file(), o.result, sep='\\n')",
                 frames / "1x1/frame1.fits", tmp_path / "out", PYTHONPATH=str(site), HOME=str(tmp_path / "home"))
    assert out.split() == [str(site / "kestrel/__init__.py"), "1.35", str(tmp_path / "home/.config/kestrel/kestx.ini"), "corrected"]
    run_cli("correct", "--phase-1x1", "8", "--output-dir", tmp_path / "cli", frames / "1x1/frame1.fits")
    assert (tmp_path / "out/frame1.fits").read_bytes() == (tmp_path / "cli/frame1.fits").read_bytes()


def test_a_portable_copy_takes_the_phases_of_its_kestrel_cli(tmp_path, frames):
    tree = tmp_path / "kestrel"
    (tree / "bin").mkdir(parents=True)
    shutil.copytree(PACKAGE, tree / "python/kestrel")
    shutil.copy(CLI, tree / "bin")
    (tree / "bin/kestx.ini").write_text("[kestx]\r\n1x1phase=7\r\n")
    code = ("import kestrel, sys\n"
            "for i, frame in enumerate(sys.argv[2:]):\n"
            "    o = kestrel.correct_file(frame, output_dir=sys.argv[1] + str(i), phase_check=False)\n"
            "    print(o.result, o.phase, o.message, sep='|')\n")
    out = python(code, tmp_path / "out", frames / "1x1/frame1.fits", frames / "2x2/frame1.fits",
                 PYTHONPATH=str(tree / "python")).splitlines()
    assert out == ["corrected|7|", "skipped|None|2x2 Phase is not an integer. Give it with phase_2x2=N or set it "
                   f"in the settings file {tree / 'bin/kestx.ini'}."]
    subprocess.run([str(tree / "bin/kestrel-cli"), "correct", "--no-phase-check", "--output-dir", str(tmp_path / "cli"),
                    str(frames / "1x1/frame1.fits")], check=True, capture_output=True)
    assert (tmp_path / "out0/frame1.fits").read_bytes() == (tmp_path / "cli/frame1.fits").read_bytes()


def stub():
    """The functions of the stub __init__.pyi with their parameters, and its named
    tuples with their fields."""
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text())
    functions, records = {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            functions[node.name] = ([p.arg for p in a.posonlyargs + a.args], [p.arg for p in a.kwonlyargs],
                                    len(a.defaults) + sum(d is not None for d in a.kw_defaults))
        elif isinstance(node, ast.ClassDef) and any(getattr(b, "id", "") == "NamedTuple" for b in node.bases):
            records[node.name] = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
    return functions, records


def test_the_stub_names_what_the_module_has_and_every_function_is_documented():
    functions, records = stub()
    public = {n: f for n, f in vars(kestrel).items() if callable(f) and not n.startswith("_") and n[0].islower()}
    assert sorted(public) == sorted(functions)
    for name, f in public.items():
        p = inspect.signature(f).parameters.values()
        kinds = inspect.Parameter
        assert ([q.name for q in p if q.kind == kinds.POSITIONAL_OR_KEYWORD], [q.name for q in p if q.kind == kinds.KEYWORD_ONLY],
                sum(q.default is not q.empty for q in p)) == functions[name], name
        assert len(f.__doc__) > 200, name
    assert {n: list(getattr(kestrel, n)._fields) for n in records} == records
    assert sorted(records) == sorted(n for n, v in vars(kestrel).items() if hasattr(v, "_fields"))
    assert kestrel.__doc__ and kestrel.Error.__doc__ and all(getattr(kestrel, r).__doc__ for r in records)
