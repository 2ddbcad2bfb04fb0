"""pellandor.sparse as a module: its namespace, the service singleton and its initialisation."""

import json
import logging
import traceback

import pytest

from leakcheck import assert_no_leaks

import pellandor.sparse as sparse
from conftest import run_python

SRC = "src/pellandor/sparse"
GET = "pellandor.sparse.get_sparse_service"
INIT = "pellandor.sparse.SparseEmbeddingService.__init__"
BOUND_NAMES = ["json", "logging", "dataclass", "pellandor_core_py", "settings", "logger",
               "SparseResult", "SparseEmbeddingService", "_sparse_service",
               "get_sparse_service", "reset_sparse_service", "__test__"]


def entries(exc):
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == SRC]


@pytest.fixture
def no_service(monkeypatch, fake_settings, fake_core):
    monkeypatch.setattr(sparse, "_sparse_service", None)
    return fake_settings


def test_module_docstring():
    assert sparse.__doc__ == (
        "\nSparse embedding service using Rust pellandor-core for BM25-style sparse vectors.\n\n"
        "This module provides deterministic, bounded-latency sparse embeddings with\n"
        "code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.\n")


@pytest.mark.parametrize("function, doc, annotations, line", [
    (sparse.get_sparse_service, "Get or create the sparse embedding service singleton.",
     {"return": "SparseEmbeddingService"}, 97),
    (sparse.reset_sparse_service, "Reset the sparse service singleton (for testing).",
     {"return": "None"}, 105),
], ids=["get", "reset"])
def test_function_attributes(function, doc, annotations, line):
    name = function.__name__
    assert type(function).__name__ == "pellandor_function"
    assert (function.__qualname__, function.__module__, function.__doc__) == (
        name, "pellandor.sparse", doc)
    assert function.__annotations__ == annotations
    code = function.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (SRC, name, line)
    assert (code.co_argcount, code.co_varnames) == (0, ())


@pytest.mark.parametrize("name", ["get_sparse_service", "reset_sparse_service"])
@pytest.mark.parametrize("args, kwargs, tail", [
    ((1,), {}, "takes no arguments (1 given)"),
    (("a", "b"), {}, "takes no arguments (2 given)"),
    ((), {"x": 1}, "takes no keyword arguments"),
    ((1,), {"x": 1}, "takes no keyword arguments"),
])
def test_no_arguments_accepted(no_service, name, args, kwargs, tail):
    with pytest.raises(TypeError) as info:
        getattr(sparse, name)(*args, **kwargs)
    assert str(info.value) == f"{name}() {tail}"
    assert entries(info.value) == []
    assert sparse._sparse_service is None


