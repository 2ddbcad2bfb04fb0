"""Argument binding: count and keyword messages, the no-arguments kind, the classic call entry,
exact-type checks, int coercion, recursion."""

import ctypes
import inspect
import math
import pickle
import re
import traceback
import warnings

import pytest

from conftest import run_python

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel

REQ = brimsett.require_capability
LOAD = brimsett._load_capabilities
BUILD = mistrel.build_scan_config
REQ_ENTRY = ("pellandor.brimsett.require_capability", "src/pellandor/brimsett", 30)
BUILD_ENTRY = ("pellandor.mistrel.build_scan_config", "src/pellandor/mistrel", 14)
NOTE = ("This check is stricter than the type annotation: it rejects subclasses of built-in "
        "types. Build with PELLANDOR_EXACT_BUILTIN_ARGS=0 to accept them.")
CAP = "ignore_builtin_replace"


def entries(exc):
    return [(f.name, f.filename, f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)
            if f.filename.startswith("src/pellandor/")]


class Key(str):
    """A str subclass used as keyword name."""


class EqualsContext(str):
    """Equal to "context" whatever its own text."""

    def __eq__(self, other):
        return other == "context"

    __hash__ = str.__hash__


class BadEq(str):
    def __eq__(self, other):
        raise LookupError("compare failed")

    __hash__ = str.__hash__


_proto_getslot = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_int)
_get_slot = _proto_getslot(("PyType_GetSlot", ctypes.pythonapi))
_vectorcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p,
                                ctypes.c_size_t, ctypes.py_object)(
    ("PyObject_Vectorcall", ctypes.pythonapi))
_TP_CALL = 50


def classic_call(func, args, kwargs):
    """The type's call slot, reached directly with a tuple and a dict."""
    slot = _get_slot(type(func), _TP_CALL)
    assert slot
    call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object,
                             ctypes.py_object)(slot)
    return call(func, args, kwargs)


def vectorcall(func, args, kwnames):
    """A vectorcall with an arbitrary keyword-name tuple."""
    array = (ctypes.py_object * max(1, len(args)))(*args)
    return _vectorcall(func, ctypes.cast(array, ctypes.c_void_p),
                       len(args) - len(kwnames), kwnames)


@pytest.fixture
def present(fake_core):
    """A gate whose core offers the one capability the tests ask for."""
    return fake_core


def count_msg(func, how, n, given):
    return f"{func}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


