"""Eight threads for a bounded time, each mixing every public call on the stand-in core: no
crash, and every result equal to the single-threaded result for the same input.

PELLANDOR_STRESS_SECONDS sets the duration (default 2).
"""

import logging
import os
import random
import sys
import threading
import time

import pytest

from conftest import FakeSettings

import pellandor.brimsett as brimsett
import pellandor.mistrel as mistrel
import pellandor.sparse as sparse
import pellandor_core_py

SECONDS = float(os.environ.get("PELLANDOR_STRESS_SECONDS", "2"))
MIN_CALLS = 50
THREADS = 8

TEXTS = ["", "a", "getUserName(user_id)", "snake_case_words and CamelCaseWords",
         "naïve café — ünïcödé 文字 😀", "x" * 5000, "def f(a, b):\n    return a + b\n" * 40,
         "\x00\x01 control \t chars"]
BATCHES = [TEXTS[:1], TEXTS[2:5], TEXTS, [t.upper() for t in TEXTS]]
NAMES = ["ignore_builtin_replace", "sparse_embed", "absent_one", ""]
PATHS = ["/srv/repo", "relative/path", "ü/ñ"]


def fields(record):
    return (record.indices, record.values, record.truncated, record.original_chars,
            record.used_chars)


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - a deterministic failure is a result too
        return (type(exc), str(exc))


@pytest.fixture
def stress_setup(monkeypatch):
    settings = FakeSettings(builtin_ignore_replace=True, sparse_max_text_chars=2000)
    monkeypatch.setattr(sparse, "settings", settings)
    monkeypatch.setattr(mistrel, "settings", settings)
    monkeypatch.setattr(sparse, "pellandor_core_py", pellandor_core_py)
    monkeypatch.setitem(sys.modules, "pellandor_core_py", pellandor_core_py)
    quiet = logging.getLogger("pellandor.sparse.stress")
    quiet.setLevel(logging.WARNING)
    quiet.propagate = False
    monkeypatch.setattr(sparse, "logger", quiet)
    monkeypatch.setattr(sparse, "_sparse_service", None)
    monkeypatch.setattr(brimsett, "_cached_capabilities", None)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more thread switches inside our calls
    yield
    sys.setswitchinterval(interval)


def operations(service):
    """name -> list of (argument, function of the argument) pairs."""
    ops = []
    for text in TEXTS:
        ops.append(("embed_single", text, lambda t: fields(service.embed_single(t))))
    for i, batch in enumerate(BATCHES):
        ops.append(("embed_batch", i, lambda i: [fields(r) for r in service.embed_batch(BATCHES[i])]))
        ops.append(("embed_batch_list", i,
                    lambda i: [fields(r) for r in service.embed_batch_list(BATCHES[i], 3)]))
    for name in NAMES:
        ops.append(("require_capability", name, lambda n: brimsett.require_capability(n, "ctx")))
    for path in PATHS:
        ops.append(("build_scan_config", path, mistrel.build_scan_config))
    ops.append(("singleton", None, lambda _: sparse.get_sparse_service()._profile_json))
    ops.append(("singleton_text", TEXTS[2],
                lambda t: fields(sparse.get_sparse_service().embed_single(t))))
    ops.append(("reset", None, lambda _: sparse.reset_sparse_service()))
    ops.append(("forget_capabilities", None,
                lambda _: setattr(brimsett, "_cached_capabilities", None)))
    return ops


def test_mixed_calls_agree_with_single_threaded_results(stress_setup):
    service = sparse.SparseEmbeddingService()
    ops = operations(service)
    expected = [outcome(fn, arg) for _, arg, fn in ops]
    assert expected == [outcome(fn, arg) for _, arg, fn in ops]  # deterministic to begin with

    deadline = time.monotonic() + SECONDS
    mismatches, counts = [], [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(index):
        rng = random.Random(index)
        start.wait()
        # A share of calls whatever the clock says: under valgrind the threads run one at a
        # time and a thread scheduled late would otherwise find the deadline passed.
        while counts[index] < MIN_CALLS or time.monotonic() < deadline:
            k = rng.randrange(len(ops))
            name, arg, fn = ops[k]
            got = outcome(fn, arg)
            counts[index] += 1
            if got != expected[k]:
                mismatches.append((name, arg, got, expected[k]))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 60)
    assert not any(thread.is_alive() for thread in threads)
    assert not mismatches, mismatches[:3]
    print(f"{sum(counts)} calls in {THREADS} threads over {SECONDS:g} s")
    # The singleton still behaves as a singleton once the threads are gone.
    assert sparse.get_sparse_service() is sparse.get_sparse_service()
    assert type(brimsett._load_capabilities()) is set
