"""The shipped stubs agree with the installed modules, and typed code checks against them.

Both tools run in a subprocess on the installed package, so a mismatch shows up as a
failure with the tool's own report.
"""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import pe_image

ROOT = Path(__file__).resolve().parents[1]
TESTS = ROOT / "tests"
# The project's cache outside the checkout, found as tools/debug_python.sh finds it. mypy's
# cache lives there so that a fresh clone (as in CI) checks in a few seconds rather than
# analysing the standard library's and Dask's stubs anew.
PROJECT_CACHE = Path(os.environ.get("PELLANDOR_CACHE_DIR")
                     or Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "pellandor")
MYPY_CACHE = PROJECT_CACHE / "mypy"
CHECKED_CLEAN = [*sorted(ROOT.glob("examples/*.py")), TESTS / "typing_usage.py"]
MISUSE = TESTS / "typing_misuse.py"


def mypy_blocker():
    """Why mypy cannot run in this interpreter, or None. Its parser is a native extension, which
    loads only where every DLL it imports does (not so under Debian 12's wine 8.0)."""
    if importlib.util.find_spec("mypy.nativeparse") is None:
        return None
    try:
        import mypy.nativeparse  # noqa: F401
    except ImportError as exc:
        reason = f"mypy cannot run here: {str(exc).rstrip('.')}"
        if exc.path and pe_image.is_pe(exc.path):
            missing = pe_image.unloadable_dlls(exc.path)
            if missing:
                reason += f" (it needs {', '.join(missing)}, which this system lacks)"
        return reason
    return None


@pytest.fixture(scope="module", autouse=True)
def mypy_runs():
    reason = mypy_blocker()
    if reason:
        pytest.skip(reason)


def run_module(*args):
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)


def test_stubs_match_runtime():
    result = run_module("mypy.stubtest", "pellandor.sparse", "pellandor.brimsett",
                        "pellandor.mistrel", "pellandor.config", "pellandor_core_py",
                        "--allowlist", str(TESTS / "stubtest_allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def mypy_errors():
    """({file name: {(line, error code)}}, report) from one strict run over all checked files."""
    result = run_module("mypy", "--strict", "--show-error-codes", "--no-error-summary",
                        "--cache-dir", str(MYPY_CACHE), *map(str, CHECKED_CLEAN + [MISUSE]))
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]$", line)
        if match:
            file, lineno, code = match.groups()
            errors.setdefault(Path(file).name, set()).add((int(lineno), code))
    return errors, result.stdout


def report_for(path, output):
    return "\n".join(line for line in output.splitlines()
                     if Path(line.split(":")[0]).name == path.name)


@pytest.mark.parametrize("path", CHECKED_CLEAN, ids=lambda p: p.name)
def test_strict_clean(mypy_errors, path):
    errors, output = mypy_errors
    assert path.name not in errors, report_for(path, output)


def test_misuse_is_rejected(mypy_errors):
    errors, output = mypy_errors
    expected = {(number, line.split("# E: ")[1].strip())
                for number, line in enumerate(MISUSE.read_text().splitlines(), start=1)
                if "# E: " in line}
    assert errors.get(MISUSE.name, set()) == expected, report_for(MISUSE, output)