# --- module functions --------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, count_msg("require_capability", "exactly", 2, 0)),
    (("a",), {}, count_msg("require_capability", "exactly", 2, 1)),
    (("a", "b", "c"), {}, count_msg("require_capability", "exactly", 2, 3)),
    ((), {"name": "a"}, count_msg("require_capability", "exactly", 2, 1)),
    ((), {"context": "a"}, count_msg("require_capability", "exactly", 2, 0)),
    (("a", "b", "c"), {"context": "x"}, count_msg("require_capability", "exactly", 2, 3)),
    (("a",), {"name": "b"},
     "require_capability() got multiple values for keyword argument 'name'"),
    (("a", "b"), {"context": "c"},
     "require_capability() got multiple values for keyword argument 'context'"),
    (("a",), {"bogus": 1}, "require_capability() got an unexpected keyword argument 'bogus'"),
    ((), {"name": "a", "context": "b", "extra": 1},
     "require_capability() got an unexpected keyword argument 'extra'"),
    (("a",), {Key("nope"): 1}, "require_capability() got an unexpected keyword argument 'nope'"),
    (("a",), {Key("name"): 1},
     "require_capability() got multiple values for keyword argument 'name'"),
])
def test_require_capability_binding_errors(present, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        REQ(*args, **kwargs)
    assert info.value.args == (message,)
    assert entries(info.value) == [REQ_ENTRY]
    assert present.calls == [] and brimsett._cached_capabilities is None


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, count_msg("build_scan_config", "exactly", 1, 0)),
    (("a", "b"), {}, count_msg("build_scan_config", "exactly", 1, 2)),
    ((), {"path": "a"}, "build_scan_config() got an unexpected keyword argument 'path'"),
    (("a",), {"repo_path": "b"},
     "build_scan_config() got multiple values for keyword argument 'repo_path'"),
    (("a", "b"), {"repo_path": "b"}, count_msg("build_scan_config", "exactly", 1, 2)),
])
def test_build_scan_config_binding_errors(fake_settings, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        BUILD(*args, **kwargs)
    assert info.value.args == (message,)
    assert entries(info.value) == [BUILD_ENTRY]


@pytest.mark.parametrize("args, kwargs", [
    ((CAP, "c"), {}),
    ((CAP,), {"context": "c"}),
    ((), {"name": CAP, "context": "c"}),
    ((), {"context": "c", "name": CAP}),
    ((), {"".join(["na", "me"]): CAP, "".join(["con", "text"]): "c"}),  # not interned
    ((), {Key("name"): CAP, Key("context"): "c"}),
    ((CAP,), {EqualsContext("zzz"): "c"}),
])
def test_keywords_matched(present, args, kwargs):
    assert REQ(*args, **kwargs) is None
    assert present.calls == [("handshake",)]


def test_str_subclass_keyword_compare_error_propagates(present):
    with pytest.raises(LookupError, match="compare failed") as info:
        REQ(CAP, **{BadEq("context"): "c"})
    assert entries(info.value) == [REQ_ENTRY]


# --- the no-arguments kind ---------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: LOAD(1), "_load_capabilities() takes no arguments (1 given)"),
    (lambda: LOAD(1, "x"), "_load_capabilities() takes no arguments (2 given)"),
    (lambda: LOAD(x=1), "_load_capabilities() takes no keyword arguments"),
    (lambda: LOAD(1, x=1), "_load_capabilities() takes no keyword arguments"),
    (lambda: LOAD.__call__(1), "_load_capabilities() takes no arguments (1 given)"),
    (lambda: LOAD.__call__(y=2), "_load_capabilities() takes no keyword arguments"),
    (lambda: classic_call(LOAD, (1,), {}), "_load_capabilities() takes no arguments (1 given)"),
    (lambda: classic_call(LOAD, (), {"k": 1}), "_load_capabilities() takes no keyword arguments"),
])
def test_no_arguments_kind(present, call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)
    assert entries(info.value) == []
    assert present.calls == []


def test_no_arguments_kind_accepts_empty_call_forms(present):
    assert LOAD() == {CAP}
    assert LOAD(**{}) is LOAD(*()) is LOAD.__call__() is classic_call(LOAD, (), {})


# --- the classic call entry -------------------------------------------------------------

def test_classic_call_with_dict(present):
    assert classic_call(REQ, (CAP,), {"context": "c"}) is None
    assert classic_call(REQ, (), {"context": "c", "name": CAP}) is None
    assert classic_call(REQ, (CAP, "c"), {}) is None
    assert classic_call(REQ, (CAP,), {Key("context"): "c"}) is None
    assert REQ.__call__(CAP, context="c") is None


def test_classic_call_binding_error_has_entry(present):
    with pytest.raises(TypeError) as info:
        classic_call(REQ, ("a",), {"name": "b"})
    assert info.value.args == (
        "require_capability() got multiple values for keyword argument 'name'",)
    assert entries(info.value) == [REQ_ENTRY]


def test_classic_call_refuses_non_str_keys(present):
    for kwargs in ({1: 2}, {"context": "c", (1,): 2}, {b"name": "x"}):
        with pytest.raises(TypeError) as info:
            classic_call(REQ, (CAP,), kwargs)
        assert info.value.args == ("keywords must be strings",)
        assert entries(info.value) == []
    assert present.calls == []


def test_binder_refuses_non_str_keyword_names(present):
    with pytest.raises(TypeError) as info:
        vectorcall(REQ, (CAP, "c"), (5,))
    assert info.value.args == ("require_capability() keywords must be strings",)
    assert entries(info.value) == [REQ_ENTRY]
    assert vectorcall(REQ, (CAP, "c"), ("context",)) is None


# --- exact-type checks ------------------------------------------------------------------

class SubSub(Key):
    pass


@pytest.mark.parametrize("value, got, noted", [
    (None, "NoneType", False),
    (Key("x"), "Key", True),
    (SubSub("x"), "SubSub", True),
    (1, "int", False),
    (b"x", "bytes", False),
    (["x"], "list", False),
])
def test_exact_str_check(present, value, got, noted):
    with pytest.raises(TypeError) as info:
        REQ(value, "c")
    assert info.value.args == (f"Argument 'name' has incorrect type (expected str, got {got})",)
    assert getattr(info.value, "__notes__", None) == ([NOTE] if noted else None)
    assert entries(info.value) == []


