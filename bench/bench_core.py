"""The stand-in core's own speed: instructions per input byte and MB/s, against a baseline build.

Corpus: the standard library's .py files (site-packages excluded, sorted by path, empty files
skipped), each cut to 20000 characters (the settings' default limit, so every byte counted is a
byte the core tokenises), in batches of 64. "Input bytes" are the UTF-8 bytes of those texts;
MB are 10^6 of them.

- Instructions (callgrind, the first --callgrind-files files): one child per core and path runs
  every batch once inside one eval(), with collection on only there
  (--toggle-collect=builtin_eval). "core" times pellandor_core_py.sparse_embed_batch alone
  (texts serialised beforehand, the answer str included); "service" times
  get_sparse_service().embed_batch end to end (json.dumps of the texts, the core,
  json.loads of the answer, the records).
- MB/s (one thread, every file): one fresh process per measurement, alternating the cores;
  each process warms up and then times --passes passes. Medians and spread over all passes.
- Two threads (the core directly, --thread-files files): one and two threads take turns, as in
  bench_core_threads.py, each pair giving one ratio; hashlib.sha256 measured the same way gives
  what the machine lends two threads at the moment.

    python bench/bench_core.py                          # the installed core alone
    python bench/bench_core.py --baseline build/bench-baseline/core
    make bench-core                                     # builds the baseline, then the above

--baseline DIR names a directory holding another build of pellandor_core_py (it is put first
on PYTHONPATH, so the service uses it too); the report then gives both and their ratio.
Exits 1 when a target is missed: core <= 45 Ir/B and >= 100 MB/s, service <= 170 Ir/B and, with
a baseline, >= 1.35x its MB/s, two threads >= 1.85x one (checked only while hashlib gets 1.9x).
"""

import argparse
import glob
import json
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

BATCH_SIZE = 64
MAX_TEXT_CHARS = 20000
PROFILE_JSON = json.dumps({"version": "bench", "max_text_chars": MAX_TEXT_CHARS,
                           "code_pretokenize": True, "min_token_len": 2})

TARGET_CORE_IR = 45.0
TARGET_SERVICE_IR = 170.0
TARGET_CORE_MBS = 100.0
TARGET_SERVICE_SPEEDUP = 1.35
TARGET_THREADS = 1.85
HASHLIB_LENDS_TWO = 1.9


def load_texts(limit=None):
    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in stdlib.rglob("*.py") if "site-packages" not in p.parts and p.is_file())
    texts = []
    for path in paths:
        text = path.read_text(encoding="utf-8", errors="replace")[:MAX_TEXT_CHARS]
        if text:
            texts.append(text)
        if limit is not None and len(texts) == limit:
            break
    return texts


def batches_of(items, size=BATCH_SIZE):
    return [items[i:i + size] for i in range(0, len(items), size)]


def input_bytes(texts):
    return sum(len(t.encode("utf-8")) for t in texts)


def workload(path, texts):
    """A no-argument callable that runs every batch once through `path`."""
    batches = batches_of(texts)
    if path == "core":
        import pellandor_core_py

        embed = pellandor_core_py.sparse_embed_batch
        payloads = [json.dumps(b) for b in batches]

        def run():
            for payload in payloads:
                embed(payload, PROFILE_JSON)
    else:
        import logging

        from pellandor.config import settings
        from pellandor.sparse import get_sparse_service

        logging.getLogger("pellandor.sparse").setLevel(logging.WARNING)
        assert settings.sparse_max_text_chars == MAX_TEXT_CHARS and settings.code_pretokenize is True
        service = get_sparse_service()

        def run():
            for batch in batches:
                service.embed_batch(batch)
    return run


# --- children ----------------------------------------------------------------------------------------

def callgrind_child(args):
    run = workload(args.path, load_texts(args.files))
    run()  # warm-up outside the collected region: the first call sizes the buffers
    eval(compile("run()", "<measured>", "eval"), {"run": run})


def rate_child(args):
    texts = load_texts()
    run = workload(args.path, texts)
    megabytes = input_bytes(texts) / 1e6
    run()
    rates = []
    for _ in range(args.passes):
        started = time.perf_counter()
        run()
        rates.append(megabytes / (time.perf_counter() - started))
    print(json.dumps(rates))


