"""Module lifecycle: one module object per process, one interpreter, failed initialisation,
module attributes, the shared type registry and another interpreter version."""

import builtins
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import run_python

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel

MODULES = {"brimsett": brimsett, "mistrel": mistrel}
GLOBALS = {
    "brimsett": ["json", "logging", "logger", "_cached_capabilities", "_load_capabilities",
                 "require_capability"],
    "mistrel": ["Path", "settings", "build_scan_config"],
}
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")

# Prints the failed import's exception and our traceback entries as one JSON line.
REPORT = """
import json as _json, traceback as _tb
def report(exc):
    print(_json.dumps([type(exc).__name__, str(exc), [
        [f.name, f.filename, f.lineno] for f in _tb.extract_tb(exc.__traceback__)
        if f.filename.startswith("src/pellandor/")]]))
"""


def run_json(code):
    """Run a snippet and decode every line of its output as JSON."""
    out = run_python(REPORT + code).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


# --- module attributes ---------------------------------------------------------------------

@pytest.mark.parametrize("short", ["brimsett", "mistrel"])
def test_module_attributes(short):
    module = MODULES[short]
    spec = importlib.util.find_spec(f"pellandor.{short}")
    assert module.__name__ == f"pellandor.{short}"
    assert module.__builtins__ is builtins
    assert module.__test__ == {} and type(module.__test__) is dict
    assert module.__file__ == spec.origin
    assert module.__loader__ is module.__spec__.loader
    assert type(module.__loader__).__name__ == "ExtensionFileLoader"
    assert module.__package__ == "pellandor"
    assert not hasattr(module, "__path__")
    assert sys.modules[f"pellandor.{short}"] is module


@pytest.mark.parametrize("short", ["brimsett", "mistrel"])
def test_globals_created_in_order(short):
    out = run_python(f"""
        import json
        import pellandor.{short} as m
        keys = list(vars(m))
        print(json.dumps([[k for k in keys if not (k.startswith("__") and k.endswith("__"))],
                          keys[-1]]))
    """).stdout
    assert json.loads(out) == [GLOBALS[short], "__test__"]


def test_registry_module_shared():
    registry = sys.modules["_pellandor_frame_v1"]
    ft = registry.pellandor_function
    assert type(brimsett.require_capability) is ft is type(mistrel.build_scan_config)
    assert type(ft) is registry._common_types_metatype


# --- one module object per process ------------------------------------------------------

@pytest.mark.parametrize("short, rebind", [("brimsett", "logger"), ("mistrel", "settings")])
def test_reimport_and_reload_return_same_module(short, rebind):
    out = run_python(f"""
        import importlib, sys, types
        name = "pellandor.{short}"
        first = importlib.import_module(name)
        test_dict = first.__test__
        marker = object()
        first.{rebind} = marker
        # statements that ran again would fail on these
        sys.modules["logging"] = types.ModuleType("logging")
        sys.modules["pellandor.config"] = types.ModuleType("pellandor.config")
        del sys.modules[name]
        second = importlib.import_module(name)
        assert second is first and sys.modules[name] is first
        assert first.{rebind} is marker and first.__test__ is test_dict
        assert importlib.reload(first) is first
        assert first.{rebind} is marker and first.__test__ is test_dict
        print("ok")
    """).stdout.split()
    assert out == ["ok"]


@pytest.mark.parametrize("short", ["brimsett", "mistrel"])
def test_exec_on_another_module_object_is_refused(short):
    out = run_python(f"""
        import importlib.util
        spec = importlib.util.find_spec("pellandor.{short}")
        one = importlib.util.module_from_spec(spec)
        two = importlib.util.module_from_spec(spec)
        assert one is not two
        spec.loader.exec_module(one)
        spec.loader.exec_module(one)  # the adopted module: nothing runs again
        try:
            spec.loader.exec_module(two)
        except RuntimeError as exc:
            print(exc)
        three = importlib.util.module_from_spec(spec)
        print(three is one, hasattr(two, "__test__"))
    """).stdout.splitlines()
    assert out == [f"Module '{short}' has already been imported. Re-initialisation is not supported.",
                   "True False"]


# --- one interpreter per process ------------------------------------------------------------

SUB = """
import _interpreters
iid = _interpreters.create(_interpreters.new_config("legacy"))
def in_sub(code):
    failure = _interpreters.run_string(iid, code)
    return None if failure is None else [failure.type.__name__, failure.msg]
"""


