"""Generated calls to every function and method: the frame's binder must accept exactly the
calls that a plain ``def`` with the same signature accepts (less the exact-type refusals of
``str``/``list`` parameters and the ``int`` coercion of ``batch_size``), refuse the rest with
``TypeError``, and never crash or drop a reference.

PELLANDOR_FUZZ_EXAMPLES sets the number of generated calls per target (default 30).
"""

import ctypes
import gc
import math
import sys
import types

import pytest
from hypothesis import given, strategies as st

from conftest import FakeSettings, QuietCore, fuzz_settings

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel
import pellandor.sparse as sparse

FUZZ = fuzz_settings(30)

api = ctypes.pythonapi
api.PyObject_Call.restype = ctypes.py_object
api.PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
api.PyObject_Vectorcall.restype = ctypes.py_object
api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                    ctypes.c_size_t, ctypes.py_object]
api.PyNumber_Check.restype = ctypes.c_int
api.PyNumber_Check.argtypes = [ctypes.py_object]


class KeySub(str):
    """A str subclass: matched by equality, not identity."""


class OwnHashKey(str):
    """Equal to a parameter name but hashed apart, so a dict can hold it beside the name."""

    def __hash__(self):
        return str.__hash__(self) ^ 0x5A5A


class TextSub(str):
    pass


class ListSub(list):
    pass


class Opaque:
    pass


class Numberish:
    def __index__(self):
        return 7


# --- what a plain def decides -----------------------------------------------------------------

class Target(types.SimpleNamespace):
    """callable, the equivalent plain def, declared types by parameter, and whether self leads."""


def ref_require_capability(name, context): return locals()
def ref_load_capabilities(): return {}
def ref_build_scan_config(repo_path): return locals()
def ref_get_sparse_service(): return {}
def ref_reset_sparse_service(): return {}
def ref_init(self): return locals()
def ref_profile_version(self): return locals()
def ref_embed_single(self, text): return locals()
def ref_embed_batch(self, texts): return locals()
def ref_embed_batch_list(self, texts, batch_size=None): return locals()


class RefService:
    """The plain-Python twin of the service's signatures, for calls through an instance."""
    embed_single = ref_embed_single
    embed_batch = ref_embed_batch
    embed_batch_list = ref_embed_batch_list


def expected_error(bound, declared):
    """The binder's own refusals on top of a def's: int coercion first, then exact types."""
    for name, kind in declared.items():
        if kind == "int?" and name in bound:
            value = bound[name]
            if value is None or type(value) is int:
                continue
            if not api.PyNumber_Check(value):
                return TypeError
            try:
                int(value)
            except Exception as exc:  # noqa: BLE001 - whatever int() raises propagates
                return type(exc)
    for name, kind in declared.items():
        if kind in (str, list) and type(bound[name]) is not kind:
            return TypeError
    return None


# --- the four ways in -------------------------------------------------------------------------

def call_python(f, args, kwargs):
    return f(*args, **kwargs)


def call_object_call(f, args, kwargs):
    return api.PyObject_Call(f, tuple(args), dict(kwargs))


def call_classic_entry(f, args, kwargs):
    # The type's call slot with a tuple and a dict, as the slot wrapper hands them over.
    if isinstance(f, types.MethodType):
        f, args = f.__func__, (f.__self__, *args)
    return api.PyObject_Call(type(f).__call__, (f, *args), dict(kwargs))


def call_vectorcall(f, args, kwargs):
    # Keyword names as a tuple: repeats and non-str names reach the callee unfiltered. Without
    # keywords the protocol wants NULL (an empty py_object), never None.
    names = tuple(k for k, _ in kwargs)
    values = [*args, *(v for _, v in kwargs)]
    vector = (ctypes.py_object * max(len(values), 1))(*values)
    return api.PyObject_Vectorcall(f, vector, len(args), names if names else ctypes.py_object())


MODES = {"python": call_python, "object_call": call_object_call,
         "classic": call_classic_entry, "vectorcall": call_vectorcall}


