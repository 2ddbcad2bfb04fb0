"""Shared fixtures: fakes for the two outside components and a fresh-interpreter runner.

The modules are initialised once per process, so a fake that must be seen at import time
needs a fresh interpreter (``run_python``); everything else swaps module globals or
``sys.modules`` entries for the length of one test.
"""

import json
import os
import subprocess
import sys
import textwrap
import types

import pytest
from hypothesis import HealthCheck, settings as hypothesis_settings


class FakeSettings:
    """Plain attributes, as the real settings object has them."""

    def __init__(self, **overrides):
        self.sparse_profile_version = "v1"
        self.sparse_max_text_chars = 1000
        self.code_pretokenize = True
        self.builtin_ignore_replace = False
        self.builtin_ignore_patterns = [".git/", "node_modules/"]
        self.extra_ignore_patterns = ["*.tmp"]
        self.ignore_mode = "git+pellandor"
        for name, value in overrides.items():
            setattr(self, name, value)


class QuietCore:
    """A core that answers the same every time and records nothing, so that only a leak or a
    fault in the module makes memory grow."""

    def __init__(self, single='{"indices": [1], "values": [1.0]}', batch='{"embeddings": []}'):
        self.single, self.batch = single, batch

    def sparse_embed_single(self, text, profile_json):
        return self.single

    def sparse_embed_batch(self, texts_json, profile_json):
        return self.batch


class FakeCore(types.ModuleType):
    """A core that records its calls and answers with canned JSON."""

    def __init__(self, capabilities=("ignore_builtin_replace",)):
        super().__init__("pellandor_core_py")
        self.calls = []
        self.handshake_answer = json.dumps({"capabilities": list(capabilities)})
        self.single_answer = json.dumps(
            {"indices": [1, 2], "values": [1.0, 0.5], "truncated": False,
             "original_chars": 3, "used_chars": 3})
        self.batch_answer = None  # None: one copy of single_answer per text

    def handshake(self):
        self.calls.append(("handshake",))
        return self.handshake_answer

    def sparse_embed_single(self, text, profile_json):
        self.calls.append(("sparse_embed_single", text, profile_json))
        return self.single_answer

    def sparse_embed_batch(self, texts_json, profile_json):
        self.calls.append(("sparse_embed_batch", texts_json, profile_json))
        if self.batch_answer is not None:
            return self.batch_answer
        texts = json.loads(texts_json)
        return json.dumps({"embeddings": [json.loads(self.single_answer) for _ in texts]})


@pytest.fixture
def fake_settings(monkeypatch):
    """Fake settings bound into every module that reads them (and into sys.modules)."""
    settings = FakeSettings()
    config = types.ModuleType("pellandor.config")
    config.settings = settings
    monkeypatch.setitem(sys.modules, "pellandor.config", config)
    for name in ("pellandor.sparse", "pellandor.mistrel"):
        module = sys.modules.get(name)
        if module is not None:
            monkeypatch.setattr(module, "settings", settings)
    return settings


@pytest.fixture
def fake_core(monkeypatch):
    """Fake core in sys.modules and in the sparse module; the capability cache emptied."""
    core = FakeCore()
    monkeypatch.setitem(sys.modules, "pellandor_core_py", core)
    sparse = sys.modules.get("pellandor.sparse")
    if sparse is not None:
        monkeypatch.setattr(sparse, "pellandor_core_py", core)
    import pellandor.brimsett as brimsett

    monkeypatch.setattr(brimsett, "_cached_capabilities", None)
    return core


def run_python(code, *, check=True, env=None):
    """Run ``code`` in a fresh interpreter; returns the CompletedProcess (text mode)."""
    result = subprocess.run(
        [sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"snippet failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result


def fuzz_settings(default_examples):
    """Hypothesis settings for the fuzz tests; PELLANDOR_FUZZ_EXAMPLES overrides the count."""
    return hypothesis_settings(
        max_examples=int(os.environ.get("PELLANDOR_FUZZ_EXAMPLES", default_examples)),
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )
