"""Native extension modules for sparse embeddings, core capability checks and scan configuration.

The submodules ``pellandor.sparse``, ``pellandor.brimsett`` and ``pellandor.mistrel`` are
imported explicitly by their users; importing the package loads none of them, so a
missing native core only affects the code that needs it.
"""

__all__ = []
