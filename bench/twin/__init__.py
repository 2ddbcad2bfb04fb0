"""Plain-Python twin of pellandor.sparse, pellandor.brimsett and pellandor.mistrel.

Kept for benchmarking only: each module is the Python source that the native module
stands for, statement by statement, with its globals looked up at each use, so that the
benchmark can compare the native call paths against the same code interpreted.
"""
