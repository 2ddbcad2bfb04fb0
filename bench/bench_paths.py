"""Path by path: the native modules against their plain-Python twin (bench/twin/).

Both sides run in one process with the same fakes: a core module whose functions return a
fixed small answer, and a plain settings object. For each path the two are timed back to
back in every round (the order alternating), and the median of the per-round ratios
product / twin is reported. Where valgrind is available, the instructions per call of each
side come from callgrind, in a child process: each measured loop runs inside `eval()`,
collection is on only inside `builtin_eval` and a profile is dumped when it returns; a loop
of N calls and one of 2N calls give Ir per call = (Ir(2N) - Ir(N)) / N, so start-up and
the loop's fixed costs cancel.

    python bench/bench_paths.py            # full run (about two minutes on two cores)
    python bench/bench_paths.py --quick    # fewer rounds, fewer calls under callgrind
    python bench/bench_paths.py --no-callgrind

Exits 1 when a target or the allocation check fails.
"""

import argparse
import gc
import glob
import json
import logging
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types

import machine  # bench/machine.py: scripts run from bench/

BENCH_DIR = pathlib.Path(__file__).resolve().parent
if str(BENCH_DIR) not in sys.path:
    sys.path.insert(0, str(BENCH_DIR))

CAPABILITIES = ["ignore_builtin_replace", "scan_config_v2", "sparse_batch_embed"]
EMBEDDING = {"indices": [101, 2045, 31337, 77], "values": [1.0, 1.6931471805599454, 1.0, 2.09861228866811],
             "truncated": False, "original_chars": 42, "used_chars": 42}
TEXT = "def parseHttpHeader(raw_line):\n    return raw_line.split(':', 1)\n"

# The fake core. Its embedding functions are C-level callables, as the real core's are: the
# bound `get` of a dict from the exact texts sent to the fixed answer. A Python-level fake would
# be called inline by the twin's interpreter but through a fresh interpreter entry by the
# product, a difference the real core does not have. The handshake is called once per side.
BATCH_SIZES = (1, 16, 256)


def make_fake_core():
    core = types.ModuleType("pellandor_core_py")
    answer = json.dumps({"version": "bench", "capabilities": CAPABILITIES})
    core.handshake = lambda: answer
    core.sparse_embed_single = {TEXT: json.dumps(EMBEDDING)}.get
    core.sparse_embed_batch = {json.dumps([TEXT] * n): batch_answer(n) for n in BATCH_SIZES}.get
    return core


class FakeSettings:
    """The seven settings the modules read, as plain attributes."""

    def __init__(self):
        self.sparse_profile_version = "v1"
        self.sparse_max_text_chars = 20000
        self.code_pretokenize = True
        self.builtin_ignore_replace = False
        self.builtin_ignore_patterns = [".git/", "node_modules/", "__pycache__/", "*.pyc", ".venv/", "build/"]
        self.extra_ignore_patterns = ["*.tmp", "*.log"]
        self.ignore_mode = "git+pellandor"


def batch_answer(count):
    return json.dumps({"embeddings": [EMBEDDING] * count})


def install_fakes():
    """Fakes in sys.modules and in both sides' globals; returns the two namespaces and the fakes."""
    core = make_fake_core()
    settings = FakeSettings()
    config = types.ModuleType("pellandor.config")
    config.settings = settings
    sys.modules["pellandor_core_py"] = core
    sys.modules["pellandor.config"] = config

    import pellandor.brimsett
    import pellandor.mistrel
    import pellandor.sparse
    import twin.brimsett
    import twin.mistrel
    import twin.sparse

    # Construction logs at INFO; one logger above INFO serves both sides, so both pay the
    # same early return in Logger.info.
    quiet = logging.getLogger("pellandor.bench.quiet")
    quiet.setLevel(logging.WARNING)
    quiet.propagate = False

    sides = {}
    for side, (sparse, brimsett, mistrel) in {
        "product": (pellandor.sparse, pellandor.brimsett, pellandor.mistrel),
        "twin": (twin.sparse, twin.brimsett, twin.mistrel),
    }.items():
        sparse.pellandor_core_py = core
        sparse.settings = settings
        sparse.logger = quiet
        mistrel.settings = settings
        brimsett._cached_capabilities = None
        sparse.reset_sparse_service()
        service = sparse.get_sparse_service()
        sides[side] = {
            "rc": brimsett.require_capability,
            "gss": sparse.get_sparse_service,
            "Svc": sparse.SparseEmbeddingService,
            "svc": service,
            "bsc": mistrel.build_scan_config,
            "text": TEXT,
            "texts1": [TEXT],
            "texts16": [TEXT] * 16,
            "texts256": [TEXT] * 256,
            "cap": "ignore_builtin_replace",
            "absent": "absent_capability",
            "ctx": "bench",
            "repo": "/srv/repos/pellandor",
        }
    return sides, core, settings


