"""Import churn in fresh interpreters: re-imports after dropping sys.modules entries, failed
initialisations followed by successful ones, and second-interpreter attempts in a loop. The
first interpreter's modules keep working, and the allocated block count stays flat.

PELLANDOR_CHURN_ROUNDS scales the loops (default 1).
"""

import json
import os

from conftest import run_python

SCALE = max(1, int(os.environ.get("PELLANDOR_CHURN_ROUNDS", "1")))

# Run in every snippet: a working check of all three modules and a block counter.
PRELUDE = """
import gc, importlib, json, sys, types

MODULES = ("pellandor.sparse", "pellandor.brimsett", "pellandor.mistrel")

def works():
    import pellandor.brimsett as b, pellandor.mistrel as m, pellandor.sparse as s
    s.reset_sparse_service()
    svc = s.get_sparse_service()
    assert svc is s.get_sparse_service()
    assert svc.embed_single("getUserName").indices
    assert [r.indices for r in svc.embed_batch(["a b", "c d"])]
    b._cached_capabilities = None
    b.require_capability("ignore_builtin_replace", "churn")
    assert m.build_scan_config("/r")["repo_root"] == "/r"
    return (id(s), id(b), id(m))

def blocks():
    gc.collect()
    return sys.getallocatedblocks()

def grown(step, rounds):
    # Allocated blocks over `rounds` steps, after as many steps of warm-up.
    for _ in range(rounds):
        step()
    first = blocks()
    for _ in range(rounds):
        step()
    return blocks() - first
"""


def snippet(body):
    result = run_python(PRELUDE + body)
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_reimport_after_dropping_sys_modules_entries():
    # Each import after `del sys.modules[...]` gets the adopted module back from the create step,
    # and the import system gives it a fresh state block; the forgotten one must be freed.
    out = snippet(f"""
ids = works()

def reimport():
    for name in MODULES:
        del sys.modules[name]
    for name in MODULES:
        importlib.import_module(name)
    for name in MODULES:
        importlib.reload(sys.modules[name])

growth = grown(reimport, {500 * SCALE})
print(json.dumps({{"same": works() == ids, "growth": growth}}))
""")
    assert out["same"]
    assert out["growth"] < 100, out


def test_failed_initialisations_then_success():
    out = snippet(f"""
real_config = importlib.import_module("pellandor.config")
errors = set()

def fail_sparse():
    sys.modules["pellandor_core_py"] = None       # the core cannot be imported
    try:
        import pellandor.sparse
    except ImportError as exc:
        errors.add(type(exc).__name__)
    finally:
        del sys.modules["pellandor_core_py"]
    sys.modules.pop("pellandor.sparse", None)

def fail_mistrel():
    sys.modules["pellandor.config"] = types.ModuleType("pellandor.config")  # no settings
    try:
        import pellandor.mistrel
    except ImportError as exc:
        errors.add(str(exc))
    finally:
        sys.modules["pellandor.config"] = real_config
    sys.modules.pop("pellandor.mistrel", None)

def both():
    fail_sparse()
    fail_mistrel()

growth = grown(both, {500 * SCALE})
first = works()
for _ in range(3):                  # a ready module is not initialised again: nothing fails
    fail_sparse()
    fail_mistrel()
print(json.dumps({{"errors": sorted(errors), "growth": growth, "same": works() == first}}))
""")
    # Once initialised, a module is not initialised again, so the later rounds fail nothing.
    assert out["errors"] == ["ModuleNotFoundError", "cannot import name settings"]
    assert out["same"]
    # The import system's own caches wander by a few dozen blocks from run to run; one block
    # kept per failed initialisation would add a thousand.
    assert out["growth"] < 100, out


def test_second_interpreter_attempts():
    out = snippet(f"""
import _interpreters

ids = works()
config = _interpreters.new_config("legacy")
refusals = []

def attempt():
    interp = _interpreters.create(config)
    try:
        for name in MODULES:
            failure = _interpreters.run_string(interp, "import " + name)
            refusals.append(failure.msg if failure is not None else None)
    finally:
        _interpreters.destroy(interp)

def baseline():
    interp = _interpreters.create(config)
    try:
        for name in MODULES:
            _interpreters.run_string(interp, "import " + name + "_absent")
    finally:
        _interpreters.destroy(interp)

# Each legacy interpreter leaves thousands of blocks behind whatever it runs (the
# interpreter's own teardown); ours may add nothing to what a failed import costs.
growth = grown(attempt, {10 * SCALE})
base = grown(baseline, {10 * SCALE})
print(json.dumps({{"refusals": sorted(set(refusals)), "same": works() == ids, "growth": growth,
                   "baseline": base}}))
""")
    assert out["refusals"] == [
        "Interpreter change detected - this module can only be loaded into one interpreter per "
        "process."]
    assert out["same"]
    assert out["growth"] <= out["baseline"] + 100 * SCALE, out


def test_second_interpreter_first_then_main():
    """Whichever interpreter imports first keeps the module; the main one is refused."""
    out = snippet("""
import _interpreters
interp = _interpreters.create(_interpreters.new_config("legacy"))
sub = _interpreters.run_string(
    interp, "import pellandor.brimsett as b; assert b._load_capabilities() is not None")
for _ in range(20):
    _interpreters.run_string(interp, "import pellandor.brimsett as b; b._cached_capabilities = None;"
                                     "b.require_capability('ignore_builtin_replace', 'x')")
_interpreters.destroy(interp)
try:
    import pellandor.brimsett
    main = None
except ImportError as exc:
    main = str(exc)
print(json.dumps({"sub": sub and sub.formatted, "main": main}))
""")
    assert out["sub"] is None
    assert out["main"].startswith("Interpreter change detected")
