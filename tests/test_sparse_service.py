"""SparseResult and SparseEmbeddingService, driven through a fake core and fake settings."""

import dataclasses
import inspect
import json
import logging
import traceback
import types

import pytest

from conftest import QuietCore
from leakcheck import assert_no_leaks

import pellandor.sparse as sparse
from pellandor.sparse import SparseEmbeddingService, SparseResult

SRC = "src/pellandor/sparse"
LOG_FORMAT = "Sparse embedding: using Rust backend (profile=%s)"
SUBCLASS_NOTE = (
    "This check is stricter than the type annotation: it rejects subclasses of built-in types. "
    "Build with PELLANDOR_EXACT_BUILTIN_ARGS=0 to accept them.")
FULL = {"indices": [3, 7], "values": [1.5, 0.25], "truncated": True,
        "original_chars": 12, "used_chars": 10}


def entries(exc):
    """(name, line) of each traceback entry the module added, outermost first."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == SRC]


def at(method, line):
    return (f"pellandor.sparse.SparseEmbeddingService.{method}", line)


class Boom(Exception):
    pass


class MyStr(str):
    pass


class MyList(list):
    pass


class Exploding:
    """Any attribute access fails: proves a global was never touched."""

    def __getattribute__(self, name):
        raise AssertionError(f"touched: {name}")


class Decoded:
    """A decoded embedding object that logs how it is read and can fail on one member."""

    def __init__(self, members, log, fail=None):
        self.members, self.log, self.fail = members, log, fail

    def __getitem__(self, key):
        self.log.append(("[]", key))
        if key == self.fail:
            raise Boom(key)
        return self.members[key]

    def get(self, *args):
        self.log.append(("get",) + args)
        if args[0] == self.fail:
            raise Boom(args[0])
        return self.members.get(args[0])


def json_with_loads(monkeypatch, loads):
    monkeypatch.setattr(sparse, "json", types.SimpleNamespace(dumps=json.dumps, loads=loads))


@pytest.fixture
def svc(fake_settings, fake_core):
    return SparseEmbeddingService()


class TestSparseResult:
    def test_is_a_plain_dataclass_with_default_options(self):
        assert dataclasses.is_dataclass(SparseResult) and type(SparseResult) is type
        assert SparseResult.__bases__ == (object,)
        default = dataclasses.dataclass(type("T", (), {})).__dataclass_params__
        assert repr(SparseResult.__dataclass_params__) == repr(default)
        assert (SparseResult.__module__, SparseResult.__qualname__, SparseResult.__name__) == (
            "pellandor.sparse", "SparseResult", "SparseResult")
        assert SparseResult.__doc__ == "Sparse embedding result with plain Python lists."

    def test_fields_annotations_and_defaults(self):
        expected = [("indices", "list[int]"), ("values", "list[float]"),
                    ("truncated", "bool | None"), ("original_chars", "int | None"),
                    ("used_chars", "int | None")]
        assert list(SparseResult.__annotations__.items()) == expected
        fields = dataclasses.fields(SparseResult)
        assert [(f.name, f.type) for f in fields] == expected
        assert [f.default for f in fields] == [dataclasses.MISSING] * 2 + [None] * 3
        assert str(inspect.signature(SparseResult)) == (
            "(indices: 'list[int]', values: 'list[float]', truncated: 'bool | None' = None, "
            "original_chars: 'int | None' = None, used_chars: 'int | None' = None) -> None")

    def test_repr_equality_mutability_unhashable(self):
        r = SparseResult([1], [0.5])
        assert repr(r) == ("SparseResult(indices=[1], values=[0.5], truncated=None, "
                           "original_chars=None, used_chars=None)")
        assert r == SparseResult(indices=[1], values=[0.5])
        assert r != SparseResult([1], [0.5], truncated=False)
        r.truncated = True
        assert r.truncated is True
        assert SparseResult.__hash__ is None
        with pytest.raises(TypeError):
            hash(r)


METHODS = [
    # name, docstring, annotations, first line, local names, defaults
    ("__init__", None, {"return": "None"}, 39, ("self",), None),
    ("profile_version", "Return the profile version string for cache tagging.",
     {"return": "str"}, 51, ("self",), None),
    ("embed_single", "Embed a single text into a sparse vector.",
     {"text": "str", "return": "SparseResult"}, 56, ("self", "text", "result_json", "result"), None),
    ("embed_batch", "Embed a batch of texts into sparse vectors.",
     {"texts": "list[str]", "return": "list[SparseResult]"}, 68,
     ("self", "texts", "texts_json", "result_json", "batch", "e"), None),
    ("embed_batch_list", "Embed a batch of texts and return as a list (batch_size ignored).",
     {"texts": "list[str]", "batch_size": "int | None", "return": "list[SparseResult]"}, 86,
     ("self", "texts", "batch_size"), (None,)),
]


class TestServiceClass:
    def test_class_attributes_and_namespace_order(self):
        cls = SparseEmbeddingService
        assert type(cls) is type and cls.__bases__ == (object,)
        assert (cls.__module__, cls.__qualname__) == ("pellandor.sparse", "SparseEmbeddingService")
        assert cls.__doc__ == (
            "\n    Sparse embeddings via Rust pellandor-core.\n\n"
            "    Uses deterministic tokenization and log-TF weighting. The Rust backend\n"
            "    releases the GIL during computation, so it's safe to call from async\n"
            "    executor contexts.\n    ")
        assert list(vars(cls)) == [
            "__module__", "__doc__", "__init__", "profile_version", "embed_single",
            "embed_batch", "embed_batch_list", "__dict__", "__weakref__"]

    @pytest.mark.parametrize("name, doc, annotations, line, varnames, defaults", METHODS,
                             ids=[m[0] for m in METHODS])
    def test_member_functions(self, name, doc, annotations, line, varnames, defaults):
        member = vars(SparseEmbeddingService)[name]
        if name == "profile_version":
            assert type(member) is property and member.fset is None and member.fdel is None
            assert member.__doc__ == doc
            member = member.fget
        assert type(member).__name__ == "pellandor_function"
        assert member.__name__ == name
        assert member.__qualname__ == f"SparseEmbeddingService.{name}"
        assert member.__module__ == "pellandor.sparse"
        assert member.__doc__ == doc
        assert list(member.__annotations__.items()) == list(annotations.items())
        assert member.__defaults__ == defaults
        code = member.__code__
        assert (code.co_filename, code.co_name, code.co_firstlineno) == (SRC, name, line)
        # annotations name every parameter but self, plus "return"
        assert code.co_varnames == varnames and code.co_argcount == len(annotations)

    def test_signature_of_embed_batch_list(self):
        assert str(inspect.signature(SparseEmbeddingService.embed_batch_list)) == (
            "(self, texts: 'list[str]', batch_size: 'int | None' = None)"
            " -> 'list[SparseResult]'")


class TestConstruction:
    @pytest.mark.parametrize("overrides, profile", [
        ({}, '{"version": "v1", "max_text_chars": 1000, "code_pretokenize": true, '
             '"min_token_len": 2}'),
        ({"sparse_profile_version": 7, "sparse_max_text_chars": None, "code_pretokenize": False},
         '{"version": 7, "max_text_chars": null, "code_pretokenize": false, "min_token_len": 2}'),
        ({"sparse_profile_version": None, "sparse_max_text_chars": 2.5,
          "code_pretokenize": "yes", "min_token_len": 9},
         '{"version": null, "max_text_chars": 2.5, "code_pretokenize": "yes", '
         '"min_token_len": 2}'),
        ({"sparse_profile_version": "v\u00e9\n", "sparse_max_text_chars": [1, 2]},
         '{"version": "v\\u00e9\\n", "max_text_chars": [1, 2], "code_pretokenize": true, '
         '"min_token_len": 2}'),
    ])
    def test_profile_json_text(self, fake_settings, fake_core, overrides, profile):
        vars(fake_settings).update(overrides)
        service = SparseEmbeddingService()
        assert type(service._profile_json) is str and service._profile_json == profile
        assert vars(service) == {"_profile_json": profile}
        assert fake_core.calls == []

    def test_calls_no_core_function(self, fake_settings, monkeypatch):
        monkeypatch.setattr(sparse, "pellandor_core_py", Exploding())
        SparseEmbeddingService()

    def test_settings_read_in_order_each_time_afresh(self, monkeypatch, fake_core):
        reads = []

        class Chain:
            """Every read rebinds the module's settings to the next object of the chain."""

            def __init__(self, index):
                self.index = index

            def __getattr__(self, name):
                reads.append((self.index, name))
                sparse.settings = chain[self.index + 1]
                return {"sparse_profile_version": f"v{self.index}",
                        "sparse_max_text_chars": 100 + self.index,
                        "code_pretokenize": self.index}[name]

        chain = [Chain(i) for i in range(5)]
        monkeypatch.setattr(sparse, "settings", chain[0])
        logged = []
        monkeypatch.setattr(sparse, "logger",
                            types.SimpleNamespace(info=lambda *a, **k: logged.append((a, k))))
        service = SparseEmbeddingService()
        assert reads == [(0, "sparse_profile_version"), (1, "sparse_max_text_chars"),
                         (2, "code_pretokenize"), (3, "sparse_profile_version")]
        assert service._profile_json == (
            '{"version": "v0", "max_text_chars": 101, "code_pretokenize": 2, "min_token_len": 2}')
        assert logged == [((LOG_FORMAT, "v3"), {})]

    @pytest.mark.parametrize("version", ["prof-7", 70000, None])
    def test_one_info_record(self, fake_settings, fake_core, caplog, version):
        if isinstance(version, str):
            version = "".join([version, "!"])  # a run-time string, compared by identity below
        fake_settings.sparse_profile_version = version
        caplog.set_level(logging.INFO, logger="pellandor.sparse")
        SparseEmbeddingService()
        [record] = [r for r in caplog.records if r.name == "pellandor.sparse"]
        assert record.levelno == logging.INFO and record.msg == LOG_FORMAT
        assert record.args == (version,) and record.args[0] is version
        assert record.getMessage() == f"Sparse embedding: using Rust backend (profile={version})"

    class VersionOnce:
        """sparse_profile_version can be read once only; the second read fails."""

        sparse_max_text_chars = 1
        code_pretokenize = True

        def __init__(self):
            self.reads = 0

        @property
        def sparse_profile_version(self):
            self.reads += 1
            if self.reads > 1:
                raise Boom("second read")
            return "v"

    @pytest.mark.parametrize("case, exc_type, message, line", [
        ("unserialisable", TypeError, "Object of type object is not JSON serializable", 40),
        ("json_without_dumps", AttributeError,
         "'types.SimpleNamespace' object has no attribute 'dumps'", 40),
        ("no_sparse_profile_version", AttributeError, None, 41),
        ("no_settings_global", NameError, "name 'settings' is not defined", 41),
        ("no_sparse_max_text_chars", AttributeError, None, 42),
        ("no_code_pretokenize", AttributeError, None, 43),
        ("info_raises", Boom, "log", 46),
        ("logger_without_info", AttributeError, None, 46),
        ("no_logger_global", NameError, "name 'logger' is not defined", 46),
        ("second_version_read_fails", Boom, "second read", 48),
    ])
    def test_failures(self, fake_settings, fake_core, monkeypatch, case, exc_type, message,
                      line):
        logged = []
        monkeypatch.setattr(sparse, "logger",
                            types.SimpleNamespace(info=lambda *a: logged.append(a)))
        if case == "unserialisable":
            fake_settings.sparse_max_text_chars = object()
        elif case == "json_without_dumps":
            monkeypatch.setattr(sparse, "json", types.SimpleNamespace(loads=json.loads))
            del fake_settings.sparse_profile_version  # json.dumps is looked up first
        elif case.startswith("no_") and case.endswith("_global"):
            monkeypatch.delattr(sparse, case[3:-7])
        elif case.startswith("no_"):
            delattr(fake_settings, case[3:])
        elif case == "info_raises":
            def info(*args):
                raise Boom("log")
            monkeypatch.setattr(sparse, "logger", types.SimpleNamespace(info=info))
        elif case == "logger_without_info":
            monkeypatch.setattr(sparse, "logger", types.SimpleNamespace())
        elif case == "second_version_read_fails":
            monkeypatch.setattr(sparse, "settings", self.VersionOnce())
        with pytest.raises(exc_type) as info:
            SparseEmbeddingService()
        if message is not None:
            assert str(info.value) == message
        assert entries(info.value) == [at("__init__", line)]
        assert logged == [] and fake_core.calls == []

    def test_profile_is_stored_before_logging_fails(self, fake_settings, monkeypatch):
        def info(*args):
            raise Boom
        monkeypatch.setattr(sparse, "logger", types.SimpleNamespace(info=info))
        bare = object.__new__(SparseEmbeddingService)
        with pytest.raises(Boom):
            SparseEmbeddingService.__init__(bare)
        assert json.loads(bare._profile_json)["version"] == "v1"
        fake_settings.sparse_max_text_chars = object()
        bare = object.__new__(SparseEmbeddingService)
        with pytest.raises(TypeError):
            SparseEmbeddingService.__init__(bare)
        assert vars(bare) == {}


