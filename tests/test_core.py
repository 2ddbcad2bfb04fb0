"""The native core as the service uses it: tokens, indices, weights, truncation, errors, threads."""

import json
import math
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import pellandor_core_py as core
from conftest import run_python


def token_index(token):
    """32-bit FNV-1a of the token's UTF-8 bytes: the index the core gives a token."""
    h = 0x811C9DC5
    for byte in token.encode("utf-8"):
        h = ((h ^ byte) * 0x01000193) & 0xFFFFFFFF
    return h


def profile(**overrides):
    members = {"version": "v1", "max_text_chars": 1000, "code_pretokenize": True, "min_token_len": 2}
    members.update(overrides)
    return json.dumps(members)


def embed(text, **overrides):
    return json.loads(core.sparse_embed_single(text, profile(**overrides)))


def expected_vector(counts):
    """Sorted indices and 1 + ln(tf) weights for a {token: tf} mapping."""
    by_index = {token_index(t): 1.0 + math.log(n) for t, n in counts.items()}
    indices = sorted(by_index)
    return indices, [by_index[i] for i in indices]


def test_handshake_lists_capabilities_and_version():
    answer = json.loads(core.handshake())
    assert {"ignore_builtin_replace", "sparse_embed"} <= set(answer["capabilities"])
    assert isinstance(answer["version"], str)


@pytest.mark.parametrize("text, code, counts", [
    ("getHTTPResponseCode", True, {"get": 1, "http": 1, "response": 1, "code": 1}),
    ("XMLHttpRequest IOError", True, {"xml": 1, "http": 1, "request": 1, "io": 1, "error": 1}),
    ("snake_case_name __init__", True, {"snake": 1, "case": 1, "name": 1, "init": 1}),
    ("html5Parser v2 utf8", True, {"html": 1, "parser": 1, "utf": 1}),
    ("foo.bar(foo, FOO); foo", True, {"foo": 4, "bar": 1}),
    ("naïveÉté Привет 変数名 a—b", True, {"naïve": 1, "été": 1, "привет": 1, "変数名": 1}),
    ("getHTTPResponse snake_case html5", False, {"gethttpresponse": 1, "snake_case": 1, "html5": 1}),
    ("", True, {}),
    ("a b ; 1 2", True, {}),
])
def test_tokens_indices_and_weights(text, code, counts):
    result = embed(text, code_pretokenize=code)
    assert (result["indices"], result["values"]) == expected_vector(counts)
    assert all(type(v) is float for v in result["values"])


@pytest.mark.parametrize("min_len, counts", [
    (0, {"a": 1, "bc": 1, "def": 1}),
    (1, {"a": 1, "bc": 1, "def": 1}),
    (3, {"def": 1}),
    (4, {}),
])
def test_min_token_len_counts_characters(min_len, counts):
    result = embed("a bc def", min_token_len=min_len)
    assert (result["indices"], result["values"]) == expected_vector(counts)


@pytest.mark.parametrize("text, limit, truncated, used, counts", [
    ("ééééé hello", 5, True, 5, {"ééééé": 1}),
    ("ééééé hello", 8, True, 8, {"ééééé": 1, "he": 1}),
    ("ééééé hello", 11, False, 11, {"ééééé": 1, "hello": 1}),
    ("ééééé hello", 0, True, 0, {}),
    ("", 0, False, 0, {}),
])
def test_truncation_counts_code_points(text, limit, truncated, used, counts):
    result = embed(text, max_text_chars=limit)
    assert result["truncated"] is truncated
    assert result["original_chars"] == len(text)
    assert result["used_chars"] == used
    assert (result["indices"], result["values"]) == expected_vector(counts)


def test_deterministic_across_calls_and_processes():
    text = "def parseHTTPHeader(raw_bytes): return raw_bytes.split(b'\\r\\n') # déjà vu"
    first = core.sparse_embed_single(text, profile())
    assert core.sparse_embed_single(text, profile()) == first
    fresh = run_python(f"""
        import pellandor_core_py
        print(pellandor_core_py.sparse_embed_single({text!r}, {profile()!r}))
    """)
    assert fresh.stdout.strip() == first


def test_batch_matches_singles_in_order():
    texts = ["alphaBeta gamma", "", "gamma gamma_delta", "x\u0000yz \u00e9t\u00e9", "alphaBeta"]
    batch = json.loads(core.sparse_embed_batch(json.dumps(texts), profile()))
    assert batch["embeddings"] == [embed(t) for t in texts]
    assert json.loads(core.sparse_embed_batch("[]", profile())) == {"embeddings": []}