def child_env(core_dir):
    env = dict(os.environ, PYTHONHASHSEED="0")
    if core_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(core_dir), env.get("PYTHONPATH")]))
    return env


def core_origin(core_dir):
    code = "import pellandor_core_py as c; print(c.__file__)"
    out = subprocess.run([sys.executable, "-c", code], env=child_env(core_dir), capture_output=True,
                         text=True, check=True)
    return out.stdout.strip()


# --- parent ------------------------------------------------------------------------------------------

def dump_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def callgrind(cores, files, keep):
    """Ir per input byte for each (core, path); two valgrind children at a time."""
    nbytes = input_bytes(load_texts(files))
    workdir = pathlib.Path(keep) if keep else pathlib.Path(tempfile.mkdtemp(prefix="bench-core-cg-"))
    jobs = [(name, path) for path in ("core", "service") for name in cores]
    results, running = {}, []

    def finish(job, proc, out):
        _, stderr = proc.communicate()
        if proc.returncode != 0:
            sys.stderr.write(stderr.decode(errors="replace")[-4000:])
            raise RuntimeError(f"callgrind child {job} failed with {proc.returncode}")
        # The last numbered dump is the measured eval(): nothing after it calls eval().
        dumps = sorted(glob.glob(f"{out}/callgrind.out.*.*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        results[job] = dump_total(dumps[-1]) / nbytes

    for job in jobs:
        name, path = job
        out = workdir / f"{name}-{path}"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=builtin_eval",
               "--dump-after=builtin_eval", f"--callgrind-out-file={out}/callgrind.out.%p",
               sys.executable, __file__, "--child-callgrind", path, "--files", str(files)]
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=child_env(cores[name]))
        running.append((job, proc, out))
        if len(running) == 2:
            finish(*running.pop(0))
    for item in running:
        finish(*item)
    if not keep:
        shutil.rmtree(workdir, ignore_errors=True)
    return results, nbytes


def rates(cores, repeats, passes):
    """MB/s samples per (core, path): fresh processes, the cores alternating."""
    samples = {(name, path): [] for path in ("core", "service") for name in cores}
    names = list(cores)
    for r in range(repeats):
        for path in ("core", "service"):
            for name in (names if r % 2 == 0 else names[::-1]):
                cmd = [sys.executable, __file__, "--child-rate", path, "--passes", str(passes)]
                out = subprocess.run(cmd, env=child_env(cores[name]), capture_output=True, text=True)
                if out.returncode != 0:
                    sys.stderr.write(out.stderr[-4000:])
                    raise RuntimeError(f"rate child {name}/{path} failed")
                samples[(name, path)].extend(json.loads(out.stdout.strip().splitlines()[-1]))
    return samples


def thread_ratios(repeats, files, passes):
    """Per-pair two-thread speed-ups: the core directly and hashlib.sha256."""
    import hashlib

    import pellandor_core_py
    from bench_core_threads import run_threads

    payloads = [json.dumps(b) for b in batches_of(load_texts(files))] * passes
    block = bytes(range(256)) * 4096 * 4
    blocks = [block] * 64
    work = {
        "core": (payloads, lambda p: pellandor_core_py.sparse_embed_batch(p, PROFILE_JSON)),
        "hashlib": (blocks, lambda b: hashlib.sha256(b).digest()),
    }
    ratios = {"core": [], "hashlib": []}
    for _ in range(repeats):
        for name, (items, call) in work.items():
            call(items[0])
            one = run_threads(items, call, 1)
            two = run_threads(items, call, 2)
            ratios[name].append(one / two)
    return ratios


