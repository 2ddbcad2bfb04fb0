"""Build the scan configuration for this repository and check one core capability."""

import json
from pathlib import Path

import pellandor.brimsett
import pellandor.mistrel

REPO_ROOT = Path(__file__).resolve().parent.parent


def main():
    payload = pellandor.mistrel.build_scan_config(REPO_ROOT)
    print("ScanConfigV2 payload:")
    print(json.dumps(payload, indent=2))

    capability = "ignore_builtin_replace"
    try:
        pellandor.brimsett.require_capability(capability, "demo")
    except RuntimeError as exc:
        status = str(exc)
    else:
        status = "available"
    print(f"capability {capability}: {status}")


if __name__ == "__main__":
    main()
