"""Reference counts stay level over many calls of every path of every function (debug interpreter
only, where the interpreter keeps a total of all references), and coroutines and generators that
sit in reference cycles are collected."""
import gc
import sys
import weakref

import pytest

from fuzzing import FUNCTIONS
from hostile import Fixed, arguments_for, install, restore

CALLS = 10_000  # per function, spread over its paths


def _resume(target):
    """Sends until `target` ends; how it ends is the path under test, so an error is dropped."""
    try:
        while True:
            target.send(None)
    except BaseException:  # noqa: B902
        pass


def _started(function, script, **choices):
    script.choose(**choices)
    try:
        return function.obj(*arguments_for(function, script))
    except Exception:  # a plain function's body already ended
        return None


def _suspended(function, script):
    made = _started(function, script, suspensions=1, items=2)
    try:
        made.send(None)
    except BaseException:  # noqa: B902 - ended without suspending
        return None
    return made


def path_argument_error(function, script):
    try:
        function.obj(*range(len(function.params) + 1))
    except TypeError:
        pass


def path_completes(function, script):
    made = _started(function, script)
    if function.kind != "plain":
        _resume(made)


def path_raises(function, script):
    made = _started(function, script, attribute="raise")
    if function.kind != "plain":
        _resume(made)


def path_error_swallowed(function, script):
    _resume(_started(function, script, attribute="raise", __aexit__="swallow", __exit__="swallow"))


def path_thrown_into(function, script):
    made = _suspended(function, script)
    if made is not None:
        try:
            made.throw(KeyError("thrown"))
        except BaseException:  # noqa: B902
            pass


def path_closed(function, script):
    made = _suspended(function, script)
    if made is not None:
        try:
            made.close()
        except BaseException:  # noqa: B902 - an except clause matching an outside name that is no class
            pass


def path_dropped(function, script):
    _suspended(function, script)


PATHS = {
    "plain": [path_argument_error, path_completes, path_raises],
    "coroutine": [path_argument_error, path_completes, path_raises, path_error_swallowed, path_thrown_into,
                  path_closed, path_dropped],
    "generator": [path_argument_error, path_completes, path_raises, path_thrown_into, path_closed, path_dropped],
}


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (sys.gettotalrefcount)")
@pytest.mark.parametrize("function", FUNCTIONS, ids=str)
def test_total_references_stay_level(function, monkeypatch):
    # A dropped coroutine whose closing fails reports the error as unraisable; pytest would keep
    # every such report until the test ends, which would count as growth here.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    paths = PATHS[function.kind]
    runs = CALLS // len(paths)
    script = Fixed()
    saved = install(function.module, script)

    def batch(count):
        for path in paths:
            for _ in range(count):
                path(function, script)
        script.choose()
        gc.collect()

    try:
        batch(runs // 20)  # warm-up: caches, interned strings, free lists
        before = sys.gettotalrefcount()
        batch(runs)
        growth = sys.gettotalrefcount() - before
    finally:
        restore(function.module, saved)
    # A reference leaked by one path on every call would show as `runs`.
    assert growth < runs // 20, growth


# ---- cycles ----

def _advance(made, sends):
    """Resumes `made` to its `sends`-th suspension; skips when it ends before."""
    for _ in range(sends):
        try:
            made.send(None)
        except BaseException as error:  # noqa: B902
            made.close()
            pytest.skip(f"ends before suspension {sends} with well-behaved outside services: {error!r}")


def cycle_through_argument(function, script, sends):
    """The coroutine or generator is referenced by one of its own arguments."""
    unchecked = [i for i, p in enumerate(function.params) if p.kind is None]
    if not unchecked:
        pytest.skip("no unchecked parameter to carry a cycle")
    args = arguments_for(function, script)
    made = function.obj(*args)
    vars(args[unchecked[0]])["back"] = made  # the hostile argument keeps it
    _advance(made, sends)
    return made


def cycle_through_kept_and_awaited(function, script, sends):
    """A suspended coroutine or generator is referenced by what it waits on and by what outside
    calls handed it and it holds (a session, a file, a record): all of them hold the script,
    and the script holds it."""
    if not sends:
        pytest.skip("a coroutine that has not started holds and waits on nothing")
    made = function.obj(*arguments_for(function, script))
    _advance(made, sends)
    script.choices["kept"] = made
    return made


@pytest.mark.parametrize("cycle", [cycle_through_argument, cycle_through_kept_and_awaited],
                         ids=["argument", "held"])
@pytest.mark.parametrize("sends", range(5), ids=lambda n: f"suspension {n}")
@pytest.mark.parametrize("function", [f for f in FUNCTIONS if f.kind != "plain"], ids=str)
def test_coroutine_in_a_cycle_is_collected(function, cycle, sends):
    script = Fixed(suspensions=1, items=2)
    saved = install(function.module, script)
    try:
        probe = weakref.ref(cycle(function, script, sends))
    finally:
        restore(function.module, saved)
    del script  # now only the cycle holds it
    gc.collect()
    assert probe() is None