# name, statement (one call), target (product / twin), per-path set-up, calls per callgrind loop
def paths(core, settings):
    def flag(value):
        def setup():
            settings.builtin_ignore_replace = value
        return setup

    return [
        ("require_capability hit", "rc(cap, ctx)", 0.60, None, 4000),
        ("require_capability hit, keywords", "rc(name=cap, context=ctx)", 0.65, None, 4000),
        ("require_capability miss", "try:\n    rc(absent, ctx)\nexcept RuntimeError:\n    pass", 1.00, None, 1000),
        ("get_sparse_service hit", "gss()", 1.25, None, 4000),
        # Construction is not an embedding path and has no target: it is reported only. Its cost is
        # three entries from C into interpreted code (type_call into __init__, json.dumps,
        # logger.info), each of which the interpreter itself makes inline.
        ("SparseEmbeddingService()", "Svc()", None, None, 500),
        ("embed_single", "svc.embed_single(text)", 1.03, None, 1000),
        ("embed_batch, 1 text", "svc.embed_batch(texts1)", 1.03, None, 1000),
        ("embed_batch, 16 texts", "svc.embed_batch(texts16)", 1.03, None, 200),
        ("embed_batch, 256 texts", "svc.embed_batch(texts256)", 1.03, None, 20),
        ("embed_batch_list, 16 texts", "svc.embed_batch_list(texts16)", 1.03, None, 200),
        ("embed_batch_list, 16 texts, batch_size=8", "svc.embed_batch_list(texts16, batch_size=8)", 1.03,
         None, 200),
        ("build_scan_config, flag false", "bsc(repo)", 1.15, flag(False), 2000),
        ("build_scan_config, flag true", "bsc(repo)", 1.00, flag(True), 2000),
        ("binding error (require_capability())", "try:\n    rc()\nexcept TypeError:\n    pass", None, None, 1000),
    ]


UNROLL = 10


def make_loop(statement, namespace):
    """A function running `statement` UNROLL times per iteration, its names bound as locals."""
    names = sorted(namespace)
    body = "\n".join("        " + line for _ in range(UNROLL) for line in statement.splitlines())
    source = (f"def loop(_n, _timer, {', '.join(names)}):\n"
              f"    _t0 = _timer()\n"
              f"    for _ in range(_n):\n{body}\n"
              f"    return _timer() - _t0\n")
    scope = {}
    exec(compile(source, f"<loop {statement!r}>", "exec"), scope)
    loop = scope["loop"]
    args = [namespace[name] for name in names]
    return lambda n, timer=time.perf_counter: loop(n, timer, *args)