class TestProfileVersion:
    def test_reads_settings_at_every_access(self, svc, fake_settings):
        profile = svc._profile_json
        version = "".join(["v", "2"])
        fake_settings.sparse_profile_version = version
        assert svc.profile_version is version
        assert svc._profile_json is profile and '"version": "v1"' in profile
        fake_settings.sparse_profile_version = None
        assert svc.profile_version is None

    def test_int_setting_builds_but_property_refuses(self, fake_settings, fake_core):
        fake_settings.sparse_profile_version = 3
        service = SparseEmbeddingService()
        assert service._profile_json.startswith('{"version": 3,')
        with pytest.raises(TypeError) as info:
            service.profile_version
        assert str(info.value) == "Expected str, got int"
        assert entries(info.value) == [at("profile_version", 54)]

    def test_str_subclass_refused(self, svc, fake_settings):
        fake_settings.sparse_profile_version = MyStr("v")
        with pytest.raises(TypeError, match="^Expected str, got MyStr$"):
            svc.profile_version

    def test_missing_setting(self, svc, fake_settings):
        del fake_settings.sparse_profile_version
        with pytest.raises(AttributeError) as info:
            svc.profile_version
        assert entries(info.value) == [at("profile_version", 54)]

    def test_read_only(self, svc):
        for action in (lambda: setattr(svc, "profile_version", "x"),
                       lambda: delattr(svc, "profile_version")):
            with pytest.raises(AttributeError):
                action()
        assert "profile_version" not in vars(svc)


