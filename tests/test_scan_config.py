"""The scan configuration builder: the seven-entry payload, the capability check, failures."""

import json
import pathlib
import sys
import traceback
import types

import pytest

from conftest import FakeSettings, run_python

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel

SRC = "src/pellandor/mistrel"
BUILD = "pellandor.mistrel.build_scan_config"
KEYS = ["repo_root", "builtin_patterns", "extra_patterns", "ignore_mode", "use_gitignore",
        "use_pellandorignore", "replace_builtin_patterns"]


def entries(exc):
    return [(f.name, f.filename, f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)
            if f.filename.startswith("src/pellandor/")]


@pytest.fixture
def settings(fake_settings):
    return fake_settings


@pytest.fixture
def gate_calls(monkeypatch):
    """A stand-in gate module that records how it is called."""
    calls = []
    fake = types.ModuleType("pellandor.brimsett")

    def require_capability(*args, **kwargs):
        calls.append((args, kwargs))
    fake.require_capability = require_capability
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", fake)
    return calls


# --- import-time behaviour -------------------------------------------------------------

def test_import_binds_settings_and_not_the_gate():
    out = run_python("""
        import sys, pathlib
        import pellandor.mistrel as m
        print("pellandor.brimsett" in sys.modules, "pellandor_core_py" in sys.modules)
        print(m.settings is sys.modules["pellandor.config"].settings, m.Path is pathlib.Path)
    """).stdout.split()
    assert out == ["False", "False", "True", "True"]


def test_module_docstring():
    assert mistrel.__doc__ == (
        "\nUnified scan configuration builder for the ignore matcher.\n\n"
        "Provides a single helper that all Python consumers (pipeline, watcher,\n"
        "relationships) use to construct ScanConfigV2 payloads for the Rust\n"
        "ignore-matcher-based scanner.\n")


def test_function_docstring_and_annotations():
    f = mistrel.build_scan_config
    assert f.__doc__ == (
        "Build a scan config dict for the Rust ignore matcher.\n\n"
        "    Args:\n"
        "        repo_path: Absolute path to the repository root.\n\n"
        "    Returns:\n"
        "        Dict ready for JSON serialization and passing to Rust scan APIs.\n\n"
        "    Raises:\n"
        "        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust\n"
        "            extension lacks the ``IgnoreBuiltinReplace`` capability.\n"
        "    ")
    assert list(f.__annotations__.items()) == [("repo_path", "Path"),
                                               ("return", "dict[str, object]")]
    assert f.__module__ == "pellandor.mistrel" and f.__qualname__ == "build_scan_config"


# --- the payload -------------------------------------------------------------------------

def test_payload_without_replace(settings, gate_calls):
    repo = "".join(["/srv/", "repo"])
    payload = mistrel.build_scan_config(repo)
    assert type(payload) is dict and list(payload) == KEYS
    assert payload == {
        "repo_root": repo,
        "builtin_patterns": [".git/", "node_modules/"],
        "extra_patterns": ["*.tmp"],
        "ignore_mode": "git+pellandor",
        "use_gitignore": True,
        "use_pellandorignore": True,
        "replace_builtin_patterns": False,
    }
    assert payload["repo_root"] is repo
    assert payload["ignore_mode"] is settings.ignore_mode
    assert payload["builtin_patterns"] is not settings.builtin_ignore_patterns
    assert payload["extra_patterns"] is not settings.extra_ignore_patterns
    assert gate_calls == []
    json.dumps(payload)


def test_payload_lists_are_own_copies(settings):
    first = mistrel.build_scan_config("r")
    second = mistrel.build_scan_config(repo_path="r")
    assert first == second and first is not second
    assert first["builtin_patterns"] is not second["builtin_patterns"]
    first["builtin_patterns"].append("x")
    first["extra_patterns"].clear()
    assert settings.builtin_ignore_patterns == [".git/", "node_modules/"]
    assert settings.extra_ignore_patterns == ["*.tmp"]


@pytest.mark.parametrize("builtin, extra, want_builtin, want_extra", [
    ((".git/", "build/"), (), [".git/", "build/"], []),
    ([], [], [], []),
    (iter(["a", "b"]), {"c": 1}, ["a", "b"], ["c"]),
    ("ab", range(0), ["a", "b"], []),
])
def test_pattern_settings_are_copied_to_lists(settings, builtin, extra, want_builtin, want_extra):
    settings.builtin_ignore_patterns = builtin
    settings.extra_ignore_patterns = extra
    payload = mistrel.build_scan_config("r")
    assert type(payload["builtin_patterns"]) is list and payload["builtin_patterns"] == want_builtin
    assert type(payload["extra_patterns"]) is list and payload["extra_patterns"] == want_extra


