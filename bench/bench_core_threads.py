"""Does the core's batch embedding scale across threads?

Embeds the first 1024 .py files of the standard library in batches of 64, first in one
thread, then in two threads sharing the batches, and prints the speed-up and the
throughput. The core releases the GIL while it computes, so two threads on two cores
should come close to twice as fast.

    python bench/bench_core_threads.py             # pellandor_core_py.sparse_embed_batch directly
    python bench/bench_core_threads.py --service   # through get_sparse_service().embed_batch

Each of --repeats rounds times one thread, then two; the speed-up of each round is one ratio,
and the median and the range of those are printed, with the throughputs' medians and ranges.

First it measures hashlib.sha256 the same way, as a baseline of what the machine gives two
threads at the moment: on a shared virtual machine the second vCPU comes and goes, and a
low baseline means a low core ratio says nothing about the core.

Exits 1 when the direct median speed-up is below --min-ratio (the service mode only reports: its
JSON encoding and decoding run in Python, under the GIL).
"""

import argparse
import json
import pathlib
import queue
import statistics
import sys
import sysconfig
import threading
import time

BATCH_SIZE = 64
MAX_TEXT_CHARS = 20000  # the settings' default limit
MAX_FILES = 1024


def load_texts():
    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    texts = []
    paths = sorted(p for p in stdlib.rglob("*.py") if "site-packages" not in p.parts)
    for path in paths[:MAX_FILES]:
        # Cut to the profile's limit up front, so that every byte counted is a byte embedded.
        texts.append(path.read_text(encoding="utf-8", errors="replace")[:MAX_TEXT_CHARS])
    return texts


def batches_of(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def run_threads(work_items, call, threads):
    """Wall time for `threads` threads to call `call` once on every item.

    The threads take items from one shared queue, so a thread that drew small batches
    is not left idle while the other finishes big ones.
    """
    pending = queue.SimpleQueue()
    for item in work_items:
        pending.put(item)
    barrier = threading.Barrier(threads + 1)
    errors = []

    def worker():
        barrier.wait()
        try:
            while True:
                try:
                    item = pending.get_nowait()
                except queue.Empty:
                    return
                call(item)
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    elapsed = time.perf_counter() - start
    if errors:
        raise errors[0]
    return elapsed


def measure(label, work_items, call, total_bytes, repeats):
    call(work_items[0])  # warm up caches and allocator
    # One and two threads take turns, so a slow spell of a shared host hits both of a pair
    # alike; each pair gives one ratio, and the median and range of those are reported.
    times = {1: [], 2: []}
    for _ in range(repeats):
        for threads in (1, 2):
            times[threads].append(run_threads(work_items, call, threads))
    ratios = [one / two for one, two in zip(times[1], times[2])]
    ratio = statistics.median(ratios)
    mb = total_bytes / 1e6
    print(f"{label}: {len(work_items)} work items, {mb:.1f} MB, {repeats} pairs of runs")
    for threads in (1, 2):
        rates = [mb / t for t in times[threads]]
        print(f"  {threads} thread{'s' if threads > 1 else ' '}: median {statistics.median(rates):7.1f} MB/s "
              f"(range {min(rates):.1f}–{max(rates):.1f})")
    print(f"  speed-up : median {ratio:.2f}x (range {min(ratios):.2f}–{max(ratios):.2f})")
    return ratio


def baseline(repeats):
    """The same measure for hashlib, which also computes without the GIL: what this machine
    gives two threads right now (shared hosts lend their second vCPU only at times)."""
    import hashlib

    block = bytes(range(256)) * 4096 * 4  # 4 MiB
    items = [block] * 96
    ratio = measure("machine baseline (hashlib.sha256)", items, lambda b: hashlib.sha256(b).digest(),
                    len(block) * len(items), repeats)
    print()
    return ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--service", action="store_true",
                        help="go through pellandor.sparse.get_sparse_service().embed_batch")
    parser.add_argument("--rounds", type=int, default=2, help="passes over the texts per measurement")
    parser.add_argument("--repeats", type=int, default=7, help="pairs of measurements; the median counts")
    parser.add_argument("--min-ratio", type=float, default=1.7)

    parser.add_argument("--no-baseline", action="store_true", help="skip the hashlib baseline")
    args = parser.parse_args()
    if not args.no_baseline:
        baseline(args.repeats)

    texts = load_texts()
    batches = batches_of(texts, BATCH_SIZE) * args.rounds
    total_bytes = sum(len(t.encode("utf-8")) for t in texts) * args.rounds

    if args.service:
        try:
            from pellandor.sparse import get_sparse_service
        except ImportError as exc:
            print(f"service mode skipped: pellandor.sparse is not importable ({exc})")
            return 0
        service = get_sparse_service()
        measure("service embed_batch", batches, service.embed_batch, total_bytes, args.repeats)
        return 0

    import pellandor_core_py

    profile_json = json.dumps({"version": "bench", "max_text_chars": MAX_TEXT_CHARS,
                               "code_pretokenize": True, "min_token_len": 2})
    # Serialised beforehand: the direct mode times the core call alone.
    payloads = [json.dumps(batch) for batch in batches]

    def call(texts_json):
        pellandor_core_py.sparse_embed_batch(texts_json, profile_json)

    ratio = measure("pellandor_core_py.sparse_embed_batch", payloads, call, total_bytes, args.repeats)
    if ratio < args.min_ratio:
        print(f"FAIL: speed-up {ratio:.2f}x is below {args.min_ratio}x")
        return 1
    print(f"OK: speed-up {ratio:.2f}x >= {args.min_ratio}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
