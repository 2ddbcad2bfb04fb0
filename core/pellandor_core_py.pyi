"""Native core of pellandor: deterministic code-aware sparse embeddings."""

__version__: str

def handshake() -> str:
    """Return the build's capabilities as JSON text: {"capabilities": [...], ...}."""

def sparse_embed_single(text: str, profile_json: str, /) -> str:
    """Embed one text under the profile; returns the embedding object as JSON text."""

def sparse_embed_batch(texts_json: str, profile_json: str, /) -> str:
    """Embed a JSON array of texts in one call; returns {"embeddings": [...]} as JSON text."""
