"""Sparse embedding service: BM25-style sparse vectors computed by the native core."""

import logging
from dataclasses import dataclass

from pellandor.config import Settings

logger: logging.Logger
settings: Settings

@dataclass
class SparseResult:
    """Sparse embedding result with plain Python lists."""

    indices: list[int]
    values: list[float]
    truncated: bool | None = None
    original_chars: int | None = None
    used_chars: int | None = None

class SparseEmbeddingService:
    """Sparse embeddings through the native core; one instance serves many threads."""

    _profile_json: str
    def __init__(self) -> None: ...
    # The runtime annotation says str, but the getter passes None through when the
    # setting holds None, so callers have to handle it.
    @property
    def profile_version(self) -> str | None:
        """Return the profile version string for cache tagging."""
    # text must be exactly a str and texts exactly a list (subclasses are refused at run time).
    def embed_single(self, text: str) -> SparseResult:
        """Embed a single text into a sparse vector."""
    def embed_batch(self, texts: list[str]) -> list[SparseResult]:
        """Embed a batch of texts into sparse vectors."""
    def embed_batch_list(self, texts: list[str], batch_size: int | None = None) -> list[SparseResult]:
        """Embed a batch of texts and return as a list (batch_size ignored)."""

_sparse_service: SparseEmbeddingService | None

def get_sparse_service() -> SparseEmbeddingService:
    """Get or create the sparse embedding service singleton."""

def reset_sparse_service() -> None:
    """Reset the sparse service singleton (for testing)."""
