"""Capability gate: which optional features the installed native core offers."""

import logging

logger: logging.Logger

# None until the first check; then the set for the rest of the process.
_cached_capabilities: set[str] | None

def _load_capabilities() -> set[str]: ...
def require_capability(name: str, context: str) -> None:
    """Raise RuntimeError if the named capability is not available."""
