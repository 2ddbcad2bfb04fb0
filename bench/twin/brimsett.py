"""
Capability enforcement for the Rust core extension.

Reads handshake() once and caches the result. Entry points call
require_capability() to fail fast when a needed capability is missing.
"""

import json
import logging

logger = logging.getLogger(__name__)

_cached_capabilities: set[str] | None = None


def _load_capabilities() -> set[str]:
    global _cached_capabilities
    if _cached_capabilities is not None:
        return _cached_capabilities if type(_cached_capabilities) is set else _expect_set(_cached_capabilities)
    try:
        import pellandor_core_py

        resp = json.loads(pellandor_core_py.handshake())
        _cached_capabilities = set(resp.get("capabilities", []))
    except ImportError:
        _cached_capabilities = set()
    return _cached_capabilities if type(_cached_capabilities) is set else _expect_set(_cached_capabilities)


def require_capability(name: str, context: str) -> None:
    """Raise RuntimeError if the named capability is not available."""
    caps = _load_capabilities()
    if name in caps:
        return
    raise RuntimeError(
        f"Rust core capability '{name}' required for {context} "
        f"but not found. Available: {sorted(caps)}. "
        "Rebuild the Rust extension: maturin develop --release"
    )


# The native module checks the cache's type on each return: exactly a set, or None. The
# common case is tested inline above (an identity test on the type); only the rest
# comes here.
def _expect_set(value):
    if value is None:
        return value
    raise TypeError(f"Expected set, got {type(value).__name__:.200s}")
