"""
Sparse embedding service using Rust pellandor-core for BM25-style sparse vectors.

This module provides deterministic, bounded-latency sparse embeddings with
code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.
"""
from __future__ import annotations  # annotations stay texts, as the native module keeps them
import json
import logging
from dataclasses import dataclass

import pellandor_core_py

from pellandor.config import settings

logger = logging.getLogger(__name__)


@dataclass
class SparseResult:
    """Sparse embedding result with plain Python lists."""

    indices: list[int]
    values: list[float]
    truncated: bool | None = None
    original_chars: int | None = None
    used_chars: int | None = None


class SparseEmbeddingService:
    """
    Sparse embeddings via Rust pellandor-core.

    Uses deterministic tokenization and log-TF weighting. The Rust backend
    releases the GIL during computation, so it's safe to call from async
    executor contexts.
    """

    def __init__(self) -> None:
        self._profile_json = json.dumps(
            {"version": settings.sparse_profile_version,
             "max_text_chars": settings.sparse_max_text_chars,
             "code_pretokenize": settings.code_pretokenize,
             "min_token_len": 2}
        )
        logger.info(
            "Sparse embedding: using Rust backend (profile=%s)",
            settings.sparse_profile_version,
        )

    @property
    def profile_version(self) -> str:
        """Return the profile version string for cache tagging."""
        return _checked(settings.sparse_profile_version, str)

    def embed_single(self, text: str) -> SparseResult:
        """Embed a single text into a sparse vector."""
        result_json = pellandor_core_py.sparse_embed_single(text, self._profile_json)
        result = json.loads(result_json)
        return SparseResult(
            indices=result["indices"],
            values=result["values"],
            truncated=result.get("truncated"),
            original_chars=result.get("original_chars"),
            used_chars=result.get("used_chars"),
        )

    def embed_batch(self, texts: list[str]) -> list[SparseResult]:
        """Embed a batch of texts into sparse vectors."""
        if not texts:
            return []
        texts_json = json.dumps(texts)
        result_json = pellandor_core_py.sparse_embed_batch(texts_json, self._profile_json)
        batch = json.loads(result_json)
        return [
            SparseResult(
                indices=e["indices"],
                values=e["values"],
                truncated=e.get("truncated"),
                original_chars=e.get("original_chars"),
                used_chars=e.get("used_chars"),
            )
            for e in batch["embeddings"]
        ]

    def embed_batch_list(self, texts: list[str], batch_size: int | None = None) -> list[SparseResult]:
        """Embed a batch of texts and return as a list (batch_size ignored)."""
        # batch_size is normalised by the native module's argument binding; the
        # interpreter's binding accepts anything, which costs the twin nothing.
        result = self.embed_batch(texts)
        return result if type(result) is list else _checked(result, list)


_sparse_service: SparseEmbeddingService | None = None


def get_sparse_service() -> SparseEmbeddingService:
    """Get or create the sparse embedding service singleton."""
    global _sparse_service
    if _sparse_service is None:
        _sparse_service = SparseEmbeddingService()
    return _sparse_service


def reset_sparse_service() -> None:
    """Reset the sparse service singleton (for testing)."""
    global _sparse_service
    _sparse_service = None


# The native module checks these results' types: exactly the named type, or None.
def _checked(value, expected):
    if value is None or type(value) is expected:
        return value
    raise TypeError(f"Expected {expected.__name__}, got {type(value).__name__:.200s}")


__test__ = {}