def test_type_checks_run_in_parameter_order(present):
    with pytest.raises(TypeError, match="'name'"):
        REQ(None, None)
    with pytest.raises(TypeError, match="'context'"):
        REQ(CAP, Key("c"))


# --- methods (pellandor.sparse) ---------------------------------------------------------

SPARSE = "src/pellandor/sparse"


def method_entry(name, line):
    return (f"pellandor.sparse.SparseEmbeddingService.{name}", SPARSE, line)


@pytest.fixture
def sparse():
    import pellandor.sparse as module
    return module


@pytest.fixture
def svc(sparse, fake_settings, fake_core):
    return sparse.SparseEmbeddingService()


@pytest.mark.parametrize("call, message, entry", [
    (lambda s, c: s.embed_single(), count_msg("embed_single", "exactly", 2, 1),
     method_entry("embed_single", 56)),
    (lambda s, c: c.embed_single("x"), count_msg("embed_single", "exactly", 2, 1),
     method_entry("embed_single", 56)),
    (lambda s, c: s.embed_single("a", "b"), count_msg("embed_single", "exactly", 2, 3),
     method_entry("embed_single", 56)),
    (lambda s, c: s.embed_batch_list(), count_msg("embed_batch_list", "at least", 2, 1),
     method_entry("embed_batch_list", 86)),
    (lambda s, c: s.embed_batch_list(batch_size=1),
     count_msg("embed_batch_list", "at least", 2, 1), method_entry("embed_batch_list", 86)),
    (lambda s, c: s.embed_batch_list([], 1, 2), count_msg("embed_batch_list", "at most", 3, 4),
     method_entry("embed_batch_list", 86)),
    (lambda s, c: c.embed_batch_list(), count_msg("embed_batch_list", "at least", 2, 0),
     method_entry("embed_batch_list", 86)),
    (lambda s, c: c.__init__(), count_msg("__init__", "exactly", 1, 0),
     method_entry("__init__", 39)),
    (lambda s, c: c.profile_version.fget(), count_msg("profile_version", "exactly", 1, 0),
     method_entry("profile_version", 51)),
    (lambda s, c: s.embed_single("a", text="b"),
     "embed_single() got multiple values for keyword argument 'text'",
     method_entry("embed_single", 56)),
    (lambda s, c: s.embed_single(txt="a"),
     "embed_single() got an unexpected keyword argument 'txt'", method_entry("embed_single", 56)),
    (lambda s, c: s.embed_batch_list(texts=[], batch_size=None, extra=1),
     "embed_batch_list() got an unexpected keyword argument 'extra'",
     method_entry("embed_batch_list", 86)),
    (lambda s, c: s.embed_batch_list([], texts=[]),
     "embed_batch_list() got multiple values for keyword argument 'texts'",
     method_entry("embed_batch_list", 86)),
])
def test_method_binding_errors_count_self(svc, sparse, call, message, entry):
    with pytest.raises(TypeError) as info:
        call(svc, sparse.SparseEmbeddingService)
    assert info.value.args == (message,)
    assert entries(info.value) == [entry]


def test_method_keywords_and_defaults(svc, sparse, fake_core):
    cls = sparse.SparseEmbeddingService
    assert len(svc.embed_batch_list(texts=["a"])) == 1
    assert len(svc.embed_batch_list(batch_size=None, texts=["a"])) == 1
    assert len(cls.embed_batch_list(svc, ["a"], 4)) == 1
    assert len(cls.embed_batch_list(self=svc, texts=["a"])) == 1
    assert svc.embed_single(text="x").indices == [1, 2]


@pytest.mark.parametrize("call, message", [
    (lambda m: m.get_sparse_service(1), "get_sparse_service() takes no arguments (1 given)"),
    (lambda m: m.reset_sparse_service(1, 2),
     "reset_sparse_service() takes no arguments (2 given)"),
    (lambda m: m.get_sparse_service(x=1), "get_sparse_service() takes no keyword arguments"),
    (lambda m: m.get_sparse_service(1, x=1), "get_sparse_service() takes no keyword arguments"),
])
def test_sparse_no_arguments_kind(sparse, call, message):
    with pytest.raises(TypeError) as info:
        call(sparse)
    assert info.value.args == (message,)
    assert entries(info.value) == []