def outcome(call):
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001
        return exc, None
    return None, result


# --- generated calls ----------------------------------------------------------------------------

def values():
    return st.one_of(
        st.none(), st.booleans(), st.integers(), st.integers(min_value=2**64),
        st.floats(allow_nan=True, allow_infinity=True), st.complex_numbers(),
        st.text(max_size=8), st.binary(max_size=8),
        st.lists(st.text(max_size=4), max_size=3),
        st.tuples(st.text(max_size=3)), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
        st.builds(TextSub, st.text(max_size=5)),
        st.builds(ListSub, st.lists(st.text(max_size=3), max_size=2)),
        st.builds(Opaque), st.builds(Numberish), st.just(Ellipsis), st.just(float("nan")),
    )


def keys(names):
    known = st.sampled_from(list(names) or ["self"])
    return st.one_of(
        known, known.map(KeySub), known.map(OwnHashKey),
        st.sampled_from(["self", "text", "texts", "name", "context", "repo_path", "batch_size",
                         "extra", "Text", ""]),
        st.text(max_size=6),
    )


def non_str_keys():
    return st.one_of(st.integers(), st.none(), st.binary(max_size=3), st.tuples(st.integers()))


@st.composite
def calls(draw, parameter_names, mode):
    args = draw(st.lists(values(), max_size=len(parameter_names) + 2))
    key_strategy = keys(parameter_names)
    if mode != "python" and draw(st.integers(0, 9)) == 0:
        key_strategy = st.one_of(key_strategy, non_str_keys())
    pairs = draw(st.lists(st.tuples(key_strategy, values()), max_size=len(parameter_names) + 2))
    if mode == "vectorcall":
        return args, pairs
    kwargs = {}
    for key, value in pairs:
        try:
            kwargs[key] = value
        except TypeError:  # an unhashable key (never generated, but cheap to guard)
            pass
    return args, kwargs


# --- fakes: accepted calls are cheap and succeed --------------------------------------------------

class AllCapabilities:
    def __contains__(self, name):
        return True


@pytest.fixture
def fakes(monkeypatch):
    fake = FakeSettings()
    monkeypatch.setattr(sparse, "settings", fake)
    monkeypatch.setattr(mistrel, "settings", fake)
    monkeypatch.setattr(sparse, "pellandor_core_py", QuietCore())
    monkeypatch.setattr(sparse, "logger", types.SimpleNamespace(info=lambda *a: None))
    monkeypatch.setattr(brimsett, "_cached_capabilities", {"ignore_builtin_replace"})
    monkeypatch.setattr(sparse, "_sparse_service", None)
    return sparse.SparseEmbeddingService()


def targets(service):
    svc_cls = sparse.SparseEmbeddingService
    ref = RefService()
    texts = {"texts": list}
    return {
        "require_capability": Target(f=brimsett.require_capability, ref=ref_require_capability,
                                     declared={"name": str, "context": str}),
        "_load_capabilities": Target(f=brimsett._load_capabilities, ref=ref_load_capabilities,
                                     declared={}),
        "build_scan_config": Target(f=mistrel.build_scan_config, ref=ref_build_scan_config,
                                    declared={}),
        "get_sparse_service": Target(f=sparse.get_sparse_service, ref=ref_get_sparse_service,
                                     declared={}),
        "reset_sparse_service": Target(f=sparse.reset_sparse_service,
                                       ref=ref_reset_sparse_service, declared={}),
        "__init__ (class)": Target(f=svc_cls.__init__, ref=ref_init, declared={}),
        "profile_version (getter)": Target(f=svc_cls.profile_version.fget,
                                           ref=ref_profile_version, declared={}),
        "embed_single (class)": Target(f=svc_cls.embed_single, ref=ref_embed_single,
                                       declared={"text": str}),
        "embed_single": Target(f=service.embed_single, ref=ref.embed_single,
                               declared={"text": str}),
        "embed_batch (class)": Target(f=svc_cls.embed_batch, ref=ref_embed_batch, declared=texts),
        "embed_batch": Target(f=service.embed_batch, ref=ref.embed_batch, declared=texts),
        "embed_batch_list (class)": Target(f=svc_cls.embed_batch_list, ref=ref_embed_batch_list,
                                           declared={"texts": list, "batch_size": "int?"}),
        "embed_batch_list": Target(f=service.embed_batch_list, ref=ref.embed_batch_list,
                                   declared={"texts": list, "batch_size": "int?"}),
    }


