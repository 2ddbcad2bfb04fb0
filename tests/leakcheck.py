"""The leak check shared by the leak tests: repeat a call, then compare reference counts and
the interpreter's allocated blocks with what they were before.

Sentinels must be ordinary objects built at run time: None, small ints and interned strings
are immortal and would show nothing. PELLANDOR_LEAK_ROUNDS sets the repetitions (default
10,000; `make fuzz-long` runs 100,000). Every round is the same call and the same checks
whatever the count: a reference kept per call changes a sentinel's count after one round, and
a block kept per call shows as LEAK_ROUNDS blocks, far above BLOCK_SLACK at either count.
Under PYTHONMALLOC=malloc the block count stays 0 and only reference counts speak.
"""

import gc
import os
import sys

LEAK_ROUNDS = int(os.environ.get("PELLANDOR_LEAK_ROUNDS", "10000"))
WARM_UP = 1_000
# Free lists, caches and interned names settle within the warm-up; a leak of one block per
# call shows as at least LEAK_ROUNDS blocks.
BLOCK_SLACK = 500
# Only the interpreter's own allocator counts blocks.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0


def assert_no_leaks(call, *sentinels, expected=Exception):
    """Run ``call`` LEAK_ROUNDS times, swallowing ``expected``; fail if the reference count of
    any sentinel changed or the allocated blocks grew."""
    def run(rounds):
        for _ in range(rounds):
            try:
                call()
            except expected:
                pass

    # What lives now is left out of the collections below, so that they stay quick however
    # much the test session holds; they still free all that the calls leave behind, and what
    # is frozen, garbage or not, counts the same before and after.
    gc.freeze()
    try:
        run(WARM_UP)
        gc.collect()
        counts, blocks = [sys.getrefcount(s) for s in sentinels], sys.getallocatedblocks()
        run(LEAK_ROUNDS)
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        final = [sys.getrefcount(s) for s in sentinels]
    finally:
        gc.unfreeze()
    assert final == counts
    assert grown < BLOCK_SLACK, f"{grown} blocks more after {LEAK_ROUNDS} calls"