class TestBinding:
    @pytest.mark.parametrize("call, message, method, line", [
        (lambda s: s.embed_single(),
         "embed_single() takes exactly 2 positional arguments (1 given)", "embed_single", 56),
        (lambda s: SparseEmbeddingService.embed_single("x"),
         "embed_single() takes exactly 2 positional arguments (1 given)", "embed_single", 56),
        (lambda s: s.embed_single("a", "b"),
         "embed_single() takes exactly 2 positional arguments (3 given)", "embed_single", 56),
        (lambda s: s.embed_single("a", text="b"),
         "embed_single() got multiple values for keyword argument 'text'", "embed_single", 56),
        (lambda s: s.embed_single(txt="a"),
         "embed_single() got an unexpected keyword argument 'txt'", "embed_single", 56),
        (lambda s: s.embed_batch(),
         "embed_batch() takes exactly 2 positional arguments (1 given)", "embed_batch", 68),
        (lambda s: s.embed_batch_list(batch_size=1),
         "embed_batch_list() takes at least 2 positional arguments (1 given)",
         "embed_batch_list", 86),
        (lambda s: s.embed_batch_list(["a"], 1, 2),
         "embed_batch_list() takes at most 3 positional arguments (4 given)",
         "embed_batch_list", 86),
        (lambda s: s.embed_batch_list(["a"], texts=["a"]),
         "embed_batch_list() got multiple values for keyword argument 'texts'",
         "embed_batch_list", 86),
        (lambda s: s.embed_batch_list(["a"], size=2),
         "embed_batch_list() got an unexpected keyword argument 'size'", "embed_batch_list", 86),
        (lambda s: SparseEmbeddingService(1),
         "__init__() takes exactly 1 positional argument (2 given)", "__init__", 39),
        (lambda s: SparseEmbeddingService.profile_version.fget(),
         "profile_version() takes exactly 1 positional argument (0 given)", "profile_version", 51),
    ])
    def test_binding_errors(self, svc, fake_core, call, message, method, line):
        with pytest.raises(TypeError) as info:
            call(svc)
        assert str(info.value) == message
        assert entries(info.value) == [at(method, line)]
        assert fake_core.calls == []

    def test_keywords_bind(self, svc, fake_core):
        assert svc.embed_single(text="a") == svc.embed_batch(texts=["a"])[0]
        assert svc.embed_batch_list(texts=["a"], batch_size=2) == svc.embed_batch_list(["a"])

    @pytest.mark.parametrize("call, message, noted", [
        (lambda s: s.embed_single(None), "Argument 'text' has incorrect type "
                                         "(expected str, got NoneType)", False),
        (lambda s: s.embed_single(MyStr("a")), "Argument 'text' has incorrect type "
                                               "(expected str, got MyStr)", True),
        (lambda s: s.embed_single(b"a"), "Argument 'text' has incorrect type "
                                         "(expected str, got bytes)", False),
        (lambda s: s.embed_batch(("a",)), "Argument 'texts' has incorrect type "
                                          "(expected list, got tuple)", False),
        (lambda s: s.embed_batch(MyList(["a"])), "Argument 'texts' has incorrect type "
                                                 "(expected list, got MyList)", True),
        (lambda s: s.embed_batch_list(None, 2.9), "Argument 'texts' has incorrect type "
                                                  "(expected list, got NoneType)", False),
        (lambda s: s.embed_batch_list(("a",)), "Argument 'texts' has incorrect type "
                                               "(expected list, got tuple)", False),
    ])
    def test_argument_types(self, svc, fake_core, call, message, noted):
        with pytest.raises(TypeError) as info:
            call(svc)
        assert str(info.value) == message
        assert getattr(info.value, "__notes__", []) == ([SUBCLASS_NOTE] if noted else [])
        assert entries(info.value) == []
        assert fake_core.calls == []


