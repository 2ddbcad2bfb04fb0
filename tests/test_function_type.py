"""The shared function type: attributes, descriptor binding, repr, weakref, gc, pickle, signature."""

import gc
import inspect
import pathlib
import pickle
import re
import sys
import types
import warnings
import weakref

import pytest

from conftest import run_python

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel

REQ = brimsett.require_capability
LOAD = brimsett._load_capabilities
BUILD = mistrel.build_scan_config
FUNCS = [REQ, LOAD, BUILD]
FT = type(REQ)

DEFAULTS_WARNING = ("changes to pellandor_function.__defaults__ do not currently affect "
                    "the values used in function calls")
KWDEFAULTS_WARNING = ("changes to pellandor_function.__kwdefaults__ do not currently affect "
                      "the values used in function calls")


@pytest.fixture
def f():
    """require_capability, with every attribute restored afterwards."""
    func = REQ
    saved = {name: getattr(func, name) for name in ("__name__", "__qualname__", "__doc__",
                                                    "__module__", "__defaults__")}
    saved_ann = dict(func.__annotations__)
    saved_dict = dict(func.__dict__)
    yield func
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, value in saved.items():
            setattr(func, name, value)
        func.__kwdefaults__ = None
    func.__annotations__ = saved_ann
    func.__dict__.clear()
    func.__dict__.update(saved_dict)


# --- the type ----------------------------------------------------------------------------

def test_one_shared_type_in_the_registry():
    registry = sys.modules["_pellandor_frame_v1"]
    assert type(REQ) is type(LOAD) is type(BUILD) is registry.pellandor_function
    assert FT.__name__ == "pellandor_function" and FT.__bases__ == (object,)
    meta = registry._common_types_metatype
    assert type(FT) is meta and issubclass(meta, type) and meta is not type
    assert meta.__module__ == "_pellandor_frame_v1"
    assert FT.__module__ == "_pellandor_frame_v1"


def test_type_flags():
    flags = FT.__flags__
    for bit, what in [(1 << 10, "basetype"), (1 << 8, "immutable"), (1 << 14, "gc"),
                      (1 << 17, "method descriptor"), (1 << 11, "vectorcall"),
                      (1 << 4, "managed dict")]:
        assert flags & bit, what


def test_type_is_not_instantiable_and_immutable():
    with pytest.raises(TypeError):
        FT()
    with pytest.raises(TypeError):
        FT.__new__(FT)
    with pytest.raises(TypeError):
        FT.extra = 1
    with pytest.raises(TypeError):
        type(FT)("X", (), {})


# --- attribute table ---------------------------------------------------------------------

def test_basic_attributes():
    assert REQ.__name__ == "require_capability" and REQ.__qualname__ == "require_capability"
    assert REQ.__module__ == "pellandor.brimsett"
    assert REQ.__doc__ == "Raise RuntimeError if the named capability is not available."
    assert LOAD.__doc__ is None
    assert LOAD.__name__ == "_load_capabilities"
    assert REQ.__globals__ is brimsett.__dict__ and BUILD.__globals__ is mistrel.__dict__
    for func in FUNCS:
        assert func.__closure__ is None
        assert func.__defaults__ is None and func.__kwdefaults__ is None
        assert func._is_coroutine is False
    assert REQ.__name__ is sys.intern("require_capability")


@pytest.mark.parametrize("attr, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("func_name", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
])
def test_name_attributes_accept_only_str(f, attr, message):
    for bad in (None, 5, b"bytes"):
        with pytest.raises(TypeError) as info:
            setattr(f, attr, bad)
        assert info.value.args == (message,)
    with pytest.raises(TypeError) as info:
        delattr(f, attr)
    assert info.value.args == (message,)
    setattr(f, attr, "renamed")
    assert getattr(f, attr) == "renamed"


def test_rename_does_not_change_binding_messages(f):
    f.__name__ = "renamed"
    f.__qualname__ = "Q.renamed"
    assert f.func_name == "renamed"
    assert re.fullmatch(r"<pellandor_function Q\.renamed at 0x[0-9a-fA-F]+>", repr(f))
    with pytest.raises(TypeError, match=r"^require_capability\(\) takes exactly 2"):
        f()


