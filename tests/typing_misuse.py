"""Calls the stubs must reject; each marked line expects exactly the mypy error code shown."""

from pellandor.brimsett import require_capability
from pellandor.mistrel import build_scan_config
from pellandor.sparse import SparseResult, get_sparse_service

service = get_sparse_service()
service.embed_single(None)  # E: arg-type
service.embed_batch(("a", "b"))  # E: arg-type
service.embed_batch_list(["a"], batch_size="3")  # E: arg-type
service.profile_version.upper()  # E: union-attr
service.profile_version = "v2"  # E: misc
require_capability("ignore_builtin_replace")  # E: call-arg
build_scan_config(42)  # E: arg-type
SparseResult([1], [1.0], truncated="no")  # E: arg-type
