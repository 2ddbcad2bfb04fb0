"""Builder of the ScanConfigV2 payload for the native scanner's ignore matcher."""

import os

from pellandor.config import Settings

settings: Settings

# The runtime stores str(repo_path) as the repository root and checks nothing, so any
# path object whose str() is its path will do (for os.DirEntry pass entry.path).
def build_scan_config(repo_path: str | os.PathLike[str]) -> dict[str, object]:
    """Build a scan config dict for the Rust ignore matcher."""