def test_doc_module_and_dict(f):
    f.__doc__ = 123
    assert f.__doc__ == 123 and f.func_doc == 123
    del f.__doc__
    assert f.__doc__ is None
    f.func_doc = "via alias"
    assert f.__doc__ == "via alias"
    f.__module__ = 5
    assert f.__module__ == 5
    f.anything = [1]
    assert f.__dict__["anything"] == [1] and f.func_dict is f.__dict__
    f.__dict__ = {"fresh": 2}
    assert f.fresh == 2 and not hasattr(f, "anything")
    with pytest.raises(TypeError):
        f.__dict__ = 5


@pytest.mark.parametrize("attr", ["__globals__", "func_globals", "__closure__", "func_closure",
                                  "__code__", "func_code", "_is_coroutine"])
def test_read_only_attributes(f, attr):
    before = getattr(f, attr)
    with pytest.raises(AttributeError):
        setattr(f, attr, before)
    with pytest.raises(AttributeError):
        delattr(f, attr)
    assert getattr(f, attr) is before


def test_aliases_read_like_their_attributes():
    for func in FUNCS:
        assert func.func_name == func.__name__
        assert func.func_doc == func.__doc__
        assert func.func_globals is func.__globals__
        assert func.func_closure is None
        assert func.func_code is func.__code__
        assert func.func_defaults == func.__defaults__
        assert func.func_dict is func.__dict__


@pytest.mark.parametrize("attr", ["__defaults__", "func_defaults"])
def test_defaults_write_warns_and_calls_keep_own_defaults(f, attr):
    with pytest.warns(RuntimeWarning) as record:
        setattr(f, attr, ("filled", "in"))
    assert [str(w.message) for w in record] == [DEFAULTS_WARNING]
    assert record[0].filename == __file__
    assert f.__defaults__ == ("filled", "in")
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(0 given\)"):
        f()
    with pytest.warns(RuntimeWarning, match="__defaults__"):
        delattr(f, attr)
    assert f.__defaults__ is None
    with pytest.warns(RuntimeWarning):
        setattr(f, attr, None)
    with pytest.raises(TypeError) as info:
        setattr(f, attr, ["not", "tuple"])
    assert info.value.args == ("__defaults__ must be set to a tuple object",)


def test_kwdefaults_write_warns(f):
    with pytest.warns(RuntimeWarning) as record:
        f.__kwdefaults__ = {"context": "x"}
    assert [str(w.message) for w in record] == [KWDEFAULTS_WARNING]
    with pytest.raises(TypeError, match=r"\(1 given\)"):
        f("name")
    with pytest.warns(RuntimeWarning):
        f.__kwdefaults__ = None
    with pytest.raises(TypeError) as info:
        f.__kwdefaults__ = ("x",)
    assert info.value.args == ("__kwdefaults__ must be set to a dict object",)


def test_warning_as_error_stores_nothing(f):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="__defaults__"):
            f.__defaults__ = (1,)
        with pytest.raises(RuntimeWarning, match="__kwdefaults__"):
            f.__kwdefaults__ = {"a": 1}
    assert f.__defaults__ is None and f.__kwdefaults__ is None


def test_annotations_read_and_write(f):
    assert list(REQ.__annotations__.items()) == [("name", "str"), ("context", "str"),
                                                 ("return", "None")]
    assert LOAD.__annotations__ == {"return": "set[str]"}
    assert f.__annotations__ is f.__annotations__
    new = {"x": int}
    f.__annotations__ = new
    assert f.__annotations__ is new
    assert f.__dict__["__annotate__"] is None
    f.__annotations__ = None
    fresh = f.__annotations__
    assert fresh == {} and fresh is f.__annotations__
    del f.__annotations__
    assert f.__annotations__ == {}
    with pytest.raises(TypeError) as info:
        f.__annotations__ = [("x", int)]
    assert info.value.args == ("__annotations__ must be set to a dict object",)


