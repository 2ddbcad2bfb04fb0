"""The main job on a big tree: `examples/search.py --workers 2` against `--workers 1`.

Builds a tree of at least --megabytes MB of source text in a temporary directory (copies of
the standard library's .py files, site-packages left out, each copy in its own directory;
2 GB by default: the cluster's start costs the same CPU time whatever the tree, so on a
smaller one it takes a larger part of the run and the ratio moves with it),
in memory (/dev/shm) where there is room, then times the whole command, interpreter
start-up and the local cluster's start and shutdown included, with one worker (in the
process, no cluster) and with --workers N, alternating, --rounds times each. Both must
print the same counts, ranking and scores. Prints the median and the range of each, and
the ratio of the medians.

    python bench/bench_search_workers.py [--megabytes 2000] [--rounds 9] [--workers 2]
                                         [--min-ratio 1.6]

Exits 1 when the ratio is below --min-ratio or the outputs differ.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

import machine  # bench/machine.py: scripts run from bench/

ROOT = pathlib.Path(__file__).resolve().parents[1]
SEARCH = ROOT / "examples" / "search.py"
# What search.py reads: files of at most this size.
MAX_FILE_BYTES = 1_000_000


def stdlib_sources():
    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    return sorted(p for p in stdlib.rglob("*.py")
                  if "site-packages" not in p.parts and not p.is_symlink() and p.is_file()
                  and p.stat().st_size <= MAX_FILE_BYTES)


def build_tree(target, megabytes):
    sources = stdlib_sources()
    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    one_copy = sum(p.stat().st_size for p in sources)
    copies = -(-int(megabytes * 1e6) // one_copy)
    for number in range(copies):
        base = target / f"copy{number:02}"
        for path in sources:
            destination = base / path.relative_to(stdlib)
            destination.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, destination)
    return copies, len(sources) * copies, one_copy * copies


def memory_directory(megabytes):
    """/dev/shm when it can hold the tree twice over, else None (the system's temporary
    directory). The runs are meant to read a tree from the page cache, and a system may
    drop clean cached pages that are not touched for a while (proactive reclaim does, on
    the machine these figures come from): each run would then wait on the disk."""
    shm = pathlib.Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        return None
    room = os.statvfs(shm)
    return str(shm) if room.f_bavail * room.f_frsize >= 2 * megabytes * 1e6 else None


def run(tree, workers):
    """(seconds, the output without its timing line) of one whole command."""
    command = [sys.executable, str(SEARCH), str(tree), "--workers", str(workers)]
    started = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True, timeout=1800)
    seconds = time.perf_counter() - started
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({result.returncode}):\n{result.stderr}")
    kept = [line for line in result.stdout.splitlines()
            if not line.startswith(("workers:", "embedded "))]
    embedded = next(line for line in result.stdout.splitlines() if line.startswith("embedded "))
    kept.append(embedded.split(", in ")[0])  # the counts, without the times
    return seconds, kept


def spread(values):
    return f"median {statistics.median(values):6.2f} s  (min {min(values):.2f}, max {max(values):.2f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=2000, help="size of the tree (default 2000)")
    parser.add_argument("--rounds", type=int, default=9, help="runs of each command (default 9)")
    parser.add_argument("--workers", type=int, default=2, help="workers of the cluster run (default 2)")
    parser.add_argument("--min-ratio", type=float, default=1.6, help="target speed-up (default 1.6)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="pellandor-bench-",
                                     dir=memory_directory(args.megabytes)) as tmp:
        tree = pathlib.Path(tmp)
        started = time.perf_counter()
        copies, files, size = build_tree(tree, args.megabytes)
        print(f"Machine: {machine.describe()}")
        print(f"Tree: {copies} copies of the standard library's .py files, {files} files, "
              f"{size / 1e6:.0f} MB in {tmp} (built in {time.perf_counter() - started:.0f} s)")
        run(tree, 1)  # untimed: fills the page cache
        times = {1: [], args.workers: []}
        outputs = {}
        for _ in range(args.rounds):
            for workers in times:
                seconds, output = run(tree, workers)
                times[workers].append(seconds)
                outputs.setdefault(workers, output)
                if output != outputs[workers]:
                    sys.exit(f"--workers {workers} printed different results from run to run")
        print(f"  --workers 1 : {spread(times[1])}")
        print(f"  --workers {args.workers} : {spread(times[args.workers])}")
        same = outputs[1] == outputs[args.workers]
        print(f"  same counts, ranking and scores: {'yes' if same else 'NO'}")
        ratio = statistics.median(times[1]) / statistics.median(times[args.workers])
        ok = same and ratio >= args.min_ratio
        print(f"  ratio of medians: {ratio:.2f}x over {args.rounds} rounds "
              f"(target >= {args.min_ratio}x): {'pass' if ok else 'FAIL'}")
        if not same:
            print("\n".join(outputs[1]), "\n---\n", "\n".join(outputs[args.workers]))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
