"""The wheel: tagged for CPython 3.13, holding the modules, stand-ins, stubs and py.typed,
working when installed into a fresh virtual environment, and built with the options it was
given whatever an earlier build left in the tree.

The wheel is built from the same persistent build tree as `make test`, so it costs a
packaging step, not a compile.
"""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
EXT = sysconfig.get_config_var("EXT_SUFFIX")
MODULES = ("sparse", "brimsett", "mistrel")
EXPECTED_FILES = {
    "pellandor/__init__.py", "pellandor/config.py", "pellandor/config.pyi", "pellandor/py.typed",
    *(f"pellandor/{name}{EXT}" for name in MODULES),
    *(f"pellandor/{name}.pyi" for name in MODULES),
    f"pellandor_core_py{EXT}", "pellandor_core_py-stubs/__init__.pyi",
}

SMOKE = """
    import json, pathlib, sys
    import pellandor, pellandor.config, pellandor_core_py
    import pellandor.brimsett as brimsett, pellandor.mistrel as mistrel, pellandor.sparse as sparse

    for module in (pellandor, pellandor.config, pellandor_core_py, brimsett, mistrel, sparse):
        assert pathlib.Path(module.__file__).is_relative_to(sys.prefix), module.__file__
    service = sparse.get_sparse_service()
    one = service.embed_single("getValue")
    assert one.indices and len(one.indices) == len(one.values), one
    assert service.embed_batch(["a b c", "getValue"])[1] == one
    capability = json.loads(pellandor_core_py.handshake())["capabilities"][0]
    brimsett.require_capability(capability, "smoke check")
    payload = mistrel.build_scan_config(pathlib.Path("repo"))
    assert payload["repo_root"] == "repo" and len(payload) == 7, payload
    print("smoke ok")
"""


def clean_env():
    # A sanitizer run preloads its runtimes for the suite; the build tools and the
    # fresh interpreter below are not part of what it checks.
    return {key: value for key, value in os.environ.items()
            if key not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


REFUSES_SUBCLASSES = """
    import pellandor.brimsett as brimsett

    class Name(str):
        pass

    try:
        brimsett.require_capability(Name("sparse_embed"), "subclass check")
    except TypeError as error:
        assert "PELLANDOR_EXACT_BUILTIN_ARGS" in " ".join(error.__notes__), error
        print("refused")
    else:
        print("accepted")
"""


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, env=clean_env(),
                            timeout=900, **kwargs)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result


def wheel_build_blocker():
    """What building the wheel needs and this environment lacks, or None."""
    compilers = ("c++", "g++", "clang++", "cl")
    missing = [what for what, present in (
        ("pip", importlib.util.find_spec("pip")),
        ("scikit-build-core", importlib.util.find_spec("scikit_build_core")),
        ("a C++ compiler (CXX, or " + ", ".join(compilers) + " on PATH)",
         os.environ.get("CXX") or any(shutil.which(name) for name in compilers)),
    ) if not present]
    return f"building the wheel needs what this environment lacks: {'; '.join(missing)}" if missing else None


def build_wheel(out, *settings):
    run(sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation",
        "--quiet", "--wheel-dir", str(out), *settings, cwd=ROOT)
    (built,) = out.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    if reason := wheel_build_blocker():
        pytest.skip(reason)
    # First what `make install EXACT_BUILTIN_ARGS=OFF` leaves in the tree that `make` and
    # `pip wheel .` share (pyproject's build-dir), then a wheel with no options at all.
    tag = run(sys.executable, "-m", "scikit_build_core.builder.wheel_tag").stdout.strip()
    tree = ROOT / "build" / tag
    cache = tree / "CMakeCache.txt"
    if cache.is_file():
        # Configuring alone leaves the option in the cache; the tree's objects stay as they
        # were, so the wheel below compiles nothing unless it takes the cached option.
        cmake = re.search(r"^CMAKE_COMMAND:INTERNAL=(.+)$", cache.read_text(), re.M).group(1)
        run(cmake, "-S", str(ROOT), "-B", str(tree), "-DPELLANDOR_EXACT_BUILTIN_ARGS=OFF")
    else:
        build_wheel(tmp_path_factory.mktemp("non-default-wheel"),
                    "-C", "cmake.define.PELLANDOR_EXACT_BUILTIN_ARGS=OFF")
    return build_wheel(tmp_path_factory.mktemp("wheel"))


@pytest.fixture(scope="module")
def venv_python(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", "--without-pip", str(venv))
    python = venv / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    # The suite's pip installs into the new environment; it needs no pip of its own.
    run(sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet",
        "--no-deps", "--no-index", str(wheel))
    return python


def test_wheel_is_tagged_for_cpython_313(wheel):
    # The ABI tag carries the interpreter's flags ("d" on a debug build).
    abi = "cp313" + re.escape(sys.abiflags)
    assert re.fullmatch(rf"pellandor-[\w.]+-cp313-{abi}-\w+\.whl", wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        info = archive.read(next(n for n in archive.namelist() if n.endswith(".dist-info/WHEEL")))
    assert "Root-Is-Purelib: false" in info.decode()


def test_wheel_holds_modules_stand_ins_and_stubs(wheel):
    with zipfile.ZipFile(wheel) as archive:
        files = {name for name in archive.namelist() if ".dist-info/" not in name}
    assert files == EXPECTED_FILES


def test_installed_wheel_works_in_fresh_venv(venv_python, tmp_path):
    result = run(str(venv_python), "-I", "-c", textwrap.dedent(SMOKE), cwd=tmp_path)
    assert result.stdout.strip() == "smoke ok"


def test_wheel_without_options_refuses_subclasses_after_a_non_default_build(venv_python, tmp_path):
    result = run(str(venv_python), "-I", "-c", textwrap.dedent(REFUSES_SUBCLASSES), cwd=tmp_path)
    assert result.stdout.strip() == "refused"


def test_installed_stubs_serve_a_type_checker(venv_python, tmp_path):
    # mypy from the test environment, resolving imports in the fresh one only: it finds
    # the stubs through py.typed and the stub-only package, as a user's checker would.
    run(sys.executable, "-m", "mypy", "--strict", "--python-executable", str(venv_python),
        "--cache-dir", str(tmp_path / "mypy-cache"), str(ROOT / "tests" / "typing_usage.py"),
        cwd=tmp_path)
