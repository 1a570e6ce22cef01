"""The type stubs installed with the module (korvane-stubs) against the module
itself: stubtest compares every member and signature, and mypy checks a typed
program using every member (typed_usage.py), which then runs."""
import os
import subprocess
import sys
from pathlib import Path

import korvane

HERE = Path(__file__).resolve().parent
STUB_SOURCE = HERE.parent / "stubs" / "korvane-stubs" / "__init__.pyi"
INSTALLED = Path(korvane.__file__).resolve().parent / "korvane-stubs" / "__init__.pyi"


def run(tmp_path, *args):
    # The module this process imported, and the stubs installed beside it,
    # come first on the child's path; type checkers search it for stubs too.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(korvane.__file__), env.get("PYTHONPATH")] if p)
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")  # no user or project configuration
    if args[:2] == ("-m", "mypy"):
        args = (*args[:2], "--config-file", str(config), "--cache-dir", str(tmp_path / "cache"), *args[2:])
    elif args[:2] == ("-m", "mypy.stubtest"):
        args = (*args[:2], "--mypy-config-file", str(config), *args[2:])
    r = subprocess.run([sys.executable, *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, f"{' '.join(args)}:\n{r.stdout}{r.stderr}"
    return r


def test_stubs_are_installed_beside_the_module():
    assert INSTALLED.is_file(), f"{INSTALLED} missing: the stubs are not installed with the module"
    assert INSTALLED.read_bytes() == STUB_SOURCE.read_bytes(), "the installed stubs are stale: reinstall"


def test_stubs_match_the_module(tmp_path):
    r = run(tmp_path, "-m", "mypy.stubtest", "korvane")
    assert "Success" in r.stdout


def test_typed_program_checks_and_runs(tmp_path):
    r = run(tmp_path, "-m", "mypy", "--strict", str(HERE / "typed_usage.py"))
    assert "Success" in r.stdout
    run(tmp_path, str(HERE / "typed_usage.py"), str(tmp_path / "index.krvn"))
