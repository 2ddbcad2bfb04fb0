"""What help() and inspect show a user: docstrings, signatures, defaults, string annotations."""

import inspect
import re

import pytest

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel
import pellandor.sparse as sparse

Service = sparse.SparseEmbeddingService

RESULT_SIGNATURE = ("(indices: 'list[int]', values: 'list[float]', truncated: 'bool | None' = None,"
                    " original_chars: 'int | None' = None, used_chars: 'int | None' = None) -> None")

# (object, its signature as inspect prints it, first line of its docstring or None)
CALLABLES = [
    (sparse.get_sparse_service, "() -> 'SparseEmbeddingService'",
     "Get or create the sparse embedding service singleton."),
    (sparse.reset_sparse_service, "() -> 'None'",
     "Reset the sparse service singleton (for testing)."),
    (sparse.SparseResult, RESULT_SIGNATURE, "Sparse embedding result with plain Python lists."),
    (Service.__init__, "(self) -> 'None'", None),
    (Service.profile_version.fget, "(self) -> 'str'",
     "Return the profile version string for cache tagging."),
    (Service.embed_single, "(self, text: 'str') -> 'SparseResult'",
     "Embed a single text into a sparse vector."),
    (Service.embed_batch, "(self, texts: 'list[str]') -> 'list[SparseResult]'",
     "Embed a batch of texts into sparse vectors."),
    (Service.embed_batch_list,
     "(self, texts: 'list[str]', batch_size: 'int | None' = None) -> 'list[SparseResult]'",
     "Embed a batch of texts and return as a list (batch_size ignored)."),
    (brimsett.require_capability, "(name: 'str', context: 'str') -> 'None'",
     "Raise RuntimeError if the named capability is not available."),
    (brimsett._load_capabilities, "() -> 'set[str]'", None),
    (mistrel.build_scan_config, "(repo_path: 'Path') -> 'dict[str, object]'",
     "Build a scan config dict for the Rust ignore matcher."),
]


def flat(text):
    """help() text without class-body bars, line breaks or the wrapping of long signatures."""
    text = re.sub(r"(?m)^ *\| ?", "", text)
    text = re.sub(r"\s+", " ", text)
    return text.replace("( ", "(").replace(" )", ")")


@pytest.fixture
def help_text(capsys):
    def render(obj):
        help(obj)  # not a terminal under capsys, so help() prints instead of paging
        return flat(capsys.readouterr().out)
    return render


@pytest.mark.parametrize("obj, signature, doc", CALLABLES,
                         ids=[entry[0].__qualname__ for entry in CALLABLES])
def test_help_and_signature(obj, signature, doc, help_text):
    # The quotes in the expected text show that annotations stay strings; a "/" or "*"
    # would show a parameter kind other than positional-or-keyword.
    assert str(inspect.signature(obj)) == signature
    text = help_text(obj)
    assert obj.__name__ + signature in text
    if doc is not None:
        assert inspect.getdoc(obj).splitlines()[0] == doc
        assert flat(inspect.getdoc(obj)) in text


def test_bound_method_signature_binds_like_python(fake_settings):
    method = Service().embed_batch_list
    signature = inspect.signature(method)
    assert str(signature) == ("(texts: 'list[str]', batch_size: 'int | None' = None)"
                              " -> 'list[SparseResult]'")
    bound = signature.bind(["a"])
    bound.apply_defaults()
    assert bound.arguments == {"texts": ["a"], "batch_size": None}
    with pytest.raises(TypeError):
        signature.bind()


@pytest.mark.parametrize("module, expected", [
    (sparse, ["pellandor.sparse - Sparse embedding service using Rust pellandor-core for"
              " BM25-style sparse vectors.",
              "This module provides deterministic, bounded-latency sparse embeddings with",
              "get_sparse_service() -> 'SparseEmbeddingService' Get or create",
              "reset_sparse_service() -> 'None' Reset",
              "class SparseEmbeddingService(builtins.object) SparseEmbeddingService() -> 'None'"
              " Sparse embeddings via Rust pellandor-core.",
              "embed_single(self, text: 'str') -> 'SparseResult' Embed a single text",
              "Readonly properties defined here: profile_version Return the profile version",
              "class SparseResult(builtins.object) SparseResult(indices: 'list[int]'"]),
    (brimsett, ["pellandor.brimsett - Capability enforcement for the Rust core extension.",
                "Reads handshake() once and caches the result.",
                "require_capability(name: 'str', context: 'str') -> 'None' Raise RuntimeError"]),
    (mistrel, ["pellandor.mistrel - Unified scan configuration builder for the ignore matcher.",
               "construct ScanConfigV2 payloads",
               "build_scan_config(repo_path: 'Path') -> 'dict[str, object]' Build a scan config"]),
], ids=["sparse", "brimsett", "mistrel"])
def test_module_help(module, expected, help_text):
    text = help_text(module)
    for piece in expected:
        assert flat(piece) in text
