"""What the fuzz tests share: the functions under test, discovered from the built modules, and
hypothesis settings that keep each run reproducible and inside the CI budget.

Every run draws the same examples (derandomized). `VORNAL_FUZZ_EXAMPLES` sets the number of
examples per function and test; `VORNAL_FUZZ_SEED` draws other examples, from that seed, for a
longer exploratory run, e.g.
    VORNAL_FUZZ_EXAMPLES=2000 VORNAL_FUZZ_SEED=7 tools/test tests/reliability
"""
import functools
import os
import sys

from hypothesis import HealthCheck, given, seed, settings

import discovery
from hostile import error_pending

FUNCTIONS = discovery.all_functions()

# The debug interpreter and the sanitizer build run several times slower than a release build.
SLOW_BUILD = hasattr(sys, "gettotalrefcount") or "asan" in os.environ.get("LD_PRELOAD", "")
EXAMPLES = int(os.environ.get("VORNAL_FUZZ_EXAMPLES", 0)) or (25 if SLOW_BUILD else 80)
_SEED = os.environ.get("VORNAL_FUZZ_SEED")


def fuzz(*strategies):
    """Makes a hypothesis test of the decorated function, drawing its arguments from
    `strategies`, with the suite's settings. An exception that is not an Exception
    (KeyboardInterrupt, SystemExit, ... of a fake) escaping a case fails it like any other, so
    that hypothesis shrinks and reports it instead of stopping at once."""
    def decorate(test):
        @functools.wraps(test)
        def contained(*args, **kwargs):
            try:
                return test(*args, **kwargs)
            except Exception:
                raise
            except BaseException as error:  # noqa: B902
                raise AssertionError(f"escaped the case: {error!r}") from error

        configured = settings(max_examples=EXAMPLES, derandomize=_SEED is None, database=None, deadline=None,
                              suppress_health_check=list(HealthCheck), print_blob=True)(given(*strategies)(contained))
        return seed(int(_SEED))(configured) if _SEED is not None else configured

    return decorate


def forget_tracebacks(errors):
    """Drops the tracebacks of the case's errors and of their chains, so that the frames of the
    driver, and the coroutine they reference, go when the case ends."""
    seen = set()
    pending = list(errors)
    while pending:
        error = pending.pop()
        if error is None or id(error) in seen:
            continue
        seen.add(id(error))
        error.__traceback__ = None
        pending += [error.__context__, error.__cause__, *getattr(error, "exceptions", ())]


def no_error_pending():
    assert not error_pending()
    assert sys.exception() is None