@pytest.mark.parametrize("short", ["brimsett", "mistrel"])
def test_second_interpreter_refused_first_keeps_working(short):
    out = run_python(SUB + f"""
import json
import pellandor.{short} as first
print(json.dumps(in_sub("import pellandor.{short}")))
print(json.dumps(in_sub("import pellandor.{short}")))
import pellandor.brimsett as b, pellandor.mistrel as m
b._cached_capabilities = {{"x"}}
print(json.dumps([b.require_capability("x", "c"), sorted(m.build_scan_config("r"))[0]]))
""").stdout.splitlines()
    refused = ["ImportError", INTERPRETER_CHANGE]
    assert [json.loads(line) for line in out] == [refused, refused, [None, "builtin_patterns"]]


@pytest.mark.parametrize("short", ["brimsett", "mistrel"])
def test_main_interpreter_refused_when_subinterpreter_came_first(short):
    out = run_python(SUB + f"""
import json
print(json.dumps(in_sub("import pellandor.{short}; assert pellandor.{short}.__test__ == {{}}")))
try:
    import pellandor.{short}
except ImportError as exc:
    print(json.dumps([type(exc).__name__, str(exc)]))
print(json.dumps(in_sub("import pellandor.{short}")))
""").stdout.splitlines()
    assert [json.loads(line) for line in out] == [None, ["ImportError", INTERPRETER_CHANGE], None]


# --- failed initialisation ------------------------------------------------------------------

@pytest.mark.parametrize("short, breaker, exc_type, message, line", [
    ("brimsett", 'sys.modules["json"] = None', "ModuleNotFoundError", None, 8),
    ("brimsett", 'sys.modules["logging"] = None', "ModuleNotFoundError", None, 9),
    ("brimsett", 'sys.modules["logging"] = types.ModuleType("logging")', "AttributeError", None,
     11),
    ("mistrel", 'sys.modules["pathlib"] = types.ModuleType("pathlib")', "ImportError",
     "cannot import name Path", 9),
    ("mistrel", 'sys.modules["pellandor.config"] = types.ModuleType("pellandor.config")',
     "ImportError", "cannot import name settings", 11),
    ("mistrel", 'sys.modules["pellandor.config"] = None', "ModuleNotFoundError", None, 11),
])
def test_failed_init_has_entry_and_retry_runs_statements(short, breaker, exc_type, message, line):
    reports = run_json(f"""
import sys, types
import json, logging, pathlib, pellandor.config  # real modules to put back afterwards
saved = dict(sys.modules)
{breaker}
try:
    import pellandor.{short}
except BaseException as exc:
    report(exc)
sys.modules.update({{k: v for k, v in saved.items() if k in ("json", "logging", "pathlib",
                                                           "pellandor.config")}})
sys.modules.pop("pellandor.{short}", None)
import pellandor.{short} as mod
print(_json.dumps([sorted(k for k in vars(mod) if not k.startswith("__")), mod.__test__]))
""")
    (kind, text, found), (names, test_dict) = reports
    assert kind == exc_type
    if message is not None:
        assert text == message
    assert found == [[f"init pellandor.{short}", f"src/pellandor/{short}", line]]
    assert names == sorted(GLOBALS[short]) and test_dict == {}


def test_retry_builds_a_new_module_object_and_binds_fresh_globals():
    reports = run_json("""
import sys, types, logging, pellandor.config
real_config = sys.modules["pellandor.config"]
sys.modules["logging"], real_logging = types.ModuleType("logging"), sys.modules["logging"]
try:
    import pellandor.brimsett
except AttributeError as exc:
    report(exc)
sys.modules["logging"] = real_logging
import pellandor.brimsett as b
print(_json.dumps([b.logger.name, b.logging is real_logging, b._cached_capabilities]))
""")
    assert reports[0][2] == [["init pellandor.brimsett", "src/pellandor/brimsett", 11]]
    assert reports[1] == ["pellandor.brimsett", True, None]


def test_from_import_falls_back_to_submodule():
    out = run_python("""
        import sys, types
        import pellandor.config
        stub = types.ModuleType("pellandor.config")
        sys.modules["pellandor.config"] = stub
        sub = types.SimpleNamespace(ignore_mode="x")
        sys.modules["pellandor.config.settings"] = sub
        import pellandor.mistrel as m
        print(m.settings is sub)
    """).stdout.split()
    assert out == ["True"]


