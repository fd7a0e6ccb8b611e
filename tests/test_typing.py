"""The shipped type stubs: stubtest against the built module, and mypy --strict
and pyright on a typical user script (clean) and on one full of typical
mistakes (each reported on its own line)."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import ombrix

pytest.importorskip("mypy")
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("type checks say nothing about memory safety", allow_module_level=True)

HERE = pathlib.Path(__file__).parent / "typing"


def run(*args, cwd):
    # Run from an empty directory so that nothing in the source tree shadows
    # what is installed.
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=240)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("typing")


SCRIPTS = [HERE / "user_script.py", HERE / "mistakes.py"]


def mypy_errors(workdir):
    done = run(
        "mypy", "--strict", "--no-color-output", "--cache-dir", str(workdir / "cache"), *map(str, SCRIPTS), cwd=workdir
    )
    assert done.returncode in (0, 1), done.stdout + done.stderr
    for line in done.stdout.splitlines():
        m = re.match(r"(.+?\.py):(\d+): error: (.*)", line)
        if m:
            yield m[1], int(m[2]), m[3]


def pyright_errors(workdir):
    pytest.importorskip("pyright")
    done = run("pyright", "--outputjson", "--pythonpath", sys.executable, *map(str, SCRIPTS), cwd=workdir)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    for d in json.loads(done.stdout)["generalDiagnostics"]:
        if d["severity"] == "error":
            yield d["file"], d["range"]["start"]["line"] + 1, d["message"]


@pytest.fixture(scope="module", params=[mypy_errors, pyright_errors], ids=["mypy", "pyright"])
def report(request, workdir):
    """One checker over both scripts in one run: {file stem: {line: message}}."""
    errors = {"user_script": {}, "mistakes": {}}
    for file, line, message in request.param(workdir):
        errors[pathlib.Path(file).stem].setdefault(line, message)
    return errors


def test_stubs_are_installed_beside_the_module():
    stub = pathlib.Path(ombrix.__file__).parent / "ombrix-stubs" / "__init__.pyi"
    assert stub.is_file()


def test_stubtest(workdir):
    done = run("mypy.stubtest", "ombrix", "--allowlist", str(HERE / "stubtest_allowlist.txt"), cwd=workdir)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_itself_is_strict_clean(workdir):
    # A copy, since mypy refuses to check a file inside site-packages itself.
    stub = workdir / "stub_copy" / "ombrix.pyi"
    stub.parent.mkdir()
    stub.write_text((pathlib.Path(ombrix.__file__).parent / "ombrix-stubs" / "__init__.pyi").read_text())
    done = run("mypy", "--strict", "--cache-dir", str(workdir / "cache"), str(stub), cwd=stub.parent)
    assert done.returncode == 0, done.stdout + done.stderr


def test_typical_script_is_clean(report):
    assert report["user_script"] == {}


def test_typical_script_runs(workdir):
    done = subprocess.run(
        [sys.executable, str(HERE / "user_script.py")], cwd=workdir, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr


def test_every_mistake_is_reported(report):
    lines = (HERE / "mistakes.py").read_text().splitlines()
    marked = {number for number, text in enumerate(lines, 1) if "# E:" in text}
    assert len(marked) >= 10
    assert set(report["mistakes"]) == marked, report["mistakes"]