def check_same_results(sides, core, settings):
    """Both sides must give the same answers on every path, or the comparison means nothing."""
    def outcome(call):
        try:
            return repr(call())
        except RuntimeError as error:
            return f"RuntimeError: {error}"

    product, twin = sides["product"], sides["twin"]
    checks = [
        ("require_capability hit", lambda ns: ns["rc"](ns["cap"], ns["ctx"])),
        ("require_capability miss", lambda ns: ns["rc"](ns["absent"], ns["ctx"])),
        ("embed_single", lambda ns: ns["svc"].embed_single(ns["text"])),
        ("embed_batch", lambda ns: ns["svc"].embed_batch(ns["texts16"])),
        ("embed_batch_list", lambda ns: ns["svc"].embed_batch_list(ns["texts16"], batch_size=8)),
        ("profile", lambda ns: ns["svc"]._profile_json),
        ("build_scan_config", lambda ns: ns["bsc"](ns["repo"])),
    ]
    expected = repr(product["svc"].embed_single(TEXT))
    if "indices=[101, 2045" not in expected:
        raise SystemExit(f"the fake core gave an unexpected answer: {expected}")
    for flag in (False, True):
        settings.builtin_ignore_replace = flag
        for name, call in checks:
            mine, theirs = outcome(lambda: call(product)), outcome(lambda: call(twin))
            if mine != theirs:
                raise SystemExit(f"product and twin differ on {name}:\n  {mine}\n  {theirs}")
    settings.builtin_ignore_replace = False


# --- paired timing -------------------------------------------------------------------------------------

def time_paths(sides, path_list, rounds, budget):
    results = {}
    for name, statement, _target, setup, _calls in path_list:
        if setup:
            setup()
        loops = {side: make_loop(statement, ns) for side, ns in sides.items()}
        for loop in loops.values():  # warm-up: the interpreter specialises its instructions
            loop(50)
        # Calibrate the iteration count on the slower side so one timing lasts about `budget`.
        n = 1
        while max(loop(n) for loop in loops.values()) < budget / 4:
            n *= 2
        per_call = max(loop(n) for loop in loops.values()) / (n * UNROLL)
        n = max(1, int(budget / (per_call * UNROLL)))
        ratios, times = [], {"product": [], "twin": []}
        gc.collect()
        gc.disable()
        try:
            for r in range(rounds):
                order = ("product", "twin") if r % 2 == 0 else ("twin", "product")
                elapsed = {side: loops[side](n) for side in order}
                for side in order:
                    times[side].append(elapsed[side] / (n * UNROLL) * 1e9)
                ratios.append(elapsed["product"] / elapsed["twin"])
        finally:
            gc.enable()
        results[name] = {
            "ns_product": statistics.median(times["product"]),
            "ns_twin": statistics.median(times["twin"]),
            "ratio": statistics.median(ratios),
            # The middle half of the paired ratios: how much one round differs from the next.
            "ratio_quartiles": statistics.quantiles(ratios, n=4)[::2] if len(ratios) > 1 else [ratios[0]] * 2,
        }
    return results


# --- allocation check ---------------------------------------------------------------------------------