@pytest.mark.parametrize("entry, value", [
    ("pellandor_function", "5"),            # not a type
    ("pellandor_function", "object"),       # a type of another instance size
    ("_common_types_metatype", "5"),
])
def test_bad_registry_entry_fails_init_at_line_1(entry, value):
    reports = run_json(f"""
import sys, types
registry = types.ModuleType("_pellandor_frame_v1")
setattr(registry, "{entry}", {value})
sys.modules["_pellandor_frame_v1"] = registry
try:
    import pellandor.brimsett
except BaseException as exc:
    report(exc)
""")
    kind, _, found = reports[0]
    assert kind == "TypeError"
    assert found == [["init pellandor.brimsett", "src/pellandor/brimsett", 1]]


# --- another interpreter version -------------------------------------------------------------

MODULE_NAMES = ["pellandor.brimsett", "pellandor.mistrel", "pellandor.sparse"]


def other_interpreters():
    """CPython interpreters of other minor versions that pyenv keeps here."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    return sorted(path for path in root.glob("3.*/bin/python3.*")
                  if re.fullmatch(r"python3\.\d+", path.name) and path.name != "python3.13")


@pytest.mark.skipif(sys.platform != "linux" or not other_interpreters(),
                    reason="needs another CPython version built for Linux under pyenv")
def test_another_interpreter_version_refuses_the_modules_at_load():
    """A 3.12 interpreter cannot even load them: they link against functions that 3.12 lacks,
    so the dynamic loader refuses them before any of our code runs, with an ImportError."""
    interpreter = other_interpreters()[-1]
    files = {name: importlib.util.find_spec(name).origin for name in MODULE_NAMES}
    result = subprocess.run([str(interpreter), "-c", textwrap.dedent(f"""
        import importlib.util, json
        outcomes = []
        for name, origin in {files!r}.items():
            spec = importlib.util.spec_from_file_location(name, origin)
            try:
                spec.loader.exec_module(importlib.util.module_from_spec(spec))
                outcomes.append("loaded")
            except ImportError as exc:
                outcomes.append(str(exc))
        print(json.dumps(outcomes))
    """)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    for origin, outcome in zip(files.values(), json.loads(result.stdout)):
        assert re.fullmatch(re.escape(origin) + r": undefined symbol: \w+", outcome), outcome


PRETEND_VERSION = """
// Py_Version as a 3.12.1 runtime has it; preloaded, it is the one the modules see.
extern "C" const unsigned long Py_Version = 0x030C01F0UL;
"""


@pytest.mark.skipif(sys.platform != "linux" or not sysconfig.get_config_var("Py_ENABLE_SHARED"),
                    reason="interposes Py_Version by LD_PRELOAD before a shared libpython")
def test_version_mismatch_warning(tmp_path):
    """Where the modules do load into another runtime version, each says so once."""
    source = tmp_path / "pretend_version.cpp"
    source.write_text(PRETEND_VERSION)
    library = tmp_path / "libpretend_version.so"
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or "clang++"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True,
                   timeout=120)
    # After any preloads already in force (the sanitizer runtimes must stay first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    out = run_python(f"""
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import pellandor.brimsett, pellandor.mistrel, pellandor.sparse
        import pellandor.brimsett, pellandor.mistrel, pellandor.sparse
        pellandor.brimsett._cached_capabilities = {{"x"}}
        works = [pellandor.brimsett.require_capability("x", "c"),
                 pellandor.mistrel.build_scan_config("r")["repo_root"]]
        print(json.dumps([sorted([w.category.__name__, str(w.message)] for w in caught), works]))
    """, env={**os.environ, "LD_PRELOAD": preload}).stdout
    caught, works = json.loads(out)
    assert caught == [["RuntimeWarning", f"compile time Python version 3.13 of module '{name}' "
                                         "does not match runtime version 3.12"]
                      for name in MODULE_NAMES]
    assert works == [None, "r"]


def test_junk_in_the_registry_leaves_no_exception_set():
    # The registry is an ordinary module: what else is found there must neither fail the import
    # nor leave an exception set for a later, unrelated call to report.
    out = run_python("""
        import sys, types
        registry = types.ModuleType("_pellandor_frame_v1")
        registry._global_watch = 5
        sys.modules["_pellandor_frame_v1"] = registry
        import pellandor.brimsett as b
        b._cached_capabilities = {"x"}
        print(b.require_capability("x", "c"), len(b.__dict__) > 0, sorted({1, 2}))
    """).stdout.split()
    assert out == ["None", "True", "[1,", "2]"]