TARGET_NAMES = list(targets(types.SimpleNamespace(
    embed_single=None, embed_batch=None, embed_batch_list=None)))


def parameter_names(target):
    code = target.ref.__code__
    names = code.co_varnames[:code.co_argcount]
    return names[1:] if isinstance(target.ref, types.MethodType) else names


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def flatten(args, kwargs):
    pairs = kwargs if isinstance(kwargs, list) else list(kwargs.items())
    return [*args, *(k for k, _ in pairs), *(v for _, v in pairs)]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", TARGET_NAMES)
def test_binder_accepts_what_a_def_accepts(fakes, name, mode):
    target = targets(fakes)[name]
    invoke = MODES[mode]

    @FUZZ
    @given(call=calls(parameter_names(target), mode))
    def check(call):
        args, kwargs = call
        ref_exc, bound = outcome(lambda: invoke(target.ref, args, kwargs))
        assert ref_exc is None or isinstance(ref_exc, TypeError), ref_exc
        expected = type(ref_exc) if ref_exc else expected_error(bound, target.declared)
        del ref_exc, bound

        watched = flatten(args, kwargs)
        # No collection in between: it could free other holders of the generated values.
        gc.disable()
        try:
            before = refcounts(watched)
            exc, result = outcome(lambda: invoke(target.f, args, kwargs))
        finally:
            gc.enable()
        if expected is None:
            # Accepted: whatever the body then does with odd values (a non-service self, a
            # non-text path), the binder let the call through, so no TypeError of binding.
            if exc is not None:
                assert not isinstance(exc, TypeError), (args, kwargs, exc)
        else:
            assert type(exc) is expected or (expected is TypeError and isinstance(exc, TypeError)), \
                (args, kwargs, expected, exc)
        del exc, result
        sparse._sparse_service = None
        assert refcounts(watched) == before, (args, kwargs)

    check()


def test_class_construction_matches_a_plain_init(fakes):
    class Twin:
        def __init__(self):
            pass

    @FUZZ
    @given(call=calls(("self",), "python"))
    def check(call):
        args, kwargs = call
        ref_exc, _ = outcome(lambda: Twin(*args, **kwargs))
        exc, made = outcome(lambda: sparse.SparseEmbeddingService(*args, **kwargs))
        assert (ref_exc is None) == (exc is None), (args, kwargs, exc)
        if exc is not None:
            assert isinstance(exc, TypeError)
        else:
            assert type(made) is sparse.SparseEmbeddingService

    check()


def test_keyword_whose_comparison_empties_the_call_dict(fakes):
    """A str-subclass keyword whose __eq__ clears the caller's dict while the binder compares:
    the bound values must stay alive until the body is done with them."""
    kwargs = {}

    class Emptying(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            kwargs.clear()
            gc.collect()
            return str.__eq__(self, other)

    f = brimsett.require_capability
    for mode in ("object_call", "classic"):
        kwargs[Emptying("context")] = "".join(["needed ", "by a test"])
        with pytest.raises(RuntimeError, match="required for needed by a test but"):
            MODES[mode](f, ["absent_name"], kwargs)
        kwargs.clear()


def test_batch_size_conversions_follow_int(fakes):
    """Spot checks of the coercion table the fuzzer's model relies on."""
    f = fakes.embed_batch_list
    assert f(["a"], 2.9) == [] and f(["a"], True) == [] and f(["a"], Numberish()) == []
    for value, error in [(math.nan, ValueError), (math.inf, OverflowError), (1j, TypeError),
                         ("3", TypeError), (b"3", TypeError)]:
        with pytest.raises(error):
            f(["a"], value)
