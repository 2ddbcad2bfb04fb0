"""The reference-leak pass of `make test-debug`, in the manner of CPython's own ``-R 3:3``.

Every path that a leak test hands to ``leakcheck.assert_no_leaks`` (the tables of test_leaks.py,
test_sparse_module.py and test_sparse_service.py) is called in rounds: warm-up rounds, then
three measured rounds, with the garbage collected and the interpreter's caches cleared after
each. A path fails when ``sys.gettotalrefcount()`` or ``sys.getallocatedblocks()`` grows in
every measured round (CPython's rule: a cache filling once, or noise that goes back down, is
not a leak), or when a sentinel's reference count moved. Needs a debug build of CPython.

A pytest plugin, loaded with tests/ on the path: ``PYTHONPATH=tests python -m pytest -p refleak
tests``. It puts this check in place of leakcheck's, runs only the tests whose code calls it,
and fails a test that checked no path (so a table reached some other way is not skipped
unseen). PELLANDOR_REFLEAK_CALLS sets the calls per round (default 100);
PELLANDOR_REFLEAK_SHOW=1 prints every path's deltas (with pytest's -s).
"""

import gc
import os
import sys
import types

import pytest

import leakcheck

WARM_UP_ROUNDS = 3
MEASURED_ROUNDS = 3
CALLS_PER_ROUND = int(os.environ.get("PELLANDOR_REFLEAK_CALLS", "100"))

_original_check = leakcheck.assert_no_leaks
_state = {"paths": 0, "noisy": 0, "tests": 0}
# Deltas are stored as pooled ints, so that keeping them allocates nothing (as in CPython).
_int_pool = {value: value for value in range(-1000, 1000)}


def _pooled(value):
    return _int_pool.setdefault(value, value)


def _interned_immortal():
    try:
        return sys.getunicodeinternedsize(_only_immortal=True)
    except (AttributeError, TypeError):
        return 0


def _clear_caches():
    clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear()
    gc.collect()


def _where(call):
    code = getattr(call, "__code__", None)
    if code is None:
        return repr(call)
    return f"{os.path.basename(code.co_filename)}:{code.co_firstlineno}"


def assert_no_leaks(call, *sentinels, expected=Exception):
    """Call ``call`` in WARM_UP_ROUNDS + MEASURED_ROUNDS rounds of CALLS_PER_ROUND calls,
    swallowing ``expected``; fail on growth in every measured round or a moved sentinel."""
    _state["paths"] += 1
    rc_deltas = [0] * MEASURED_ROUNDS
    block_deltas = [0] * MEASURED_ROUNDS
    rc_before = blocks_before = 0
    counts = None
    for i in range(WARM_UP_ROUNDS + MEASURED_ROUNDS):
        for _ in range(CALLS_PER_ROUND):
            try:
                call()
            except expected:
                pass
        _clear_caches()
        if i == WARM_UP_ROUNDS - 1:
            # Before the last warm-up reading, so that this list is in the baseline.
            counts = [sys.getrefcount(s) for s in sentinels]
        interned = _interned_immortal()
        blocks_after = sys.getallocatedblocks() - interned
        rc_after = sys.gettotalrefcount() - interned * 2
        if i >= WARM_UP_ROUNDS:
            rc_deltas[i - WARM_UP_ROUNDS] = _pooled(rc_after - rc_before)
            block_deltas[i - WARM_UP_ROUNDS] = _pooled(blocks_after - blocks_before)
        rc_before, blocks_before = rc_after, blocks_after
    after = [sys.getrefcount(s) for s in sentinels]
    moved = [a - c for a, c in zip(after, counts)]

    problems = []
    if all(delta >= 1 for delta in rc_deltas):
        problems.append(f"total references grew in every round by {rc_deltas}")
    if all(delta >= 1 for delta in block_deltas):
        problems.append(f"{block_deltas} blocks more in the rounds")
    if any(moved):
        problems.append(f"sentinel reference counts moved by {moved}")
    if problems:
        raise AssertionError(f"path at {_where(call)}, {CALLS_PER_ROUND} calls a round: "
                             + "; ".join(problems))
    if os.environ.get("PELLANDOR_REFLEAK_SHOW"):
        print(f"\n{_where(call)}: refs {rc_deltas} blocks {block_deltas}")
    if any(rc_deltas) or any(block_deltas):
        _state["noisy"] += 1


def _names(code):
    names = set(code.co_names)
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            names |= _names(const)
    return names


def _calls_the_check(item):
    function = getattr(item, "function", None)
    code = getattr(function, "__code__", None)
    return code is not None and "assert_no_leaks" in _names(code)


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("the reference-leak pass needs a debug build of CPython "
                                "(--with-pydebug): sys.gettotalrefcount is missing")
    leakcheck.assert_no_leaks = assert_no_leaks


def pytest_collection_modifyitems(config, items):
    keep, drop = [], []
    for item in items:
        (keep if _calls_the_check(item) else drop).append(item)
    for item in keep:
        # A module imported before this plugin still holds leakcheck's own check.
        module = getattr(item, "module", None)
        if getattr(module, "assert_no_leaks", None) is _original_check:
            module.assert_no_leaks = assert_no_leaks
    if drop:
        config.hook.pytest_deselected(items=drop)
    items[:] = keep


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    before = _state["paths"]
    result = yield
    if _state["paths"] == before:
        raise AssertionError("the reference-leak pass checked no path in this test")
    _state["tests"] += 1
    return result


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(
        f"reference-leak pass: {_state['paths']} paths in {_state['tests']} tests, "
        f"{WARM_UP_ROUNDS} warm-up and {MEASURED_ROUNDS} measured rounds of {CALLS_PER_ROUND} "
        f"calls; {_state['noisy']} of the passing paths moved without growing in every round")