def allocation_check(sides, calls=100_000):
    out = []
    for label, statement in [("require_capability hit", "rc(cap, ctx)"),
                             ("require_capability hit, keywords", "rc(name=cap, context=ctx)"),
                             ("get_sparse_service hit", "gss()")]:
        for side, ns in sides.items():
            loop = make_loop(statement, ns)
            loop(1000)

            # Measured the same way with no calls, so what the measuring itself allocates
            # (its own integers, the timer's floats) cancels.
            def grown(n):
                gc.collect()
                before = sys.getallocatedblocks()
                loop(n)
                return sys.getallocatedblocks() - before

            baseline = grown(0)
            out.append((label, side, grown(calls // UNROLL) - baseline))
    return out


# --- callgrind ---------------------------------------------------------------------------------------

def callgrind_child(args):
    """Runs under valgrind: for each path, a loop of N calls and one of 2N, each inside eval()."""
    sides, core, settings = install_fakes()
    selected = [p for p in paths(core, settings) if p[0] in set(json.loads(args.callgrind_paths))]
    labels = []
    for name, statement, _target, setup, calls in selected:
        if setup:
            setup()
        n = max(1, int(calls * args.callgrind_scale) // UNROLL)
        for side in args.callgrind_sides.split(","):
            loop = make_loop(statement, sides[side])
            loop(20)  # specialise, outside the collected region
            scope = {"loop": loop}
            code_n = compile(f"loop({n})", "<measured>", "exec")
            code_2n = compile(f"loop({2 * n})", "<measured>", "exec")
            eval(code_n, scope)
            eval(code_2n, scope)
            labels.append({"path": name, "side": side, "calls": n * UNROLL})
    pathlib.Path(args.callgrind_labels).write_text(json.dumps(labels))


def dump_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    return 0


def build_id(path):
    try:
        notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True).stdout
    except OSError:
        return None
    found = re.search(r"Build ID: ([0-9a-f]+)", notes)
    return found and found.group(1)


def symbol_overlay(workdir):
    """A copy of the installed package whose modules are the build tree's unstripped twins.

    The installed modules are stripped; where the build tree holds a module with the same
    build ID (the same code), the copy uses it so that profiles name our functions. Returns
    the directory to put first on PYTHONPATH, or None.
    """
    import importlib.util

    installed = pathlib.Path(importlib.util.find_spec("pellandor").submodule_search_locations[0])
    build = BENCH_DIR.parent / "build"
    overlay = pathlib.Path(workdir) / "overlay"
    target = overlay / "pellandor"
    shutil.rmtree(overlay, ignore_errors=True)
    shutil.copytree(installed, target)
    replaced = 0
    for module in target.glob("*.so"):
        wanted = build_id(module)
        for candidate in build.glob(f"*/{module.name}"):
            if wanted and build_id(candidate) == wanted:
                shutil.copy2(candidate, module)
                replaced += 1
                break
    return overlay if replaced else None


def run_callgrind(path_list, scale, workdir, keep):
    """Ir per call for each path and side; two children (product, twin) in parallel."""
    names = json.dumps([p[0] for p in path_list])
    overlay = symbol_overlay(workdir)
    children = {}
    for side in ("product", "twin"):
        out = pathlib.Path(workdir) / side
        out.mkdir(parents=True, exist_ok=True)
        labels = out / "labels.json"
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=builtin_eval",
               "--dump-after=builtin_eval", f"--callgrind-out-file={out}/callgrind.out.%p",
               sys.executable, str(pathlib.Path(__file__).resolve()), "--callgrind-child",
               "--callgrind-paths", names, "--callgrind-sides", side, "--callgrind-scale", str(scale),
               "--callgrind-labels", str(labels)]
        env = dict(os.environ, PYTHONHASHSEED="0")
        if overlay:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(overlay), env.get("PYTHONPATH")]))
        children[side] = (subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env), out, labels)
    results = {}
    for side, (proc, out, labels) in children.items():
        stdout, stderr = proc.communicate()
        if proc.returncode != 0:
            sys.stderr.write(stderr.decode(errors="replace")[-4000:])
            raise RuntimeError(f"callgrind child ({side}) failed with {proc.returncode}")
        # Dumps are numbered in order (the one written at exit has no number); ours are the
        # last ones, two per path: nothing after the measured loops calls eval().
        dumps = sorted(glob.glob(f"{out}/callgrind.out.*.*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = [dump_total(p) for p in dumps]
        entries = json.loads(labels.read_text())
        measured = totals[-2 * len(entries):] if len(totals) >= 2 * len(entries) else None
        if measured is None:
            raise RuntimeError(f"callgrind ({side}): {len(totals)} dumps for {len(entries)} paths")
        for i, entry in enumerate(entries):
            ir_n, ir_2n = measured[2 * i], measured[2 * i + 1]
            results[(entry["path"], side)] = {
                "ir": (ir_2n - ir_n) / entry["calls"],
                "dump": dumps[len(dumps) - 2 * len(entries) + 2 * i + 1],
            }
    if not keep:
        shutil.rmtree(workdir, ignore_errors=True)
    return results


# --- report ------------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and fewer calls under callgrind")
    parser.add_argument("--rounds", type=int, help="timing rounds per path (default 61, quick 15)")
    parser.add_argument("--no-callgrind", action="store_true", help="skip instruction counts")
    parser.add_argument("--keep-callgrind", metavar="DIR", help="keep the callgrind dumps in DIR")
    parser.add_argument("--only", help="regular expression: run only the paths whose name matches")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    # Internal: the callgrind child.
    parser.add_argument("--callgrind-child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--callgrind-paths", help=argparse.SUPPRESS)
    parser.add_argument("--callgrind-sides", help=argparse.SUPPRESS)
    parser.add_argument("--callgrind-scale", type=float, default=1.0, help=argparse.SUPPRESS)
    parser.add_argument("--callgrind-labels", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.callgrind_child:
        callgrind_child(args)
        return 0

    rounds = args.rounds or (15 if args.quick else 61)
    budget = 0.002 if args.quick else 0.004
    sides, core, settings = install_fakes()
    check_same_results(sides, core, settings)
    path_list = paths(core, settings)
    if args.only:
        path_list = [p for p in path_list if re.search(args.only, p[0])]

    machine_line = f"{machine.describe()} ({sys.executable})"
    print(f"Machine: {machine_line}")
    print(f"Method: median of {rounds} paired ratios per path (product and twin timed back to back, "
          f"order alternating, {budget * 1e3:.0f} ms per timing, GC off while timing); "
          f"Ir/call from callgrind, (Ir(2N) - Ir(N)) / N.\n", flush=True)

    started = time.perf_counter()
    timing = time_paths(sides, path_list, rounds, budget)
    print(f"timing: {time.perf_counter() - started:.1f} s", flush=True)

    have_valgrind = not args.no_callgrind and shutil.which("valgrind") is not None
    counts = {}
    if have_valgrind:
        started = time.perf_counter()
        workdir = args.keep_callgrind or tempfile.mkdtemp(prefix="pellandor-callgrind-")
        counts = run_callgrind(path_list, 0.25 if args.quick else 1.0, workdir, keep=bool(args.keep_callgrind))
        print(f"callgrind: {time.perf_counter() - started:.1f} s"
              + (f" (dumps kept in {workdir})" if args.keep_callgrind else ""), flush=True)
    elif not args.no_callgrind:
        print("valgrind not found: instruction counts skipped, pass/fail from the time ratio")

    rows, failed, report = [], False, []
    for name, _statement, target, _setup, _calls in path_list:
        t = timing[name]
        cp, ct = counts.get((name, "product")), counts.get((name, "twin"))
        ir_ratio = cp["ir"] / ct["ir"] if cp and ct else None
        verdict = "-"
        if target is not None:
            decisive = ir_ratio if ir_ratio is not None else t["ratio"]
            ok = decisive <= target
            failed |= not ok
            verdict = "pass" if ok else "FAIL"
            if ir_ratio is not None and t["ratio"] > target:
                verdict += " (time ratio above target)"
        rows.append([
            name, f"{t['ns_product']:.0f}", f"{t['ns_twin']:.0f}",
            f"{t['ratio']:.3f} ({t['ratio_quartiles'][0]:.2f}–{t['ratio_quartiles'][1]:.2f})",
            f"{cp['ir']:.0f}" if cp else "-", f"{ct['ir']:.0f}" if ct else "-",
            f"{ir_ratio:.3f}" if ir_ratio is not None else "-",
            f"≤ {target:.2f}" if target is not None else "-", verdict,
        ])
        report.append({"path": name, **t, "ir_product": cp and cp["ir"], "ir_twin": ct and ct["ir"],
                       "ir_ratio": ir_ratio, "target": target, "verdict": verdict})

    header = ["path", "ns/call product", "ns/call twin", "paired time ratio (quartiles)", "Ir/call product",
              "Ir/call twin", "Ir ratio", "target", "pass/fail"]
    print()
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")

    print("\nAllocated blocks over 100,000 calls (sys.getallocatedblocks(), after minus before):")
    allocations = allocation_check(sides)
    for label, side, delta in allocations:
        must = side == "product"
        status = ("ok" if delta == 0 else "FAIL") if must else "(twin, for reference)"
        failed |= must and delta != 0
        print(f"  {label:34s} {side:8s} {delta:+d}  {status}")

    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"machine": machine_line, "paths": report,
                                                       "allocations": allocations}, indent=2))
    print("\nall targets met" if not failed else "\nsome targets missed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