class TestSingleton:
    def test_same_object_and_one_log_record(self, no_service, fake_core, caplog):
        caplog.set_level(logging.INFO, logger="pellandor.sparse")
        first = sparse.get_sparse_service()
        assert type(first) is sparse.SparseEmbeddingService
        assert sparse.get_sparse_service() is first and sparse._sparse_service is first
        assert len([r for r in caplog.records if r.name == "pellandor.sparse"]) == 1
        assert fake_core.calls == []

    def test_reset_gives_a_new_service_and_the_old_one_lives_on(self, no_service, fake_core):
        old = sparse.get_sparse_service()
        no_service.sparse_profile_version = "v2"
        assert sparse.reset_sparse_service() is None and sparse._sparse_service is None
        new = sparse.get_sparse_service()
        assert new is not old and sparse.get_sparse_service() is new
        assert '"version": "v1"' in old._profile_json and '"version": "v2"' in new._profile_json
        old.embed_single("still usable")
        assert fake_core.calls[-1] == ("sparse_embed_single", "still usable", old._profile_json)

    def test_reset_before_any_get(self, no_service):
        assert sparse.reset_sparse_service() is None
        assert sparse._sparse_service is None

    def test_failed_construction_leaves_none_and_is_retried(self, no_service):
        del no_service.sparse_profile_version
        with pytest.raises(AttributeError) as info:
            sparse.get_sparse_service()
        assert entries(info.value) == [(GET, 101), (INIT, 41)]
        assert sparse._sparse_service is None
        no_service.sparse_profile_version = "back"
        assert sparse.get_sparse_service().profile_version == "back"

    def test_stored_object_is_returned_unchecked(self, no_service, monkeypatch):
        stored = ["not", "a", "service"]
        monkeypatch.setattr(sparse, "_sparse_service", stored)
        assert sparse.get_sparse_service() is stored

    def test_rebound_class_is_used(self, no_service, monkeypatch):
        made = []

        def factory(*args, **kwargs):
            made.append((args, kwargs))
            return "made"
        monkeypatch.setattr(sparse, "SparseEmbeddingService", factory)
        assert sparse.get_sparse_service() == "made" and sparse.get_sparse_service() == "made"
        assert made == [((), {})]

    def test_constructor_exception_passes_through(self, no_service, monkeypatch):
        error = RuntimeError("no service")

        def factory():
            raise error
        monkeypatch.setattr(sparse, "SparseEmbeddingService", factory)
        with pytest.raises(RuntimeError) as info:
            sparse.get_sparse_service()
        assert info.value is error and entries(error) == [(GET, 101)]

    @pytest.mark.parametrize("name, line", [("_sparse_service", 100),
                                            ("SparseEmbeddingService", 101)])
    def test_missing_globals(self, no_service, monkeypatch, name, line):
        monkeypatch.delattr(sparse, name)
        with pytest.raises(NameError) as info:
            sparse.get_sparse_service()
        assert str(info.value) == f"name '{name}' is not defined"
        assert entries(info.value) == [(GET, line)]

    def test_result_is_read_back_after_the_store(self, no_service, monkeypatch):
        class Vanishing:
            """Deletes the module's singleton when the store replaces it."""

            def __del__(self):
                del sparse._sparse_service

        def factory():
            sparse._sparse_service = Vanishing()
            return "new"
        monkeypatch.setattr(sparse, "SparseEmbeddingService", factory)
        with pytest.raises(NameError) as info:
            sparse.get_sparse_service()
        assert entries(info.value) == [(GET, 102)]


# Fresh interpreters: the module's statements run once per process.

PRELUDE = """
import importlib, json, sys, traceback, types

class Settings:
    sparse_profile_version = "fresh"
    sparse_max_text_chars = 50
    code_pretokenize = False

def make_core():
    core = types.ModuleType("pellandor_core_py")
    core.sparse_embed_single = lambda text, profile: json.dumps(
        {"indices": [len(text)], "values": [1.0]})
    return core

def make_config(settings=True):
    config = types.ModuleType("pellandor.config")
    if settings:
        config.settings = Settings()
    return config

def attempt():
    try:
        importlib.import_module("pellandor.sparse")
    except Exception as exc:
        return {"type": type(exc).__name__, "import_error": isinstance(exc, ImportError),
                "message": str(exc),
                "entries": [[e.name, e.lineno] for e in traceback.extract_tb(exc.__traceback__)
                            if e.filename == "src/pellandor/sparse"]}

def state():
    m = importlib.import_module("pellandor.sparse")
    import dataclasses, logging
    return {
        "names": [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))
                  or n == "__test__"],
        "bindings": [m.json is json, m.logging is logging, m.dataclass is dataclasses.dataclass,
                     m.pellandor_core_py is sys.modules["pellandor_core_py"],
                     m.settings is sys.modules["pellandor.config"].settings,
                     m.logger is logging.getLogger("pellandor.sparse"),
                     dataclasses.is_dataclass(m.SparseResult), m._sparse_service is None,
                     type(m.__test__) is dict and m.__test__ == {}],
        "embedded": m.get_sparse_service().embed_single("abcd").indices,
    }

import pellandor
"""

ALL_TRUE = [True] * 9


def fresh(body):
    result = run_python(PRELUDE + body)
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_namespace_in_binding_order():
    out = fresh("""
sys.modules["pellandor_core_py"] = make_core()
sys.modules["pellandor.config"] = make_config()
print(json.dumps(state()))
""")
    assert out == {"names": BOUND_NAMES, "bindings": ALL_TRUE, "embedded": [4]}