class TestEmbedSingle:
    def test_passes_text_and_profile_to_core(self, svc, fake_core):
        text = "".join(["fooBar", "_baz"])
        fake_core.single_answer = json.dumps(FULL)
        result = svc.embed_single(text)
        assert type(result) is SparseResult and result == SparseResult(**FULL)
        [(name, sent, profile)] = fake_core.calls
        assert name == "sparse_embed_single" and sent is text and profile is svc._profile_json

    def test_empty_string_goes_to_core(self, svc, fake_core):
        svc.embed_single("")
        assert fake_core.calls == [("sparse_embed_single", "", svc._profile_json)]

    @pytest.mark.parametrize("members, expected", [
        ({}, (None, None, None)),
        ({"truncated": None, "original_chars": None, "used_chars": None}, (None, None, None)),
        ({"truncated": False, "original_chars": 0, "used_chars": 0, "other": 1}, (False, 0, 0)),
    ])
    def test_optional_members(self, svc, fake_core, members, expected):
        fake_core.single_answer = json.dumps({"indices": [1], "values": [2.0], **members})
        result = svc.embed_single("a")
        assert (result.truncated, result.original_chars, result.used_chars) == expected
        assert result.truncated is expected[0]

    def test_bytes_answer(self, svc, fake_core):
        fake_core.single_answer = json.dumps(FULL).encode()
        assert svc.embed_single("a") == SparseResult(**FULL)

    def test_reads_no_settings_and_sees_rebound_globals(self, svc, fake_core, monkeypatch):
        monkeypatch.delattr(sparse, "settings")
        built = []
        monkeypatch.setattr(sparse, "SparseResult", lambda **kw: built.append(kw) or "record")
        fake_core.single_answer = json.dumps(FULL)
        assert svc.embed_single("a") == "record"
        assert [list(kw.items()) for kw in built] == [list(FULL.items())]

    def test_reads_members_in_order_and_keeps_their_objects(self, svc, monkeypatch):
        log = []
        members = {"indices": [1], "values": [0.5], "truncated": True,
                   "original_chars": 9, "used_chars": 4}
        json_with_loads(monkeypatch, lambda text: Decoded(members, log))
        result = svc.embed_single("a")
        assert log == [("[]", "indices"), ("[]", "values"), ("get", "truncated"),
                       ("get", "original_chars"), ("get", "used_chars")]
        assert result.indices is members["indices"] and result.values is members["values"]

    @pytest.mark.parametrize("answer, exc_type, line", [
        ('{"values": [1.0]}', KeyError, 61),
        ('{"indices": [1]}', KeyError, 62),
        ("not json", json.JSONDecodeError, 59),
        ("[1, 2]", TypeError, 61),
    ])
    def test_bad_answers(self, svc, fake_core, answer, exc_type, line):
        fake_core.single_answer = answer
        with pytest.raises(exc_type) as info:
            svc.embed_single("a")
        if exc_type is KeyError:
            assert info.value.args == (("indices", "values")[line - 61],)
        assert entries(info.value) == [at("embed_single", line)]

    @pytest.mark.parametrize("case, exc_type, message, line", [
        ("core_raises", Boom, None, 58),
        ("core_without_callable", AttributeError, None, 58),
        ("no_core_global", NameError, "name 'pellandor_core_py' is not defined", 58),
        ("no_profile", AttributeError, None, 58),
        ("json_without_loads", AttributeError, None, 59),
        ("no_result_global", NameError, "name 'SparseResult' is not defined", 60),
        ("result_raises", Boom, None, 60),
    ])
    def test_failures(self, svc, fake_core, monkeypatch, case, exc_type, message, line):
        raised = Boom()

        def fail(*args, **kwargs):
            raise raised
        service = svc
        if case == "core_raises":
            monkeypatch.setattr(fake_core, "sparse_embed_single", fail)
        elif case == "core_without_callable":
            monkeypatch.setattr(sparse, "pellandor_core_py", types.ModuleType("core"))
        elif case == "no_core_global":
            monkeypatch.delattr(sparse, "pellandor_core_py")
        elif case == "no_profile":
            service = object.__new__(SparseEmbeddingService)
        elif case == "json_without_loads":
            monkeypatch.setattr(sparse, "json", types.SimpleNamespace(dumps=json.dumps))
        elif case == "no_result_global":
            monkeypatch.delattr(sparse, "SparseResult")
            fake_core.single_answer = "{}"  # the class is looked up before the members are read
        elif case == "result_raises":
            monkeypatch.setattr(sparse, "SparseResult", fail)
        with pytest.raises(exc_type) as info:
            service.embed_single("a")
        if exc_type is Boom:
            assert info.value is raised
        if message is not None:
            assert str(info.value) == message
        assert entries(info.value) == [at("embed_single", line)]
        if case == "no_profile":
            assert fake_core.calls == []


