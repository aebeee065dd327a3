"""The reference-count check of the debug interpreter, shared by the frame's and the modules' tests."""
import gc
import sys

import pytest

RUNS = 200

needs_debug_interpreter = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                             reason="needs a debug interpreter (sys.gettotalrefcount)")


def assert_references_stay_level(run_once):
    """Runs `run_once()` in batches of RUNS: the interpreter's total of references may not grow
    by a reference per run."""
    def batch():
        for _ in range(RUNS):
            run_once()
        gc.collect()

    batch()  # warm-up: caches, interned strings, free lists
    growth = []
    for _ in range(3):
        before = sys.gettotalrefcount()
        batch()
        growth.append(sys.gettotalrefcount() - before)
    # One leaked reference per run would show as RUNS in every batch.
    assert min(growth) < RUNS // 10, growth
