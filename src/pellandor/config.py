"""Application settings read by the native modules.

A plain object with assignable attributes. The modules read them at call time, so a
change made here takes effect at the next call (a sparse service freezes its profile
settings when it is constructed; ``reset_sparse_service()`` picks up new ones).
"""

__all__ = ["Settings", "settings"]


class Settings:
    """Settings with their defaults; every attribute may be reassigned."""

    def __init__(self):
        # Sparse embedding profile; cached embeddings are tagged with the version.
        self.sparse_profile_version = "v1"
        self.sparse_max_text_chars = 20000
        self.code_pretokenize = True

        # Repository scanning.
        self.builtin_ignore_replace = False
        self.builtin_ignore_patterns = [
            ".git/",
            ".hg/",
            ".svn/",
            "node_modules/",
            "__pycache__/",
            "*.pyc",
            "*.pyo",
            ".venv/",
            "venv/",
            ".tox/",
            ".mypy_cache/",
            ".pytest_cache/",
            "build/",
            "dist/",
            "*.egg-info/",
            ".DS_Store",
        ]
        self.extra_ignore_patterns = []
        self.ignore_mode = "git+pellandor"

    def __repr__(self):
        fields = ", ".join(f"{name}={value!r}" for name, value in vars(self).items())
        return f"{type(self).__name__}({fields})"


settings = Settings()