@pytest.mark.parametrize("batch_size", [None, 3, True, 2.9, 3.9, -1.5,
                                        type("Idx", (), {"__index__": lambda self: 2})()])
def test_batch_size_coerced(svc, fake_core, batch_size):
    assert len(svc.embed_batch_list(["a", "b"], batch_size)) == 2
    assert len(svc.embed_batch_list(["a", "b"], batch_size=batch_size)) == 2


@pytest.mark.parametrize("texts, batch_size, exc_type, message", [
    (["a"], "3", TypeError, "Argument 'batch_size' has incorrect type (expected int, got str)"),
    (("a",), "3", TypeError, "Argument 'batch_size' has incorrect type (expected int, got str)"),
    (["a"], [3], TypeError, "Argument 'batch_size' has incorrect type (expected int, got list)"),
    (["a"], math.nan, ValueError, "cannot convert float NaN to integer"),
    (["a"], math.inf, OverflowError, "cannot convert float infinity to integer"),
    (["a"], 1j, TypeError, None),
])
def test_batch_size_refused(svc, fake_core, texts, batch_size, exc_type, message):
    with pytest.raises(exc_type) as info:
        svc.embed_batch_list(texts, batch_size)
    if message is not None:
        assert info.value.args == (message,)
    assert entries(info.value) == [method_entry("embed_batch_list", 87)]
    assert fake_core.calls == []


class ListSub(list):
    pass


@pytest.mark.parametrize("texts, got, noted", [
    (("a",), "tuple", False), (None, "NoneType", False), (ListSub(["a"]), "ListSub", True),
])
def test_texts_exact_list(svc, fake_core, texts, got, noted):
    with pytest.raises(TypeError) as info:
        svc.embed_batch_list(texts)
    assert info.value.args == (
        f"Argument 'texts' has incorrect type (expected list, got {got})",)
    assert getattr(info.value, "__notes__", None) == ([NOTE] if noted else None)
    assert entries(info.value) == []
    assert fake_core.calls == []


def test_method_defaults_write_does_not_change_calls(svc, sparse, fake_core):
    func = sparse.SparseEmbeddingService.embed_batch_list
    assert func.__defaults__ == (None,)
    try:
        with pytest.warns(RuntimeWarning):
            func.__defaults__ = ()
        assert len(svc.embed_batch_list(["a"])) == 1
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            func.__defaults__ = (None,)


def test_method_introspection(svc, sparse):
    cls = sparse.SparseEmbeddingService
    assert str(inspect.signature(svc.embed_single)) == "(text: 'str') -> 'SparseResult'"
    assert str(inspect.signature(cls.embed_batch_list)) == (
        "(self, texts: 'list[str]', batch_size: 'int | None' = None) -> 'list[SparseResult]'")
    assert re.fullmatch(r"<pellandor_function SparseEmbeddingService\.embed_single at 0x[0-9a-f]+>",
                        repr(cls.embed_single), re.IGNORECASE)
    assert pickle.loads(pickle.dumps(cls.embed_single)) is cls.embed_single
    assert cls.embed_single.__reduce__() == "SparseEmbeddingService.embed_single"
    assert cls.embed_single.__code__.co_argcount == 2
    assert cls.embed_single.__code__.co_varnames == ("self", "text", "result_json", "result")
    assert type(svc.embed_single).__name__ == "method" and svc.embed_single.__self__ is svc
    assert type(sparse.get_sparse_service) is type(REQ) is type(cls.embed_single)


def test_recursion_through_instance_attribute_is_an_error():
    out = run_python("""
        from pellandor.sparse import SparseEmbeddingService
        svc = SparseEmbeddingService()
        svc.embed_batch = svc.embed_batch_list
        for _ in range(2):
            try:
                svc.embed_batch_list(["a"])
            except RecursionError as exc:
                print(type(exc).__name__)
        print("alive")
    """).stdout.split()
    assert out == ["RecursionError", "RecursionError", "alive"]
