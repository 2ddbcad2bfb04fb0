"""End to end: MB of source text per second through get_sparse_service().embed_batch.

Embeds every .py file of a source tree (default: the running interpreter's standard
library, site-packages excluded) in batches of 64 on one thread, with the real core and the
real settings, and in the same run measures scikit-learn's HashingVectorizer with log-TF
weighting and no normalisation (alternate_sign=False, norm=None, then data = 1 + ln(data))
on the same texts. Each text is cut to the settings' sparse_max_text_chars first, so every
byte counted is a byte both sides tokenise. MB are 10^6 bytes of UTF-8.

    python bench/bench_throughput.py [TREE] [--repeat 7] [--min-ratio 2.0]

Each side runs --repeat times, alternating; each rate is given as the median of its runs with
their range (slowest to fastest), so a figure can be checked against a later run. Ratios are
of medians. HashingVectorizer is also timed on the whole corpus in one call, and the faster of
its two ways (by median) is the baseline. Exits 1 when ours is below --min-ratio times the
baseline.
"""

import argparse
import pathlib
import statistics
import sys
import sysconfig
import time

import machine  # bench/machine.py: scripts run from bench/

BATCH_SIZE = 64


def load_texts(root, limit):
    paths = sorted(p for p in pathlib.Path(root).rglob("*.py")
                   if "site-packages" not in p.parts and p.is_file())
    texts = []
    for path in paths:
        try:
            text = path.read_text(encoding="utf-8", errors="replace")
        except OSError:
            continue
        if text:
            texts.append(text[:limit])
    return texts


def batches_of(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def run_ours(batches):
    from pellandor.sparse import get_sparse_service

    started = time.perf_counter()
    vectors = 0
    for batch in batches:
        vectors += len(get_sparse_service().embed_batch(batch))
    return time.perf_counter() - started, vectors


def make_hashing():
    import numpy as np
    from sklearn.feature_extraction.text import HashingVectorizer

    vectorizer = HashingVectorizer(alternate_sign=False, norm=None)

    def embed(texts):
        matrix = vectorizer.transform(texts)
        np.log(matrix.data, out=matrix.data)
        matrix.data += 1.0
        return matrix

    return embed


def run_hashing(embed, batches):
    started = time.perf_counter()
    rows = 0
    for batch in batches:
        rows += embed(batch).shape[0]
    return time.perf_counter() - started, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tree", nargs="?", default=sysconfig.get_paths()["stdlib"],
                        help="source tree whose .py files are embedded (default: the standard library)")
    parser.add_argument("--repeat", type=int, default=7, help="runs of each side (the median counts)")
    parser.add_argument("--min-ratio", type=float, default=2.0, help="required speed-up over HashingVectorizer")
    args = parser.parse_args()

    from pellandor.config import settings
    from pellandor.sparse import get_sparse_service

    import logging
    logging.getLogger("pellandor.sparse").setLevel(logging.WARNING)

    texts = load_texts(args.tree, settings.sparse_max_text_chars)
    if not texts:
        sys.exit(f"no .py files under {args.tree}")
    megabytes = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    batches = batches_of(texts, BATCH_SIZE)
    embed = make_hashing()

    get_sparse_service().embed_batch(batches[0])  # warm-up: service construction, first core call
    embed(batches[0])

    ours, theirs, theirs_whole = [], [], []
    for _ in range(args.repeat):
        seconds, vectors = run_ours(batches)
        assert vectors == len(texts), (vectors, len(texts))
        ours.append(seconds)
        seconds, rows = run_hashing(embed, batches)
        assert rows == len(texts)
        theirs.append(seconds)
        started = time.perf_counter()
        embed(texts)
        theirs_whole.append(time.perf_counter() - started)

    import sklearn

    def rates(seconds):
        values = [megabytes / t for t in seconds]
        return statistics.median(values), min(values), max(values), statistics.median(seconds)

    ours_stats = rates(ours)
    batched = rates(theirs)
    whole = rates(theirs_whole)
    baseline = max(batched[0], whole[0])
    ratio = ours_stats[0] / baseline
    print(f"Machine: {machine.describe()}; "
          f"scikit-learn {sklearn.__version__}")
    print(f"Corpus: {len(texts)} .py files under {args.tree}, each cut to {settings.sparse_max_text_chars} "
          f"characters: {megabytes:.1f} MB in {len(batches)} batches of {BATCH_SIZE}; {args.repeat} runs "
          f"of each, one thread")
    print()
    print("| embedding | MB/s, median | range | seconds, median |")
    print("|---|---:|---:|---:|")
    for label, (rate, low, high, seconds) in [
            (f"pellandor get_sparse_service().embed_batch, batches of {BATCH_SIZE}",
             ours_stats),
            (f"HashingVectorizer + log-TF, batches of {BATCH_SIZE}", batched),
            ("HashingVectorizer + log-TF, whole corpus in one call", whole)]:
        print(f"| {label} | {rate:.1f} | {low:.1f}–{high:.1f} | {seconds:.2f} |")
    print()
    verdict = "pass" if ratio >= args.min_ratio else "FAIL"
    print(f"ours / best HashingVectorizer, ratio of medians: {ratio:.2f}x "
          f"(target ≥ {args.min_ratio:.1f}x): {verdict}")
    return 0 if ratio >= args.min_ratio else 1


if __name__ == "__main__":
    sys.exit(main())
