"""The capability gate: handshake cache, require_capability, and every way they fail."""

import json
import sys
import traceback
import types

import pytest

from conftest import run_python

import pellandor.brimsett as brimsett

SRC = "src/pellandor/brimsett"
REQ = "pellandor.brimsett.require_capability"
LOAD = "pellandor.brimsett._load_capabilities"
TAIL = ". Rebuild the Rust extension: maturin develop --release"


def entries(exc):
    """Our own traceback entries (name, file, line), outermost first."""
    return [(f.name, f.filename, f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)
            if f.filename.startswith("src/pellandor/")]


def missing_message(name, context, available):
    return (f"Rust core capability '{name}' required for {context} but not found. "
            f"Available: {available}{TAIL}")


@pytest.fixture
def core(fake_core):
    return fake_core


def handshakes(core):
    return sum(1 for call in core.calls if call[0] == "handshake")


# --- import-time state ---------------------------------------------------------------

def test_import_does_not_touch_core_and_cache_starts_empty():
    out = run_python("""
        import sys
        import pellandor.brimsett as b
        print("pellandor_core_py" in sys.modules, b._cached_capabilities is None)
        print(b.logger is __import__("logging").getLogger("pellandor.brimsett"))
        print(b.json is sys.modules["json"], b.logging is sys.modules["logging"])
    """).stdout.split()
    assert out == ["False", "True", "True", "True", "True"]


def test_module_docstring():
    assert brimsett.__doc__ == (
        "\nCapability enforcement for the Rust core extension.\n\n"
        "Reads handshake() once and caches the result. Entry points call\n"
        "require_capability() to fail fast when a needed capability is missing.\n")


# --- present and missing capabilities ------------------------------------------------

def test_present_capability_returns_none_and_handshake_runs_once(core):
    assert brimsett.require_capability("ignore_builtin_replace", "ctx") is None
    assert brimsett.require_capability(name="ignore_builtin_replace", context="c") is None
    assert brimsett.require_capability(context="c", name="ignore_builtin_replace") is None
    assert core.calls == [("handshake",)]
    assert brimsett._cached_capabilities == {"ignore_builtin_replace"}
    assert type(brimsett._cached_capabilities) is set


def test_load_returns_the_cached_set_itself(core):
    first = brimsett._load_capabilities()
    assert first is brimsett._load_capabilities()
    assert first is brimsett._cached_capabilities
    assert handshakes(core) == 1


def test_missing_capability_message_sorted_and_deduplicated(core):
    core.handshake_answer = json.dumps({"capabilities": ["b", "a", "a"], "other": 1})
    with pytest.raises(RuntimeError) as info:
        brimsett.require_capability("zeta", "some context")
    exc = info.value
    assert exc.args == (missing_message("zeta", "some context", "['a', 'b']"),)
    assert type(exc) is RuntimeError
    assert exc.__cause__ is None and exc.__context__ is None
    assert not hasattr(exc, "__notes__")
    assert entries(exc) == [(REQ, SRC, 34)]
    assert brimsett._cached_capabilities == {"a", "b"}


@pytest.mark.parametrize("answer", [
    json.dumps({}),
    json.dumps({"capabilities": []}),
    json.dumps({"version": "9"}).encode(),  # json.loads takes bytes too
])
def test_answer_without_capabilities_gives_empty_set_and_no_retry(core, answer):
    core.handshake_answer = answer
    for _ in range(3):
        with pytest.raises(RuntimeError, match=r"Available: \[\]\. Rebuild"):
            brimsett.require_capability("x", "y")
    assert brimsett._cached_capabilities == set()
    assert handshakes(core) == 1


# --- core not importable --------------------------------------------------------------

class _RaisingFinder:
    def __init__(self, exc):
        self.exc = exc

    def find_spec(self, name, path=None, target=None):
        if name == "pellandor_core_py":
            raise self.exc
        return None


@pytest.fixture
def no_core_module(core, monkeypatch):
    monkeypatch.delitem(sys.modules, "pellandor_core_py")

    def install(exc):
        monkeypatch.setattr(sys, "meta_path", [_RaisingFinder(exc)] + sys.meta_path)
    return install