def test_annotate_without_stored_callable(f):
    assert "__annotate__" not in f.__dict__
    ann = f.__annotate__
    assert callable(ann)
    for args in [(), (1,), (2, "x")]:
        assert ann(*args) == f.__annotations__
    assert ann(1) is f.__annotations__


def test_annotate_rules(f):
    with pytest.raises(TypeError) as info:
        del f.__annotate__
    assert info.value.args == ("__annotate__ cannot be deleted",)
    with pytest.raises(TypeError) as info:
        f.__annotate__ = 5
    assert info.value.args == ("__annotate__ must be callable or None",)

    seen = []

    def annotate(fmt):
        seen.append(fmt)
        return {"computed": "yes"}
    f.__annotate__ = annotate
    assert f.__dict__["__annotate__"] is annotate and f.__annotate__ is annotate
    assert f.__annotations__ == {"computed": "yes"}
    assert f.__annotations__ == {"computed": "yes"}
    assert seen == [1]

    f.__annotate__ = lambda fmt: ["not", "a", "dict"]
    with pytest.raises(TypeError) as info:
        f.__annotations__
    assert info.value.args == ("__annotate__ must return a dict",)

    f.__annotate__ = None
    assert f.__annotate__ is None
    assert f.__annotations__ == {}


def test_code_objects():
    cases = [(REQ, "src/pellandor/brimsett", 30, ("name", "context")),
             (LOAD, "src/pellandor/brimsett", 16, ()),
             (BUILD, "src/pellandor/mistrel", 14, ("repo_path",))]
    for func, filename, first, params in cases:
        code = func.__code__
        assert isinstance(code, types.CodeType)
        assert code.co_argcount == len(params)
        assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
        assert code.co_varnames[:len(params)] == params
        assert code.co_nlocals == len(code.co_varnames)
        assert code.co_filename == filename
        assert code.co_name == func.__name__ and code.co_qualname == func.__name__
        assert code.co_firstlineno == first
        assert code.co_flags == 3
        assert code.co_consts == () and code.co_names == ()
        assert code.co_freevars == () and code.co_cellvars == ()
        lines = [line for _, _, line in code.co_lines() if line is not None]
        assert lines and lines[0] == first and min(lines) >= first
        list(code.co_positions())
    assert "caps" in REQ.__code__.co_varnames
    assert "require_capability" in BUILD.__code__.co_varnames
    assert "resp" in LOAD.__code__.co_varnames


# --- descriptor binding, repr, weakref, gc, pickle ---------------------------------------

def test_descriptor_binding():
    class Holder:
        m = REQ
    h = Holder()
    bound = h.m
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is REQ and bound.__self__ is h
    assert Holder.m is REQ
    assert FT.__get__(REQ, None, Holder) is REQ
    assert REQ.__get__(h, Holder).__self__ is h
    # the instance becomes ``name``, and the type check then refuses it
    with pytest.raises(TypeError) as info:
        h.m("context")
    assert info.value.args == (
        "Argument 'name' has incorrect type (expected str, got Holder)",)
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        h.m("a", "b")


def test_repr():
    for func in FUNCS:
        match = re.fullmatch(r"<pellandor_function (\S+) at (0x[0-9a-fA-F]+)>", repr(func))
        assert match, repr(func)
        assert match[1] == func.__qualname__ and int(match[2], 16) == id(func)


def test_weak_references():
    ref = weakref.ref(REQ)
    assert ref() is REQ
    calls = []
    proxy = weakref.proxy(BUILD, calls.append)
    assert proxy.__name__ == "build_scan_config"
    cache = weakref.WeakKeyDictionary({LOAD: 1})
    assert cache[LOAD] == 1


def test_traverse_sees_fields_and_dict(f):
    sentinel = type("Sentinel", (), {})()
    f.held = sentinel
    referents = gc.get_referents(f)
    assert gc.is_tracked(f)
    assert any(r is sentinel or r is f.__dict__ for r in referents)
    assert any(r is f.__globals__ for r in referents)
    assert any(r is f.__code__ for r in referents)