@pytest.mark.parametrize("key, single_line, batch_line", [
    ("indices", 61, 77), ("values", 62, 78), ("truncated", 63, 79),
    ("original_chars", 64, 80), ("used_chars", 65, 81)])
def test_member_read_failure_lines(svc, monkeypatch, key, single_line, batch_line):
    members = dict(FULL)
    json_with_loads(monkeypatch, lambda text: Decoded(members, [], fail=key))
    with pytest.raises(Boom) as info:
        svc.embed_single("a")
    assert entries(info.value) == [at("embed_single", single_line)]
    json_with_loads(monkeypatch, lambda text: {
        "embeddings": [Decoded(members, []), Decoded(members, [], fail=key)]})
    with pytest.raises(Boom) as info:
        svc.embed_batch(["a", "b"])
    assert entries(info.value) == [at("embed_batch", batch_line)]


class TestEmbedBatch:
    def test_one_core_call_with_dumped_texts(self, svc, fake_core):
        texts = ["alpha", "b\u00e9taGamma", "snake_case", ""]
        results = svc.embed_batch(texts)
        assert fake_core.calls == [("sparse_embed_batch", json.dumps(texts), svc._profile_json)]
        assert fake_core.calls[0][2] is svc._profile_json
        single = SparseResult(**json.loads(fake_core.single_answer))
        assert type(results) is list and results == [single] * 4
        assert len({id(r) for r in results}) == 4

    def test_elements_are_sent_as_they_are(self, svc, fake_core):
        texts = ["a", 1, None, ["x"]]
        assert len(svc.embed_batch(texts)) == 4
        assert fake_core.calls[0][1] == '["a", 1, null, ["x"]]'

    @pytest.mark.parametrize("method", ["embed_batch", "embed_batch_list"])
    def test_empty_batch_touches_nothing(self, svc, monkeypatch, method):
        for name in ("pellandor_core_py", "json", "SparseResult"):
            monkeypatch.setattr(sparse, name, Exploding())
        texts = []
        result = getattr(svc, method)(texts)
        assert result == [] and type(result) is list and result is not texts

    @pytest.mark.parametrize("elements, count", [(0, 2), (3, 1)])
    def test_one_record_per_element(self, svc, fake_core, elements, count):
        answer = [{"indices": [i], "values": [float(i)], "used_chars": i} for i in range(elements)]
        fake_core.batch_answer = json.dumps({"embeddings": answer, "other": 1})
        results = svc.embed_batch(["t"] * count)
        assert results == [SparseResult([i], [float(i)], None, None, i) for i in range(elements)]

    def test_embeddings_may_be_any_iterable(self, svc, monkeypatch):
        json_with_loads(monkeypatch, lambda text: {"embeddings": (dict(FULL) for _ in range(2))})
        assert svc.embed_batch(["a"]) == [SparseResult(**FULL)] * 2

    def test_reads_members_in_order(self, svc, monkeypatch):
        log = []
        json_with_loads(monkeypatch, lambda text: {
            "embeddings": [Decoded(FULL, log), Decoded(FULL, log)]})
        svc.embed_batch(["a"])
        assert log == 2 * [("[]", "indices"), ("[]", "values"), ("get", "truncated"),
                           ("get", "original_chars"), ("get", "used_chars")]

    def test_failure_mid_iteration(self, svc, monkeypatch):
        def embeddings():
            yield dict(FULL)
            raise Boom
        json_with_loads(monkeypatch, lambda text: {"embeddings": embeddings()})
        with pytest.raises(Boom) as info:
            svc.embed_batch(["a"])
        assert entries(info.value) == [at("embed_batch", 83)]

    @pytest.mark.parametrize("answer, exc_type, line", [
        ('{"results": []}', KeyError, 83),
        ('{"embeddings": 5}', TypeError, 83),
        ('{"embeddings": [{"values": [1.0]}]}', KeyError, 77),
        ('{"embeddings": [{"indices": [1]}]}', KeyError, 78),
        ('{"embeddings": [1]}', TypeError, 77),
        ("nope", json.JSONDecodeError, 74),
    ])
    def test_bad_answers(self, svc, fake_core, answer, exc_type, line):
        fake_core.batch_answer = answer
        with pytest.raises(exc_type) as info:
            svc.embed_batch(["a"])
        if exc_type is KeyError:
            assert info.value.args == ({83: "embeddings", 77: "indices", 78: "values"}[line],)
        assert entries(info.value) == [at("embed_batch", line)]

    def test_unserialisable_element(self, svc, fake_core):
        with pytest.raises(TypeError, match="^Object of type object is not JSON serializable$") \
                as info:
            svc.embed_batch(["a", object()])
        assert entries(info.value) == [at("embed_batch", 72)]
        assert fake_core.calls == []

    @pytest.mark.parametrize("case, exc_type, line", [
        ("core_raises", Boom, 73),
        ("no_core_global", NameError, 73),
        ("no_result_global", NameError, 76),
        ("result_raises", Boom, 76),
    ])
    def test_failures(self, svc, fake_core, monkeypatch, case, exc_type, line):
        def fail(*args, **kwargs):
            raise Boom
        if case == "core_raises":
            monkeypatch.setattr(fake_core, "sparse_embed_batch", fail)
        elif case == "no_core_global":
            monkeypatch.delattr(sparse, "pellandor_core_py")
        elif case == "no_result_global":
            monkeypatch.delattr(sparse, "SparseResult")
        else:
            monkeypatch.setattr(sparse, "SparseResult", fail)
        with pytest.raises(exc_type) as info:
            svc.embed_batch(["a"])
        assert entries(info.value) == [at("embed_batch", line)]