@settings(max_examples=200, deadline=None)
@given(texts=st.lists(st.text(), max_size=4), limit=st.integers(0, 40), code=st.booleans())
def test_any_text_gives_a_consistent_vector(texts, limit, code):
    texts = [t.encode("utf-8", "replace").decode("utf-8") for t in texts]  # no lone surrogates
    prof = profile(max_text_chars=limit, code_pretokenize=code)
    batch = json.loads(core.sparse_embed_batch(json.dumps(texts), prof))["embeddings"]
    for text, result in zip(texts, batch, strict=True):
        assert result == json.loads(core.sparse_embed_single(text, prof))
        assert result["indices"] == sorted(set(result["indices"]))
        assert len(result["values"]) == len(result["indices"])
        assert all(v >= 1.0 for v in result["values"])
        assert result["original_chars"] == len(text)
        assert result["used_chars"] == min(len(text), limit)


@pytest.mark.parametrize("profile_json, message", [
    ("{", "profile_json is not valid JSON"),
    ("[]", "profile_json must be a JSON object"),
    (json.dumps({"version": "v1", "code_pretokenize": True, "min_token_len": 2}),
     'missing member "max_text_chars"'),
    (profile(max_text_chars="10"), '"max_text_chars" must be a non-negative integer'),
    (profile(max_text_chars=-1), '"max_text_chars" must be a non-negative integer'),
    (profile(max_text_chars=10.5), '"max_text_chars" must be a non-negative integer'),
    (profile(code_pretokenize=1), '"code_pretokenize" must be true or false'),
    (profile(min_token_len=None), '"min_token_len" must be a non-negative integer'),
    (profile(version=["v1"]), '"version" must be a string, a number or null'),
])
def test_bad_profile_raises_value_error(profile_json, message):
    for call in (lambda: core.sparse_embed_single("text", profile_json),
                 lambda: core.sparse_embed_batch('["text"]', profile_json)):
        with pytest.raises(ValueError, match=message):
            call()


@pytest.mark.parametrize("texts_json, message", [
    ('["a", ', "texts_json is not valid JSON"),
    ('{"texts": ["a"]}', "texts_json must be a JSON array of strings, not object"),
    ('"a"', "texts_json must be a JSON array of strings, not string"),
    ('["a", 1]', "texts_json element 1 must be a string, not number"),
])
def test_bad_batch_raises_value_error(texts_json, message):
    with pytest.raises(ValueError, match=message):
        core.sparse_embed_batch(texts_json, profile())


@pytest.mark.parametrize("call, message", [
    (lambda: core.sparse_embed_single(b"text", profile()), "argument 'text' must be str, not bytes"),
    (lambda: core.sparse_embed_single("text", None), "argument 'profile_json' must be str, not NoneType"),
    (lambda: core.sparse_embed_batch(["a"], profile()), "argument 'texts_json' must be str, not list"),
    (lambda: core.sparse_embed_single("text"), r"takes exactly 2 arguments \(1 given\)"),
    (lambda: core.sparse_embed_batch("[]", profile(), "x"), r"takes exactly 2 arguments \(3 given\)"),
])
def test_wrong_arguments_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_lone_surrogate_is_a_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        core.sparse_embed_single("a\ud800b", profile())
    with pytest.raises(ValueError, match="texts_json is not valid JSON"):
        core.sparse_embed_batch(json.dumps(["a\ud800b"]), profile())


def test_gil_is_released_while_computing():
    texts_json = json.dumps(["someIdentifier another_name 12345 " * 20000] * 128)
    window = {}

    def work():
        window["start"] = time.perf_counter()
        core.sparse_embed_batch(texts_json, profile(max_text_chars=10**9))
        window["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    start, end = window["start"], window["end"]
    if end - start < 0.1:
        pytest.skip("the batch finished too fast to observe")
    # With the GIL held for the whole call this thread could not run inside the window,
    # apart from one switch interval just after `start`.
    inside = [t for t in ticks if start + 0.05 < t < end - 0.01]
    assert len(inside) > 100


def test_loads_in_an_isolated_subinterpreter():
    inner = ("import json, pellandor_core_py as c\n"
             f"r = json.loads(c.sparse_embed_single('fooBar', {profile()!r}))\n"
             "assert len(r['indices']) == 2, r\n")
    run_python(f"""
        import _interpreters
        interp = _interpreters.create()
        err = _interpreters.exec(interp, {inner!r})
        assert err is None, err
        _interpreters.destroy(interp)
    """)