def test_cycle_through_function_dict_is_collected():
    run_python("""
        import gc, weakref
        import pellandor.mistrel as m
        func = m.build_scan_config
        del m.build_scan_config
        class Holder: pass
        holder = Holder()
        holder.func = func
        func.holder = holder
        func.self_ref = func
        refs = weakref.ref(func), weakref.ref(holder)
        del func, holder
        gc.collect()
        assert [r() for r in refs] == [None, None], gc.get_referrers(refs[0]())
    """)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickled_by_reference(protocol):
    for func in FUNCS:
        assert func.__reduce__() == func.__qualname__
        data = pickle.dumps(func, protocol)
        assert pickle.loads(data) is func


def test_signature():
    sig = inspect.signature(REQ)
    assert list(sig.parameters) == ["name", "context"]
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty and p.annotation == "str"
    assert sig.return_annotation == "None"
    assert str(inspect.signature(LOAD)) == "() -> 'set[str]'"
    assert str(inspect.signature(BUILD)) == "(repo_path: 'Path') -> 'dict[str, object]'"
    evaluated = inspect.signature(BUILD, eval_str=True)
    assert evaluated.parameters["repo_path"].annotation is pathlib.Path
    assert evaluated.return_annotation == dict[str, object]
    assert inspect.signature(REQ, eval_str=True).return_annotation is None


def test_gate_and_builder_share_the_type():
    assert type(brimsett.require_capability) is type(mistrel.build_scan_config)
    assert type(brimsett._load_capabilities) is type(mistrel.build_scan_config)


# --- what hostile callers and the collector can do --------------------------------------------

def test_running_code_objects_and_deriving_types_raise():
    # Each of these killed the interpreter; now each raises as the interpreter's own objects do.
    out = run_python("""
        import traceback, types
        import pellandor.brimsett as b
        FT = type(b.require_capability)
        def outcome(run):
            try:
                run()
            except BaseException as exc:
                entry = traceback.extract_tb(exc.__traceback__)[-1]
                return type(exc).__name__, entry.lineno
        load, req = b._load_capabilities, b.require_capability
        print(outcome(lambda: exec(load.__code__)))
        print(outcome(lambda: types.FunctionType(load.__code__, {})()))
        print(outcome(lambda: types.FunctionType(req.__code__, {})("a", "b")))
        print(outcome(lambda: exec(req.__code__))[0])
        for derive in [lambda: type("G", (FT,), {}), lambda: type(FT)("G", (), {})]:
            try:
                derive()
            except TypeError as exc:
                print(exc)
    """).stdout.splitlines()
    meta = "_pellandor_frame_v1._common_types_metatype"
    assert out == ["('AssertionError', 16)", "('AssertionError', 16)", "('AssertionError', 30)",
                   "TypeError", f"cannot create '{meta}' instances",
                   f"cannot create '{meta}' instances"]


def test_annotate_storing_annotations_leaks_nothing(f):
    stored = {"x": "y"}

    def annotate(fmt):
        f.__annotations__ = stored
        return stored
    before = sys.getrefcount(stored)
    for _ in range(10):
        f.__annotate__ = annotate
        assert f.__annotations__ is stored
    del f.__annotations__
    assert sys.getrefcount(stored) == before


def test_cleared_function_stays_readable():
    # What the collector's tp_clear leaves behind is read by whatever still reaches the object.
    out = run_python("""
        import ctypes, pickle
        import pellandor.mistrel as m
        f = m.build_scan_config
        tp_clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(
            ctypes.c_void_p.from_address(id(type(f)) + 24 * ctypes.sizeof(ctypes.c_void_p)).value)
        tp_clear(f)
        print(repr(f.__qualname__), repr(f.__name__), f.__doc__ is None or f.__doc__[:5],
              f.__reduce__() == "", repr(f).startswith("<pellandor_function  at"))
    """).stdout.split()
    assert out == ["''", "''", "Build", "True", "True"]