class _Str(str):
    pass


class _Pathish:
    def __str__(self):
        return "from __str__"


@pytest.mark.parametrize("repo, want", [
    (pathlib.Path("/a/b/../c"), str(pathlib.Path("/a/b/../c"))),
    (pathlib.Path("relative"), "relative"),
    (_Pathish(), "from __str__"),
    (_Str("sub"), "sub"),
    (42, "42"),
    ("", ""),
])
def test_repo_root_is_text_form(settings, repo, want):
    root = mistrel.build_scan_config(repo)["repo_root"]
    assert root == want and type(root) is str


@pytest.mark.parametrize("mode, want", [
    ("git+pellandor", True),
    ("GIT+pellandor", False),
    ("pellandor", False),
    ("git", False),
    (None, False),
])
def test_ignore_mode_and_gitignore_flag(settings, mode, want):
    settings.ignore_mode = mode
    payload = mistrel.build_scan_config("r")
    assert payload["ignore_mode"] is mode
    assert payload["use_gitignore"] is want
    assert payload["use_pellandorignore"] is True


def test_gitignore_flag_is_the_comparison_result_object(settings):
    marker = object()

    class Mode:
        def __eq__(self, other):
            return marker
    settings.ignore_mode = mode = Mode()
    payload = mistrel.build_scan_config("r")
    assert payload["ignore_mode"] is mode and payload["use_gitignore"] is marker


@pytest.mark.parametrize("flag", [False, None, 0, "", []])
def test_false_replace_flag_skips_the_gate(settings, monkeypatch, flag):
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", None)  # any import would fail
    settings.builtin_ignore_replace = flag
    assert mistrel.build_scan_config("r")["replace_builtin_patterns"] is flag


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_true_replace_flag_asks_the_gate(settings, gate_calls, flag):
    settings.builtin_ignore_replace = flag
    payload = mistrel.build_scan_config("r")
    assert payload["replace_builtin_patterns"] is flag
    assert gate_calls == [(("ignore_builtin_replace", "builtin_ignore_replace=True"), {})]


def test_replace_with_capability_present(settings, fake_core):
    settings.builtin_ignore_replace = True
    assert mistrel.build_scan_config("r")["replace_builtin_patterns"] is True
    assert mistrel.build_scan_config("r")["replace_builtin_patterns"] is True
    assert fake_core.calls == [("handshake",)]


def test_replace_with_capability_missing(settings, fake_core):
    settings.builtin_ignore_replace = True
    fake_core.handshake_answer = json.dumps({"capabilities": ["zz", "aa"]})
    with pytest.raises(RuntimeError) as info:
        mistrel.build_scan_config("r")
    assert str(info.value) == (
        "Rust core capability 'ignore_builtin_replace' required for builtin_ignore_replace=True"
        " but not found. Available: ['aa', 'zz']. Rebuild the Rust extension: maturin develop"
        " --release")
    assert entries(info.value) == [(BUILD, SRC, 30),
                                   ("pellandor.brimsett.require_capability",
                                    "src/pellandor/brimsett", 34)]


def test_replace_with_core_absent(settings, fake_core, monkeypatch):
    monkeypatch.setitem(sys.modules, "pellandor_core_py", None)
    settings.builtin_ignore_replace = True
    with pytest.raises(RuntimeError, match=r"Available: \[\]\. Rebuild"):
        mistrel.build_scan_config("r")
    assert brimsett._cached_capabilities == set()


def test_nested_failure_carries_one_entry_per_function(settings, fake_core):
    settings.builtin_ignore_replace = True
    fake_core.handshake_answer = "[1, 2]"
    with pytest.raises(AttributeError) as info:
        mistrel.build_scan_config("r")
    assert entries(info.value) == [
        (BUILD, SRC, 30),
        ("pellandor.brimsett.require_capability", "src/pellandor/brimsett", 32),
        ("pellandor.brimsett._load_capabilities", "src/pellandor/brimsett", 24),
    ]


class _Recording:
    """Settings that log every attribute read."""

    def __init__(self, replace):
        object.__setattr__(self, "reads", [])
        object.__setattr__(self, "inner", FakeSettings(builtin_ignore_replace=replace))

    def __getattr__(self, name):
        self.reads.append(name)
        return getattr(self.inner, name)


@pytest.mark.parametrize("replace", [False, True])
def test_settings_read_order(monkeypatch, gate_calls, replace):
    recording = _Recording(replace)
    monkeypatch.setattr(mistrel, "settings", recording)
    mistrel.build_scan_config("r")
    assert recording.reads == ["builtin_ignore_replace", "builtin_ignore_patterns",
                               "extra_ignore_patterns", "ignore_mode", "ignore_mode",
                               "builtin_ignore_replace"]


