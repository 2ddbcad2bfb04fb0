"""Malformed answers from the core, and malformed input to the stand-in core.

Every answer a fake core gives (valid, truncated, wrongly typed, huge, deeply nested, not text)
must give what the plain-Python reading of it gives: the same records, or the same exception
type. The stand-in core itself, fed random text as text, profile and batch, either answers
with JSON or raises ValueError/TypeError.

PELLANDOR_FUZZ_EXAMPLES sets the number of generated cases per test (default 100).
"""

import json
import types

import pytest
from hypothesis import given, strategies as st

from conftest import FakeSettings, fuzz_settings

import pellandor.brimsett as brimsett
import pellandor.sparse as sparse
import pellandor_core_py

FUZZ = fuzz_settings(100)

# --- answer generators ---------------------------------------------------------------------------

json_scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70),
                         st.floats(allow_nan=False), st.text(max_size=6))
json_values = st.recursive(json_scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=4), inner, max_size=4)),
    max_leaves=12)

valid_embedding = st.fixed_dictionaries(
    {"indices": st.lists(st.integers(0, 2**32), max_size=6),
     "values": st.lists(st.floats(allow_nan=False, allow_infinity=False), max_size=6)},
    optional={"truncated": st.booleans() | st.none(), "original_chars": st.integers(0, 10**6),
              "used_chars": st.integers(0, 10**6), "extra": json_values})
MEMBERS = ["indices", "values", "truncated", "original_chars", "used_chars"]
odd_embedding = st.dictionaries(st.sampled_from(MEMBERS + ["other"]), json_values, max_size=6)
embedding = st.one_of(valid_embedding, odd_embedding, json_values)


class Big(str):
    """A long generated text with a short repr (failure reports stay readable)."""

    def __repr__(self):
        return f"<{len(self)} chars: {str.__repr__(self[:30])}...>"


def plain(value):
    return str.__str__(value) if isinstance(value, Big) else value


def huge_array(n):
    return "[" + ",".join(["1"] * n) + "]"


@st.composite
def huge_embedding(draw):
    n = draw(st.integers(10_000, 200_000))
    return Big('{"indices": %s, "values": %s}' % (huge_array(n), huge_array(n)))


@st.composite
def deep(draw, wrap):
    depth = draw(st.sampled_from([10, 500, 5_000, 100_000]))
    opener, closer = draw(st.sampled_from([("[", "]"), ('{"a":', "}")]))
    return Big(wrap(opener * depth + "1" + closer * depth))


@st.composite
def truncated(draw, documents):
    text = draw(documents)
    return text[:draw(st.integers(0, max(len(text) - 1, 0)))]


def not_text(documents):
    return st.one_of(documents.map(str.encode), documents.map(lambda t: bytearray(t.encode())),
                     json_values.filter(lambda v: not isinstance(v, str)),
                     st.builds(object), st.just(memoryview(b"{}")))


def answers(documents, wrap):
    return st.one_of(documents, truncated(documents), deep(wrap), not_text(documents),
                     st.text(max_size=20), st.just(""), st.just("\ufeff{}"))


single_documents = st.one_of(valid_embedding.map(json.dumps), embedding.map(json.dumps))
single_answers = st.one_of(answers(single_documents, lambda inner: '{"indices": %s}' % inner),
                           huge_embedding())
batch_documents = st.one_of(
    st.lists(valid_embedding, max_size=5).map(lambda es: json.dumps({"embeddings": es})),
    st.lists(embedding, max_size=5).map(lambda es: json.dumps({"embeddings": es})),
    st.dictionaries(st.sampled_from(["embeddings", "x"]), json_values, max_size=2).map(json.dumps),
    json_values.map(json.dumps))
batch_answers = answers(batch_documents, lambda inner: '{"embeddings": %s}' % inner)
handshake_documents = st.one_of(
    st.lists(st.text(max_size=5), max_size=5).map(lambda c: json.dumps({"capabilities": c})),
    st.dictionaries(st.sampled_from(["capabilities", "version"]), json_values,
                    max_size=2).map(json.dumps),
    json_values.map(json.dumps))
handshake_answers = answers(handshake_documents, lambda inner: '{"capabilities": %s}' % inner)


# --- the plain-Python reading of an answer ----------------------------------------------------------

def read_embedding(e):
    return (e["indices"], e["values"], e.get("truncated"), e.get("original_chars"),
            e.get("used_chars"))


def model_single(answer):
    return read_embedding(json.loads(answer))


def model_batch(answer):
    return [read_embedding(e) for e in json.loads(answer)["embeddings"]]


def model_gate(answer, name):
    caps = set(json.loads(answer).get("capabilities", []))
    if name in caps:
        return None
    listed = format(sorted(list(caps)), "")
    return ("Rust core capability '" + name + "' required for ctx but not found. Available: "
            + listed + ". Rebuild the Rust extension: maturin develop --release")


def fields(record):
    return (record.indices, record.values, record.truncated, record.original_chars,
            record.used_chars)


def run(fn):
    try:
        return None, fn()
    except Exception as exc:  # noqa: BLE001 - the type is what is compared
        return type(exc), None


