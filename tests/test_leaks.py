"""Reference and memory leaks: every public call of the gate and the builder, succeeding and
failing, repeated many times (see leakcheck.py)."""

import json
import sys
import types

import pytest

from conftest import FakeSettings
from leakcheck import BLOCKS_COUNTED, assert_no_leaks

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel


def fresh(text):
    """A new, non-interned str equal to ``text`` (at least two characters)."""
    return "".join(list(text))


class Custom:
    pass


class StrSub(str):
    pass


@pytest.fixture
def core(fake_core):
    fake_core.handshake = lambda: fake_core.handshake_answer  # no call log to grow
    return fake_core


@pytest.fixture
def settings(fake_settings):
    return fake_settings


REQ = brimsett.require_capability
LOAD = brimsett._load_capabilities
BUILD = mistrel.build_scan_config


# --- the gate -----------------------------------------------------------------------------

def test_require_capability_calls(core):
    name = fresh("ignore_builtin_replace")
    missing = fresh("absent_capability")
    ctx = fresh("some context")
    obj = Custom()
    sub = StrSub("ignore_builtin_replace")
    cases = [
        lambda: REQ(name, ctx),
        lambda: REQ(name=name, context=ctx),
        lambda: REQ(name, context=ctx),
        lambda: REQ(missing, ctx),                     # RuntimeError
        lambda: REQ(name),                             # count
        lambda: REQ(name, ctx, obj),                   # count
        lambda: REQ(name, context=ctx, extra=obj),     # unexpected keyword
        lambda: REQ(name, name=ctx),                   # multiple values
        lambda: REQ(**{StrSub("name"): name, "context": ctx}),
        lambda: REQ(sub, ctx),                         # type check with note
        lambda: REQ(obj, ctx),                         # type check
        lambda: REQ(name, obj),
        lambda: REQ.__call__(name, context=ctx),       # classic call entry
        lambda: REQ.__call__(missing, ctx, obj),
    ]
    for case in cases:
        assert_no_leaks(case, name, missing, ctx, obj, sub)


def test_load_capabilities_calls(core):
    obj = Custom()
    key = fresh("keyword")
    cases = [
        lambda: LOAD(),
        lambda: LOAD(obj),
        lambda: LOAD(**{key: obj}),
        lambda: LOAD.__call__(obj),
    ]
    for case in cases:
        assert_no_leaks(case, obj, key)


def _reset_then(call):
    def run():
        brimsett._cached_capabilities = None
        return call()
    return run


@pytest.mark.parametrize("answer", [
    json.dumps({"capabilities": ["ignore_builtin_replace", "b", "a"]}),  # load succeeds
    fresh("definitely not json"),                                      # JSONDecodeError
    json.dumps([1, 2]),                                                # AttributeError
    json.dumps({"capabilities": 3}),                                   # TypeError
    json.dumps({"capabilities": ["x", 1]}),                            # sort TypeError
])
def test_handshake_paths(core, answer):
    core.handshake_answer = answer
    name = fresh("ignore_builtin_replace")
    ctx = fresh("context text")
    assert_no_leaks(_reset_then(lambda: REQ(name, ctx)), name, ctx, answer)
    assert_no_leaks(_reset_then(LOAD), answer)


@pytest.mark.parametrize("core_module", [None, types.ModuleType("pellandor_core_py")],
                         ids=["blocked-import", "no-handshake"])
def test_core_missing_paths(core, monkeypatch, core_module):
    monkeypatch.setitem(sys.modules, "pellandor_core_py", core_module)
    name = fresh("ignore_builtin_replace")
    ctx = fresh("context text")
    assert_no_leaks(_reset_then(lambda: REQ(name, ctx)), name, ctx)


def test_missing_global(core, monkeypatch):
    monkeypatch.delattr(brimsett, "json")                     # NameError
    name = fresh("ignore_builtin_replace")
    assert_no_leaks(_reset_then(lambda: REQ(name, name)), name)


def test_handshake_raising(core):
    err_text = fresh("handshake failed")

    def handshake():
        raise OSError(err_text)
    core.handshake = handshake
    assert_no_leaks(_reset_then(LOAD), err_text)


def test_wrong_cache_type(core):
    cache = frozenset([fresh("x")])
    brimsett._cached_capabilities = cache
    assert_no_leaks(LOAD, cache)


# --- the builder --------------------------------------------------------------------------

def _settings(**kw):
    values = {"builtin_ignore_patterns": [fresh("a/"), fresh("b/")],
              "extra_ignore_patterns": (fresh("*.x"),), "ignore_mode": fresh("git+pellandor")}
    return FakeSettings(**{**values, **kw})


def test_build_scan_config_calls(settings, core, monkeypatch):
    plain = _settings()
    replace = _settings(builtin_ignore_replace=True)
    path = fresh("/srv/repo")
    obj = Custom()

    class BadStr:
        def __str__(self):
            raise ValueError(path)
    bad = BadStr()
    lacking = types.SimpleNamespace(builtin_ignore_replace=False)
    not_iterable = _settings(builtin_ignore_patterns=Custom())

    class BadEq:
        def __eq__(self, other):
            raise ArithmeticError(path)
    bad_mode = _settings(ignore_mode=BadEq())
    sentinels = (path, obj, bad, not_iterable.builtin_ignore_patterns, bad_mode.ignore_mode,
                 plain.builtin_ignore_patterns, plain.extra_ignore_patterns,
                 plain.ignore_mode, replace.ignore_mode, replace.builtin_ignore_patterns)

    def with_settings(value, call):
        def run():
            mistrel.settings = value
            return call()
        return run
    cases = [
        with_settings(plain, lambda: BUILD(path)),
        with_settings(plain, lambda: BUILD(repo_path=path)),
        with_settings(plain, lambda: BUILD(obj)),
        with_settings(plain, lambda: BUILD(bad)),
        with_settings(replace, lambda: BUILD(path)),            # gate asked, capability present
        with_settings(lacking, lambda: BUILD(path)),            # AttributeError
        with_settings(not_iterable, lambda: BUILD(path)),       # TypeError
        with_settings(bad_mode, lambda: BUILD(path)),           # ArithmeticError from ==
        with_settings(plain, lambda: BUILD()),                  # count
        with_settings(plain, lambda: BUILD(path, obj)),         # count
        with_settings(plain, lambda: BUILD(path, repo_path=obj)),
        with_settings(plain, lambda: BUILD(repo=obj)),
        with_settings(plain, lambda: BUILD.__call__(path)),
    ]
    monkeypatch.setattr(mistrel, "settings", plain)
    for case in cases:
        assert_no_leaks(case, *sentinels)


def test_build_scan_config_gate_failures(settings, core, monkeypatch):
    settings.builtin_ignore_replace = True
    path = fresh("/srv/repo")
    core.handshake_answer = json.dumps({"capabilities": ["other"]})
    assert_no_leaks(lambda: BUILD(path), path)                     # RuntimeError from the gate
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", types.ModuleType("pellandor.brimsett"))
    assert_no_leaks(lambda: BUILD(path), path)                     # cannot import name
    monkeypatch.setitem(sys.modules, "pellandor.brimsett", None)
    assert_no_leaks(lambda: BUILD(path), path)                     # blocked import


def test_the_check_sees_leaks():
    kept = []
    obj = Custom()
    with pytest.raises(AssertionError):
        assert_no_leaks(lambda: kept.append(obj), obj)      # a reference kept per call
    kept.clear()
    if not BLOCKS_COUNTED:
        return
    with pytest.raises(AssertionError, match="blocks more"):
        assert_no_leaks(lambda: kept.append(Custom()))      # an object kept per call