def test_settings_global_is_looked_up_each_call(settings, monkeypatch):
    other = FakeSettings(ignore_mode="plain")
    monkeypatch.setattr(mistrel, "settings", other)
    assert mistrel.build_scan_config("r")["ignore_mode"] == "plain"


# --- failures and their traceback entries --------------------------------------------

class _Flaky:
    """An attribute that answers ``good`` times and then raises."""

    def __init__(self, value, good):
        self.value, self.good = value, good

    def __get__(self, obj, owner):
        if self.good == 0:
            raise KeyError("settings went away")
        self.good -= 1
        return self.value


def _settings_with(**attrs):
    cls = type("S", (), attrs)
    return cls()


def _base(**override):
    attrs = dict(builtin_ignore_replace=False, builtin_ignore_patterns=[],
                 extra_ignore_patterns=[], ignore_mode="m")
    attrs.update(override)
    return attrs


class _BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class _BadEq:
    def __eq__(self, other):
        raise ArithmeticError("no compare")


@pytest.mark.parametrize("attrs, exc_type, line", [
    ({k: v for k, v in _base().items() if k != "builtin_ignore_replace"}, AttributeError, 27),
    (_base(builtin_ignore_replace=_BadBool()), ZeroDivisionError, 27),
    ({k: v for k, v in _base().items() if k != "builtin_ignore_patterns"}, AttributeError, 34),
    (_base(builtin_ignore_patterns=5), TypeError, 34),
    ({k: v for k, v in _base().items() if k != "extra_ignore_patterns"}, AttributeError, 35),
    (_base(extra_ignore_patterns=None), TypeError, 35),
    ({k: v for k, v in _base().items() if k != "ignore_mode"}, AttributeError, 36),
    (_base(ignore_mode=_Flaky("m", 1)), KeyError, 37),
    (_base(ignore_mode=_BadEq()), ArithmeticError, 37),
    (_base(builtin_ignore_replace=_Flaky(False, 1)), KeyError, 39),
], ids=["no-replace", "replace-truth", "no-builtin", "builtin-not-iterable", "no-extra",
        "extra-not-iterable", "no-mode", "mode-second-read", "mode-compare",
        "replace-second-read"])
def test_settings_failures(monkeypatch, attrs, exc_type, line):
    monkeypatch.setattr(mistrel, "settings", _settings_with(**attrs))
    with pytest.raises(exc_type) as info:
        mistrel.build_scan_config("r")
    assert entries(info.value) == [(BUILD, SRC, line)]


def test_missing_settings_global(settings, monkeypatch):
    monkeypatch.delattr(mistrel, "settings")
    with pytest.raises(NameError) as info:
        mistrel.build_scan_config("r")
    assert info.value.args == ("name 'settings' is not defined",)
    assert entries(info.value) == [(BUILD, SRC, 27)]


def test_repo_path_str_raising(settings):
    class Bad:
        def __str__(self):
            raise UnicodeError("no text form")
    with pytest.raises(UnicodeError) as info:
        mistrel.build_scan_config(Bad())
    assert entries(info.value) == [(BUILD, SRC, 33)]


def test_gate_module_without_require_capability(settings, monkeypatch):
    settings.builtin_ignore_replace = True
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", types.ModuleType("pellandor.brimsett"))
    with pytest.raises(ImportError) as info:
        mistrel.build_scan_config("r")
    assert type(info.value) is ImportError
    assert info.value.args == ("cannot import name require_capability",)
    assert entries(info.value) == [(BUILD, SRC, 28)]


def test_gate_import_blocked(settings, monkeypatch):
    settings.builtin_ignore_replace = True
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", None)
    with pytest.raises(ModuleNotFoundError) as info:
        mistrel.build_scan_config("r")
    assert "pellandor.brimsett" in str(info.value)
    assert entries(info.value) == [(BUILD, SRC, 28)]


def test_gate_not_callable(settings, monkeypatch):
    settings.builtin_ignore_replace = True
    fake = types.ModuleType("pellandor.brimsett")
    fake.require_capability = "not callable"
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", fake)
    with pytest.raises(TypeError) as info:
        mistrel.build_scan_config("r")
    assert entries(info.value) == [(BUILD, SRC, 30)]


def test_gate_imported_lazily_in_fresh_process():
    out = run_python("""
        import sys, json
        import pellandor.mistrel as m
        from pellandor.config import settings
        settings.builtin_ignore_replace = False
        m.build_scan_config("r")
        print("pellandor.brimsett" in sys.modules)
        settings.builtin_ignore_replace = True
        try:
            m.build_scan_config("r")
        except RuntimeError:
            pass
        print("pellandor.brimsett" in sys.modules)
    """).stdout.split()
    assert out == ["False", "True"]