class TestEmbedBatchList:
    @pytest.mark.parametrize("batch_size", [None, True, 2.9, 3.9, 0, -4, 10 ** 30])
    def test_behaves_as_embed_batch(self, svc, fake_core, batch_size):
        texts = ["a", "bb", "ccc"]
        fake_core.batch_answer = json.dumps({"embeddings": [FULL, {"indices": [], "values": []}]})
        assert svc.embed_batch_list(texts, batch_size) == svc.embed_batch(texts)
        assert svc.embed_batch_list(texts, batch_size=batch_size) == svc.embed_batch(texts)
        assert [c[1] for c in fake_core.calls] == [json.dumps(texts)] * 4

    @pytest.mark.parametrize("texts", [["a"], ("a",)])
    @pytest.mark.parametrize("batch_size", ["3", [3], float("nan"), float("inf"), 1j])
    def test_batch_size_normalisation_errors(self, svc, fake_core, texts, batch_size):
        if isinstance(batch_size, (str, list)):
            expected = TypeError(f"Argument 'batch_size' has incorrect type (expected int, "
                                 f"got {type(batch_size).__name__})")
        else:
            with pytest.raises(Exception) as reference:
                int(batch_size)
            expected = reference.value
        with pytest.raises(type(expected)) as info:
            svc.embed_batch_list(texts, batch_size)
        assert type(info.value) is type(expected) and str(info.value) == str(expected)
        assert entries(info.value) == [at("embed_batch_list", 87)]
        assert fake_core.calls == []

    def test_embed_batch_looked_up_on_the_instance(self, svc, fake_core):
        got, returned = [], ["anything"]
        svc.embed_batch = lambda *args, **kwargs: got.append((args, kwargs)) or returned
        texts = ["a"]
        assert svc.embed_batch_list(texts, 5) is returned
        assert got == [((texts,), {})] and got[0][0][0] is texts

        class Sub(SparseEmbeddingService):
            def embed_batch(self, texts):
                return None
        assert Sub().embed_batch_list(["a"]) is None
        assert fake_core.calls == []

    @pytest.mark.parametrize("value, name", [(("a",), "tuple"), (MyList(), "MyList"), ("", "str")])
    def test_result_must_be_a_list_or_none(self, svc, value, name):
        svc.embed_batch = lambda texts: value
        with pytest.raises(TypeError) as info:
            svc.embed_batch_list(["a"])
        assert str(info.value) == f"Expected list, got {name}"
        assert entries(info.value) == [at("embed_batch_list", 90)]

    def test_failures_inside_embed_batch(self, svc, fake_core):
        fake_core.batch_answer = "{}"
        with pytest.raises(KeyError) as info:
            svc.embed_batch_list(["a"])
        assert entries(info.value) == [at("embed_batch_list", 90), at("embed_batch", 83)]

        def fail(texts):
            raise Boom
        svc.embed_batch = fail
        with pytest.raises(Boom) as info:
            svc.embed_batch_list(["a"])
        assert entries(info.value) == [at("embed_batch_list", 90)]


