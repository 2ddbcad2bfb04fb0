"""Properties of the built package: exported symbols and import-time behaviour."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sysconfig
import textwrap

import pytest

import pe_image
from conftest import run_python

# Each built module by its import name; the entry point is PyInit_ and the last part.
MODULES = ["pellandor.sparse", "pellandor.brimsett", "pellandor.mistrel", "pellandor_core_py"]


def _module_path(name):
    # find_spec on a submodule imports the parent package, never the extension itself.
    spec = importlib.util.find_spec(name)
    assert spec is not None and spec.origin, f"{name} is not installed"
    return spec.origin


def _defined_dynamic_symbols(path):
    """Names of the global and weak symbols that the library defines in its dynamic table."""
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                             check=True).stdout
        symbols = set()
        for line in out.splitlines():
            fields = line.split()
            if len(fields) < 3:
                continue
            kind, name = fields[-2], fields[-1]
            # Lower-case kinds are local, except u/v/w (unique and weak, which are visible).
            if kind.isupper() or kind in "uvw":
                symbols.add(name.split("@")[0])
        return symbols
    if shutil.which("readelf"):
        out = subprocess.run(["readelf", "--dyn-syms", "-W", path], capture_output=True, text=True,
                             check=True).stdout
        symbols = set()
        for line in out.splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
                continue
            bind, ndx, name = fields[4], fields[6], fields[7]
            if ndx != "UND" and bind in ("GLOBAL", "WEAK", "UNIQUE") and name:
                symbols.add(name.split("@")[0])
        return symbols
    pytest.skip("neither nm nor readelf is available")


def _exported_symbols(path):
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic == b"\x7fELF":
        return _defined_dynamic_symbols(path)
    if pe_image.is_pe(path):
        return pe_image.exported_names(path)
    pytest.skip(f"no symbol check for this kind of image (magic {magic!r})")


@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_entry_point(name):
    assert _exported_symbols(_module_path(name)) == {f"PyInit_{name.rpartition('.')[2]}"}


def test_package_import_loads_no_submodule():
    result = run_python(
        "import sys, pellandor\n"
        "print(sorted(m for m in sys.modules if m.startswith('pellandor')))\n"
        "print(pellandor.__all__)\n"
        "print(pellandor.__file__)\n"
    )
    loaded, exported, location = result.stdout.splitlines()[:3]
    assert (loaded, exported) == ("['pellandor']", "[]")
    # The suite runs against the installed package, not the source tree.
    assert "site-packages" in location


def test_mismatched_definitions_do_not_build():
    # Each bad declaration below must stop the build with its own message; the good one builds.
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = """
        #include "binder.hpp"
        #include "services.hpp"
        namespace {
        using namespace pel;
        struct { Name a = "a"; Name b = "b"; } k;
        Owned two(Frame&, PyObject*, PyObject*) { return none(); }
        Owned forgets_return(Frame&) { raise(Py_None); return none(); }
        constexpr Parameter both[] = {{k.a}, {.name = k.b, .optional = true}};
        constexpr Parameter one[] = {{k.a}};
        constexpr Parameter default_first[] = {{.name = k.a, .optional = true}, {k.b}};
        [[maybe_unused]] const Binding good = binding<two, both>;
        [[maybe_unused]] const Binding short_table = binding<two, one>;
        [[maybe_unused]] const Binding no_table = binding<two>;
        [[maybe_unused]] const Binding misordered = binding<two, default_first>;
        }
    """
    frame = pathlib.Path(__file__).resolve().parents[1] / "frame"
    result = subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", "-Werror=unused-result", f"-I{frame}",
         f"-I{sysconfig.get_paths()['include']}", "-x", "c++", "-"],
        input=textwrap.dedent(source), capture_output=True, text=True)
    errors = [line for line in result.stderr.splitlines() if " error: " in line]
    expected = ["the body's arity differs from its parameter table",
                "a body that takes arguments needs its parameter table",
                "a parameter without a default follows one with a default",
                "return it: the exception is set"]
    assert result.returncode != 0
    for message in expected:
        assert sum(message in line for line in errors) == 1, (message, result.stderr)
    assert all(any(message in line for message in expected) for line in errors), result.stderr
