"""Application settings read by the native modules."""

__all__ = ["Settings", "settings"]

class Settings:
    """Settings with their defaults; every attribute may be reassigned."""

    sparse_profile_version: str | None
    sparse_max_text_chars: int
    code_pretokenize: bool
    builtin_ignore_replace: bool
    builtin_ignore_patterns: list[str]
    extra_ignore_patterns: list[str]
    ignore_mode: str
    def __init__(self) -> None: ...

settings: Settings