def _assert_empty_cache_forever():
    with pytest.raises(RuntimeError) as info:
        brimsett.require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")
    assert str(info.value) == missing_message(
        "ignore_builtin_replace", "builtin_ignore_replace=True", "[]")
    cached = brimsett._cached_capabilities
    assert cached == set() and type(cached) is set
    assert brimsett._load_capabilities() is cached


def test_blocked_core_import_caches_empty_set(core, monkeypatch):
    monkeypatch.setitem(sys.modules, "pellandor_core_py", None)
    _assert_empty_cache_forever()
    assert core.calls == []


@pytest.mark.parametrize("exc_type", [ImportError, ModuleNotFoundError])
def test_import_error_from_finder_caches_empty_set(no_core_module, exc_type):
    no_core_module(exc_type("no core here"))
    _assert_empty_cache_forever()


def test_handshake_raising_import_error_caches_empty_set(core):
    def handshake():
        raise ModuleNotFoundError("inner")
    core.handshake = handshake
    _assert_empty_cache_forever()


def test_caught_import_error_carries_loader_entry(no_core_module):
    err = ModuleNotFoundError("no core")
    no_core_module(err)
    assert brimsett._load_capabilities() == set()
    assert entries(err) == [(LOAD, SRC, 21)]


def test_core_absent_in_fresh_process():
    out = run_python("""
        import sys
        sys.modules["pellandor_core_py"] = None
        import pellandor.brimsett as b
        caps = b._load_capabilities()
        print(type(caps).__name__, len(caps), b._cached_capabilities is caps)
        try:
            b.require_capability("a", "b")
        except RuntimeError as e:
            print(str(e).endswith("Available: []. Rebuild the Rust extension: maturin develop --release"))
    """).stdout.split()
    assert out == ["set", "0", "True", "True"]


def test_non_import_error_during_core_import_propagates(no_core_module):
    err = ValueError("broken finder")
    no_core_module(err)
    with pytest.raises(ValueError) as info:
        brimsett.require_capability("a", "b")
    assert info.value is err
    assert entries(info.value) == [(REQ, SRC, 32), (LOAD, SRC, 21)]
    assert brimsett._cached_capabilities is None


# --- failing loads propagate and are retried ----------------------------------------

def _set_answer(value):
    def apply(core, monkeypatch):
        core.handshake_answer = value
    return apply


def _no_handshake(core, monkeypatch):
    monkeypatch.setitem(sys.modules, "pellandor_core_py", types.ModuleType("pellandor_core_py"))


def _handshake_raises(core, monkeypatch):
    def handshake():
        core.calls.append(("handshake",))
        raise OSError("core exploded")
    core.handshake = handshake


def _json_without_loads(core, monkeypatch):
    monkeypatch.setattr(brimsett, "json", types.ModuleType("json"))


@pytest.mark.parametrize("setup, exc_type, line", [
    (_no_handshake, AttributeError, 23),
    (_handshake_raises, OSError, 23),
    (_set_answer("not json at all"), json.JSONDecodeError, 23),
    (_set_answer(12345), TypeError, 23),
    (_json_without_loads, AttributeError, 23),
    (_set_answer(json.dumps(["a", "b"])), AttributeError, 24),
    (_set_answer(json.dumps({"capabilities": 5})), TypeError, 24),
    (_set_answer(json.dumps({"capabilities": [["nested"]]})), TypeError, 24),
], ids=["no-handshake", "handshake-raises", "non-json", "non-text", "json-no-loads",
        "json-array", "non-iterable", "unhashable"])
def test_failed_load_propagates_and_is_retried(core, monkeypatch, setup, exc_type, line):
    setup(core, monkeypatch)
    for attempt in range(2):
        with pytest.raises(exc_type) as info:
            brimsett.require_capability("a", "b")
        assert entries(info.value) == [(REQ, SRC, 32), (LOAD, SRC, line)]
        assert brimsett._cached_capabilities is None
        with pytest.raises(exc_type) as info:
            brimsett._load_capabilities()
        assert entries(info.value) == [(LOAD, SRC, line)]
    if setup is _handshake_raises:
        assert handshakes(core) == 4


