"""Typed use of the public API; test_stubs.py checks it with mypy --strict."""

from pathlib import Path

import pellandor_core_py
from pellandor.brimsett import require_capability
from pellandor.config import settings
from pellandor.mistrel import build_scan_config
from pellandor.sparse import (
    SparseEmbeddingService,
    SparseResult,
    get_sparse_service,
    reset_sparse_service,
)


def embed(texts: list[str]) -> list[tuple[list[int], list[float]]]:
    service: SparseEmbeddingService = get_sparse_service()
    one: SparseResult = service.embed_single(texts[0])
    many = service.embed_batch(texts) + service.embed_batch_list(texts, batch_size=32)
    return [(r.indices, r.values) for r in [one, *many]]


def cache_tag() -> str:
    version = get_sparse_service().profile_version
    return version if version is not None else "unversioned"


def was_cut(result: SparseResult) -> bool:
    return bool(result.truncated) and (result.original_chars or 0) > (result.used_chars or 0)


def scan(repo: Path) -> dict[str, object]:
    settings.extra_ignore_patterns = ["*.log"]
    settings.sparse_profile_version = None
    reset_sparse_service()
    require_capability("ignore_builtin_replace", "typing check")
    return build_scan_config(repo) | build_scan_config(str(repo))


def core_version() -> str:
    return pellandor_core_py.__version__