def spread(values):
    return f"{statistics.median(values):7.1f}  [{min(values):6.1f} .. {max(values):6.1f}]"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", metavar="DIR", help="directory with a baseline pellandor_core_py build")
    parser.add_argument("--callgrind-files", type=int, default=400)
    parser.add_argument("--keep-callgrind", metavar="DIR", help="keep the callgrind dumps in DIR")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--repeats", type=int, default=5, help="rate processes per core and path")
    parser.add_argument("--passes", type=int, default=3, help="timed passes per rate process")
    parser.add_argument("--no-rates", action="store_true")
    parser.add_argument("--thread-repeats", type=int, default=7)
    parser.add_argument("--thread-files", type=int, default=1024)
    parser.add_argument("--thread-passes", type=int, default=8, help="passes over the files per thread run")
    parser.add_argument("--no-threads", action="store_true")
    parser.add_argument("--child-callgrind", choices=("core", "service"), help=argparse.SUPPRESS)
    parser.add_argument("--child-rate", choices=("core", "service"), help=argparse.SUPPRESS)
    parser.add_argument("--files", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child_callgrind:
        args.path = args.child_callgrind
        callgrind_child(args)
        return 0
    if args.child_rate:
        args.path = args.child_rate
        rate_child(args)
        return 0

    cores = {"this": None}
    if args.baseline:
        cores["baseline"] = pathlib.Path(args.baseline).resolve()
    print(f"Machine: {machine.describe()}; load average {os.getloadavg()[0]:.2f}")
    for name, core_dir in cores.items():
        print(f"  {name:8}: {core_origin(core_dir)}")
    failures = []

    if not args.no_callgrind:
        if shutil.which("valgrind") is None:
            print("\nvalgrind not found: instruction counts skipped")
        else:
            ir, nbytes = callgrind(cores, args.callgrind_files, args.keep_callgrind)
            print(f"\nInstructions per input byte (callgrind; first {args.callgrind_files} files, "
                  f"{nbytes / 1e6:.2f} MB, batches of {BATCH_SIZE}):")
            for path, target in (("core", TARGET_CORE_IR), ("service", TARGET_SERVICE_IR)):
                line = f"  {path:8}: this {ir[('this', path)]:6.1f}"
                if "baseline" in cores:
                    line += f"   baseline {ir[('baseline', path)]:6.1f}   ratio {ir[('baseline', path)] / ir[('this', path)]:.2f}x"
                ok = ir[("this", path)] <= target
                print(f"{line}   (target <= {target:.0f}: {'pass' if ok else 'FAIL'})")
                if not ok:
                    failures.append(f"{path} Ir/B")

    if not args.no_rates:
        texts = load_texts()
        samples = rates(cores, args.repeats, args.passes)
        print(f"\nMB/s, one thread (every file: {len(texts)} files, {input_bytes(texts) / 1e6:.1f} MB; "
              f"{args.repeats} processes x {args.passes} passes; median [min .. max]):")
        for path in ("core", "service"):
            for name in cores:
                print(f"  {path:8} {name:8}: {spread(samples[(name, path)])}")
            if "baseline" in cores:
                ratio = statistics.median(samples[("this", path)]) / statistics.median(samples[("baseline", path)])
                print(f"  {path:8} speed-up (median / median): {ratio:.2f}x")
        core_rate = statistics.median(samples[("this", "core")])
        if core_rate < TARGET_CORE_MBS:
            failures.append(f"core {core_rate:.1f} MB/s < {TARGET_CORE_MBS:.0f}")
        if "baseline" in cores:
            speedup = statistics.median(samples[("this", "service")]) / statistics.median(samples[("baseline", "service")])
            if speedup < TARGET_SERVICE_SPEEDUP:
                failures.append(f"service speed-up {speedup:.2f}x < {TARGET_SERVICE_SPEEDUP}")

    if not args.no_threads:
        ratios = thread_ratios(args.thread_repeats, args.thread_files, args.thread_passes)
        print(f"\nTwo threads / one thread (this core directly, first {args.thread_files} files, "
              f"{args.thread_passes} passes; "
              f"{args.thread_repeats} pairs; median [min .. max]):")
        for name in ("core", "hashlib"):
            values = ratios[name]
            print(f"  {name:8}: {statistics.median(values):.2f}x  [{min(values):.2f} .. {max(values):.2f}]")
        machine_lends = statistics.median(ratios["hashlib"])
        core_ratio = statistics.median(ratios["core"])
        if machine_lends < HASHLIB_LENDS_TWO:
            print(f"  (hashlib gets {machine_lends:.2f}x: the host does not lend both CPUs now; not judged)")
        elif core_ratio < TARGET_THREADS:
            failures.append(f"two threads {core_ratio:.2f}x < {TARGET_THREADS}")

    print()
    if failures:
        print("FAIL: " + "; ".join(failures))
        return 1
    print("all targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