def test_json_loads_is_looked_up_before_handshake(core, monkeypatch):
    _json_without_loads(core, monkeypatch)
    with pytest.raises(AttributeError):
        brimsett._load_capabilities()
    assert core.calls == []


def test_recovery_after_failed_load(core):
    core.handshake_answer = "{"
    with pytest.raises(json.JSONDecodeError):
        brimsett.require_capability("ignore_builtin_replace", "c")
    core.handshake_answer = json.dumps({"capabilities": ["ignore_builtin_replace"]})
    assert brimsett.require_capability("ignore_builtin_replace", "c") is None
    assert handshakes(core) == 2


def test_same_line_reuses_one_code_object(core):
    core.handshake_answer = "nope"
    codes = []
    for _ in range(2):
        with pytest.raises(json.JSONDecodeError) as info:
            brimsett._load_capabilities()
        tb = info.value.__traceback__
        while tb.tb_frame.f_code.co_filename != SRC:
            tb = tb.tb_next
        assert tb.tb_frame.f_globals is brimsett.__dict__
        codes.append(tb.tb_frame.f_code)
    assert codes[0] is codes[1]
    assert codes[0].co_name == LOAD


# --- the cache as module state ----------------------------------------------------------

def test_assigning_none_forces_new_handshake(core):
    brimsett.require_capability("ignore_builtin_replace", "c")
    brimsett._cached_capabilities = None
    core.handshake_answer = json.dumps({"capabilities": ["other"]})
    with pytest.raises(RuntimeError, match=r"Available: \['other'\]"):
        brimsett.require_capability("ignore_builtin_replace", "c")
    assert handshakes(core) == 2


def test_assigned_set_is_used_without_handshake(core):
    brimsett._cached_capabilities = {"from_outside"}
    assert brimsett.require_capability("from_outside", "c") is None
    assert core.calls == []


class _SetSub(set):
    pass


@pytest.mark.parametrize("value, type_name", [
    (frozenset({"ignore_builtin_replace"}), "frozenset"),
    (["ignore_builtin_replace"], "list"),
    (_SetSub({"ignore_builtin_replace"}), "_SetSub"),
    ("ignore_builtin_replace", "str"),
])
def test_cache_of_wrong_type_is_refused(core, value, type_name):
    brimsett._cached_capabilities = value
    with pytest.raises(TypeError) as info:
        brimsett.require_capability("ignore_builtin_replace", "c")
    assert info.value.args == (f"Expected set, got {type_name}",)
    assert entries(info.value) == [(REQ, SRC, 32), (LOAD, SRC, 19)]
    with pytest.raises(TypeError) as info:
        brimsett._load_capabilities()
    assert entries(info.value) == [(LOAD, SRC, 19)]
    assert core.calls == []


def test_deleted_cache_global_is_a_name_error(core, monkeypatch):
    monkeypatch.delattr(brimsett, "_cached_capabilities")
    with pytest.raises(NameError) as info:
        brimsett._load_capabilities()
    assert info.value.args == ("name '_cached_capabilities' is not defined",)
    assert entries(info.value) == [(LOAD, SRC, 18)]


def test_replaced_loader_is_honoured(core, monkeypatch):
    seen = []

    def loader():
        seen.append(1)
        return ["listed"]  # any container works for the membership test
    monkeypatch.setattr(brimsett, "_load_capabilities", loader)
    assert brimsett.require_capability("listed", "c") is None
    with pytest.raises(RuntimeError, match=r"Available: \['listed'\]"):
        brimsett.require_capability("absent", "c")
    assert seen == [1, 1] and core.calls == []


class _BadContainer:
    def __contains__(self, item):
        raise LookupError("membership failed")


class _BadRepr:
    def __lt__(self, other):
        return False

    def __repr__(self):
        raise ValueError("no repr")