def test_import_fails_without_core_before_config_is_imported():
    out = fresh("""
requested, blocked = [], True

class Finder:
    @staticmethod
    def find_spec(name, path=None, target=None):
        requested.append(name)
        if name == "pellandor_core_py" and blocked:
            raise ModuleNotFoundError("No module named 'pellandor_core_py'", name=name)
        return None

for name in ("pellandor_core_py", "pellandor.config"):
    sys.modules.pop(name, None)
sys.meta_path.insert(0, Finder)
first = attempt()
first["config"] = "pellandor.config" in requested or "pellandor.config" in sys.modules
blocked = False
sys.modules["pellandor_core_py"] = make_core()
sys.modules["pellandor.config"] = make_config()
print(json.dumps({"first": first, "then": state()}))
""")
    assert out["first"] == {
        "type": "ModuleNotFoundError", "import_error": True,
        "message": "No module named 'pellandor_core_py'",
        "entries": [["init pellandor.sparse", 12]], "config": False}
    assert out["then"] == {"names": BOUND_NAMES, "bindings": ALL_TRUE, "embedded": [4]}


def test_import_fails_when_config_has_no_settings():
    out = fresh("""
sys.modules["pellandor_core_py"] = make_core()
sys.modules["pellandor.config"] = make_config(settings=False)
first = attempt()
sys.modules["pellandor.config"].settings = Settings()
print(json.dumps({"first": first, "then": state()}))
""")
    assert out["first"] == {"type": "ImportError", "import_error": True,
                            "message": "cannot import name settings",
                            "entries": [["init pellandor.sparse", 14]]}
    assert out["then"] == {"names": BOUND_NAMES, "bindings": ALL_TRUE, "embedded": [4]}


def test_import_fails_when_dataclass_raises():
    out = fresh("""
import dataclasses as real
seen = []

def dataclass(*args, **kwargs):
    cls = args[0]
    seen.append({"args": len(args), "kwargs": sorted(kwargs), "type": type(cls).__name__,
                 "name": [cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__],
                 "bases": [b.__name__ for b in cls.__bases__], "namespace": list(vars(cls)),
                 "annotations": list(cls.__annotations__.items()),
                 "defaults": [cls.truncated, cls.original_chars, cls.used_chars]})
    raise RuntimeError("refused")

fake = types.ModuleType("dataclasses")
fake.dataclass = dataclass
sys.modules["dataclasses"] = fake
sys.modules["pellandor_core_py"] = make_core()
sys.modules["pellandor.config"] = make_config()
first = attempt()
sys.modules["dataclasses"] = real
print(json.dumps({"first": first, "seen": seen, "then": state()}))
""")
    assert out["first"] == {"type": "RuntimeError", "import_error": False, "message": "refused",
                            "entries": [["init pellandor.sparse", 19]]}
    assert out["seen"] == [{
        "args": 1, "kwargs": [], "type": "type",
        "name": ["SparseResult", "SparseResult", "pellandor.sparse",
                 "Sparse embedding result with plain Python lists."],
        "bases": ["object"],
        "namespace": ["__module__", "__doc__", "__annotations__", "truncated", "original_chars",
                      "used_chars", "__dict__", "__weakref__"],
        "annotations": [["indices", "list[int]"], ["values", "list[float]"],
                        ["truncated", "bool | None"], ["original_chars", "int | None"],
                        ["used_chars", "int | None"]],
        "defaults": [None, None, None]}]
    assert out["then"] == {"names": BOUND_NAMES, "bindings": ALL_TRUE, "embedded": [4]}


# --- reference and memory leaks -------------------------------------------------------------

@pytest.mark.parametrize("case", ["get", "reset_and_get", "failing_construction", "arguments",
                                  "no_service_class"])
def test_no_leaks(no_service, monkeypatch, case):
    monkeypatch.setattr(sparse, "logger", logging.getLogger("pellandor.sparse.quiet"))
    logging.getLogger("pellandor.sparse.quiet").setLevel(logging.WARNING)
    version = "".join(["leak", "-version"])
    no_service.sparse_profile_version = version
    argument = "".join(["leak", "-argument"])
    if case == "failing_construction":
        monkeypatch.delattr(no_service, "code_pretokenize")
    if case == "no_service_class":
        monkeypatch.delattr(sparse, "SparseEmbeddingService")
    calls = {
        "get": lambda: sparse.get_sparse_service(),
        "reset_and_get": lambda: (sparse.reset_sparse_service(), sparse.get_sparse_service()),
        "failing_construction": lambda: sparse.get_sparse_service(),
        "arguments": lambda: sparse.get_sparse_service(argument, key=argument),
        "no_service_class": lambda: sparse.get_sparse_service(),
    }
    assert_no_leaks(calls[case], version, argument, expected=(AttributeError, TypeError, NameError))