# --- reference and memory leaks -------------------------------------------------------------


def leak_cases(s):
    """name -> (setup, call); setup(monkeypatch) prepares the module, call runs once."""
    good = QuietCore(json.dumps(FULL), json.dumps({"embeddings": [FULL, FULL]}))

    def core(single=good.single, batch=good.batch):
        return lambda mp: mp.setattr(sparse, "pellandor_core_py", QuietCore(single, batch))

    def failing_core(mp):
        def fail(*args):
            raise Boom(s.text)
        mp.setattr(sparse, "pellandor_core_py",
                   types.SimpleNamespace(sparse_embed_single=fail, sparse_embed_batch=fail))

    def settings(**over):
        # an override of None leaves the attribute out
        def setup(mp):
            core()(mp)
            values = {"sparse_profile_version": s.version, "sparse_max_text_chars": 99,
                      "code_pretokenize": True, **over}
            mp.setattr(sparse, "settings", types.SimpleNamespace(
                **{k: v for k, v in values.items() if v is not None}))
        return setup

    def odd_batch(mp):
        core()(mp)
        s.svc.embed_batch = lambda texts: s.tuple_texts

    def logging_fails(mp):
        settings()(mp)

        def info(*args):
            raise Boom(s.text)
        mp.setattr(sparse, "logger", types.SimpleNamespace(info=info))

    def result_class(value):
        def setup(mp):
            core()(mp)
            if value is None:
                mp.delattr(sparse, "SparseResult")
            else:
                mp.setattr(sparse, "SparseResult", value)
        return setup

    def result_raises(*args, **kwargs):
        raise Boom(s.text)

    return {
        "embed_single": (core(), lambda: s.svc.embed_single(s.text)),
        "embed_single_keyword": (core(), lambda: s.svc.embed_single(text=s.text)),
        "embed_batch": (core(), lambda: s.svc.embed_batch(s.texts)),
        "embed_batch_empty": (core(), lambda: s.svc.embed_batch(s.empty)),
        "embed_batch_list": (core(), lambda: s.svc.embed_batch_list(s.texts, s.size)),
        "embed_batch_list_keywords": (
            core(), lambda: s.svc.embed_batch_list(texts=s.texts, batch_size=s.size)),
        "profile_version": (settings(), lambda: s.svc.profile_version),
        "construct": (settings(), lambda: SparseEmbeddingService()),
        "construct_missing_setting": (settings(code_pretokenize=None),
                                      lambda: SparseEmbeddingService()),
        "construct_unserialisable": (settings(sparse_max_text_chars=s.bad_texts),
                                     lambda: SparseEmbeddingService()),
        "profile_version_wrong_type": (settings(sparse_profile_version=s.big),
                                       lambda: s.svc.profile_version),
        "text_subclass": (core(), lambda: s.svc.embed_single(s.my_text)),
        "text_list": (core(), lambda: s.svc.embed_single(s.texts)),
        "texts_tuple": (core(), lambda: s.svc.embed_batch(s.tuple_texts)),
        "missing_values": (core(single='{"indices": [1]}'), lambda: s.svc.embed_single(s.text)),
        "not_json": (core(single=s.junk), lambda: s.svc.embed_single(s.text)),
        "missing_embeddings": (core(batch="{}"), lambda: s.svc.embed_batch(s.texts)),
        "unserialisable_text": (core(), lambda: s.svc.embed_batch(s.bad_texts)),
        "core_raises": (failing_core, lambda: s.svc.embed_batch(s.texts)),
        "count_error": (core(), lambda: s.svc.embed_single()),
        "multiple_values": (core(), lambda: s.svc.embed_single(s.text, text=s.text)),
        "unexpected_keyword": (core(), lambda: s.svc.embed_batch_list(s.texts, size=s.size)),
        "batch_size_nan": (core(), lambda: s.svc.embed_batch_list(s.texts, s.nan)),
        "batch_size_str": (core(), lambda: s.svc.embed_batch_list(s.tuple_texts, s.size_text)),
        "result_check": (odd_batch, lambda: s.svc.embed_batch_list(s.texts)),
        "logging_fails": (logging_fails, lambda: SparseEmbeddingService()),
        "no_result_class": (result_class(None), lambda: s.svc.embed_single(s.text)),
        "result_raises": (result_class(result_raises), lambda: s.svc.embed_batch(s.texts)),
        "missing_indices": (core(single='{"values": []}'), lambda: s.svc.embed_single(s.text)),
        "element_not_a_dict": (core(batch='{"embeddings": [1]}'), lambda: s.svc.embed_batch(s.texts)),
        "embeddings_not_iterable": (core(batch='{"embeddings": 5}'),
                                    lambda: s.svc.embed_batch(s.texts)),
        "batch_size_inf": (core(), lambda: s.svc.embed_batch_list(s.texts, s.inf)),
        "batch_size_complex": (core(), lambda: s.svc.embed_batch_list(s.texts, s.complex)),
    }


class Sentinels:
    """Ordinary (mortal, not interned) objects whose reference counts must not drift."""

    def __init__(self, svc):
        self.svc = svc
        self.text = "".join(["leak ", "sentinel"])
        self.texts = [self.text, "".join(["other ", "text"])]
        self.tuple_texts = tuple(self.texts)
        self.bad_texts = [self.text, object()]
        self.empty = []
        self.my_text = MyStr(self.text)
        self.size = float("2.9")
        self.nan = float("nan")
        self.inf = float("inf")
        self.complex = complex(0, 1)
        self.size_text = "".join(["3", "3"])
        self.version = "".join(["v", "leak"])
        self.big = 10 ** 40
        self.junk = "".join(["not ", "json"])


@pytest.mark.parametrize("case", list(leak_cases(Sentinels(None))))
def test_no_leaks(fake_settings, monkeypatch, case):
    s = Sentinels(SparseEmbeddingService())
    monkeypatch.setattr(sparse, "logger", logging.getLogger("pellandor.sparse.quiet"))
    logging.getLogger("pellandor.sparse.quiet").setLevel(logging.WARNING)
    setup, call = leak_cases(s)[case]
    setup(monkeypatch)
    assert_no_leaks(call, *vars(s).values())