class AnswerCore:
    answer = None

    def handshake(self):
        return self.answer

    def sparse_embed_single(self, text, profile_json):
        return self.answer

    def sparse_embed_batch(self, texts_json, profile_json):
        return self.answer


@pytest.fixture
def core(monkeypatch):
    fake = AnswerCore()
    monkeypatch.setattr(sparse, "settings", FakeSettings())
    monkeypatch.setattr(sparse, "pellandor_core_py", fake)
    monkeypatch.setattr(sparse, "logger", types.SimpleNamespace(info=lambda *a: None))
    monkeypatch.setitem(__import__("sys").modules, "pellandor_core_py", fake)
    monkeypatch.setattr(brimsett, "_cached_capabilities", None)
    return fake


def test_single_answers(core):
    svc = sparse.SparseEmbeddingService()

    @FUZZ
    @given(answer=single_answers)
    def check(answer):
        answer = plain(answer)
        core.answer = answer
        expected_error, expected = run(lambda: model_single(answer))
        error, got = run(lambda: svc.embed_single("some text"))
        assert error is expected_error
        if error is None:
            assert fields(got) == expected

    check()


def test_batch_answers(core):
    svc = sparse.SparseEmbeddingService()

    @FUZZ
    @given(answer=batch_answers, via_list=st.booleans())
    def check(answer, via_list):
        answer = plain(answer)
        core.answer = answer
        expected_error, expected = run(lambda: model_batch(answer))
        method = svc.embed_batch_list if via_list else svc.embed_batch
        error, got = run(lambda: method(["a", "b"]))
        assert error is expected_error
        if error is None:
            assert [fields(r) for r in got] == expected

    check()


def test_handshake_answers(core):
    @FUZZ
    @given(answer=handshake_answers, name=st.sampled_from(["ignore_builtin_replace", "a", ""]))
    def check(answer, name):
        answer = plain(answer)
        core.answer = answer
        brimsett._cached_capabilities = None
        expected_error, expected = run(lambda: model_gate(answer, name))
        error, got = None, None
        try:
            got = brimsett.require_capability(name, "ctx")
        except Exception as exc:  # noqa: BLE001
            if type(exc) is RuntimeError:  # the gate's own; RecursionError is a subclass
                got = str(exc)
            else:
                error = type(exc)
        assert error is expected_error
        if error is None:
            assert got == expected
        load_error, loaded = run(lambda: set(json.loads(answer).get("capabilities", [])))
        if load_error is None:
            assert brimsett._cached_capabilities == loaded
        else:
            assert brimsett._cached_capabilities is None  # a failed load caches nothing

    check()


# --- the stand-in core on its own ---------------------------------------------------------------------

PROFILE = json.dumps({"version": "v1", "max_text_chars": 1000, "code_pretokenize": True,
                      "min_token_len": 2})

any_text = st.one_of(st.text(), st.binary(max_size=64).map(lambda b: b.decode("latin-1")),
                     st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
                             max_size=4))
profiles = st.one_of(
    any_text, truncated(st.just(PROFILE)),
    st.fixed_dictionaries({}, optional={k: json_values for k in
                                        ["version", "max_text_chars", "code_pretokenize",
                                         "min_token_len"]}).map(json.dumps),
    json_values.map(json.dumps), deep(lambda x: x))
batches = st.one_of(any_text, st.lists(any_text, max_size=4).map(json.dumps),
                    st.lists(json_values, max_size=4).map(json.dumps), deep(lambda x: x),
                    truncated(st.lists(st.text(max_size=8), max_size=4).map(json.dumps)))
non_str = st.one_of(st.none(), st.integers(), st.binary(max_size=4), st.lists(st.text(), max_size=2))


def core_call(fn, *args):
    try:
        answer = fn(*args)
    except (ValueError, TypeError):
        return None
    assert type(answer) is str
    return json.loads(answer)


def test_stand_in_core_text_and_profile():
    @FUZZ
    @given(text=any_text, profile=profiles)
    def check(text, profile):
        profile = plain(profile)
        core_call(pellandor_core_py.sparse_embed_single, text, PROFILE)
        core_call(pellandor_core_py.sparse_embed_single, "plain text", profile)
        core_call(pellandor_core_py.sparse_embed_single, text, profile)

    check()


def test_stand_in_core_batches():
    @FUZZ
    @given(batch=batches, profile=st.one_of(st.just(PROFILE), profiles))
    def check(batch, profile):
        batch, profile = plain(batch), plain(profile)
        answer = core_call(pellandor_core_py.sparse_embed_batch, batch, profile)
        if answer is not None and profile is PROFILE:
            assert len(answer["embeddings"]) == len(json.loads(batch))

    check()


def test_stand_in_core_argument_types():
    @FUZZ
    @given(a=st.one_of(non_str, any_text), b=st.one_of(non_str, st.just(PROFILE)))
    def check(a, b):
        for fn in (pellandor_core_py.sparse_embed_single, pellandor_core_py.sparse_embed_batch):
            core_call(fn, a, b)
        assert json.loads(pellandor_core_py.handshake())["capabilities"] is not None

    check()