@pytest.mark.parametrize("loader, exc_type, line", [
    (lambda: _BadContainer(), LookupError, 33),
    (lambda: {"a", 1}, TypeError, 36),
    (lambda: {_BadRepr()}, ValueError, 36),
    ("not callable", TypeError, 32),
], ids=["membership", "unsortable", "repr-raises", "not-callable"])
def test_failures_inside_require_capability(core, monkeypatch, loader, exc_type, line):
    monkeypatch.setattr(brimsett, "_load_capabilities", loader)
    with pytest.raises(exc_type) as info:
        brimsett.require_capability("x", "y")
    assert entries(info.value) == [(REQ, SRC, line)]


def test_unsortable_names_from_handshake_replace_runtime_error(core):
    core.handshake_answer = json.dumps({"capabilities": ["a", 1, "b"]})
    with pytest.raises(TypeError) as info:
        brimsett.require_capability("c", "d")
    assert "'<' not supported" in str(info.value)
    assert entries(info.value) == [(REQ, SRC, 36)]
    assert brimsett._cached_capabilities == {"a", 1, "b"}


def test_deleted_loader_global_is_a_name_error(core, monkeypatch):
    monkeypatch.delattr(brimsett, "_load_capabilities")
    with pytest.raises(NameError) as info:
        brimsett.require_capability("x", "y")
    assert info.value.args == ("name '_load_capabilities' is not defined",)
    assert entries(info.value) == [(REQ, SRC, 32)]


# --- argument checks come before the cache ----------------------------------------------

class _Str(str):
    pass


@pytest.mark.parametrize("args, param, got", [
    ((None, "c"), "name", "NoneType"),
    (("n", None), "context", "NoneType"),
    ((_Str("ignore_builtin_replace"), "c"), "name", "_Str"),
    (("ignore_builtin_replace", _Str("c")), "context", "_Str"),
    ((b"n", 1), "name", "bytes"),
])
def test_argument_types_checked_before_cache(core, args, param, got):
    with pytest.raises(TypeError) as info:
        brimsett.require_capability(*args)
    assert info.value.args == (
        f"Argument '{param}' has incorrect type (expected str, got {got})",)
    assert entries(info.value) == []
    assert core.calls == [] and brimsett._cached_capabilities is None


def test_global_read_by_another_dict_watcher_during_a_rebinding():
    # A watcher registered after the frame's first import runs module code while the cache global
    # is being rebound: that read sees the old value, and the next read must see the new one
    # (a read served from the old value would be stale, or freed).
    run_python("""
        import ctypes, gc
        import pellandor.brimsett as b
        Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                                    ctypes.py_object)
        api = ctypes.pythonapi
        api.PyDict_AddWatcher.argtypes = [Callback]
        api.PyDict_Watch.argtypes = api.PyDict_ClearWatcher.argtypes = None
        during = []
        def on_change(event, d, key, value):
            if key == "_cached_capabilities":
                during.append(sorted(b._load_capabilities()))
            return 0
        callback = Callback(on_change)
        watcher = api.PyDict_AddWatcher(callback)
        b._cached_capabilities = {"first"}
        b._load_capabilities()
        api.PyDict_Watch(ctypes.c_int(watcher), ctypes.py_object(vars(b)))
        for name in ["second", "third"]:
            b._cached_capabilities = {name}
            gc.collect()
            assert b._load_capabilities() == {name}, name
            assert b.require_capability(name, "c") is None
        api.PyDict_ClearWatcher(ctypes.c_int(watcher))
        assert during == [["first"], ["second"]], during
    """)
    # With every watcher slot taken before the import, the import's own checks still pass.
    run_python("""
        import ctypes
        api = ctypes.pythonapi
        Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                    ctypes.c_void_p)
        api.PyDict_AddWatcher.argtypes = [Callback]
        callback = Callback(lambda *args: 0)
        try:
            while True:
                api.PyDict_AddWatcher(callback)
        except RuntimeError as exc:
            assert "no more dict watcher IDs" in str(exc)
        import pellandor.brimsett as b
        b._cached_capabilities = {"x"}
        assert b.require_capability("x", "c") is None
        b._cached_capabilities = {"y"}
        assert b._load_capabilities() == {"y"}
    """)
