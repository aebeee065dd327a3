"""Several threads calling every function and driving its coroutines or generators at once, each
its own objects, give what one thread gives alone; a coroutine or generator resumed from a second
thread while its body runs is refused, and the running one goes on undisturbed."""
import sys
import threading

import pytest

from fuzzing import FUNCTIONS
from hostile import Fixed, Script, arguments_for, install, restore, resume_to_end, run_to_end

THREADS = 4
ROUNDS = 25

# Outside services that behave, that suspend, that raise, and whose error the session swallows.
BEHAVIOURS = [{}, {"suspensions": 2, "items": 2}, {"attribute": "raise"},
              {"attribute": "raise", "__aexit__": "swallow", "__exit__": "swallow"}]


class PerThread(Script):
    """The script of the thread that runs the step: the fakes on the module are shared by all
    threads, each thread brings its own script."""

    local = threading.local()

    def __getattribute__(self, name):
        return getattr(PerThread.local.script, name)


def outcome(function, behaviour):
    """Runs one call to its end with this thread's script."""
    script = PerThread.local.script = Fixed(**behaviour)
    return run_to_end(function, script)


def all_outcomes(function):
    return [outcome(function, behaviour) for behaviour in BEHAVIOURS]


@pytest.fixture
def per_thread(request):
    function = request.getfixturevalue("function")
    saved = install(function.module, PerThread())
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the lock over as often as the interpreter can
    yield
    sys.setswitchinterval(switch)
    restore(function.module, saved)


@pytest.mark.parametrize("function", FUNCTIONS, ids=str)
def test_threads_get_what_one_thread_gets(function, per_thread):
    expected = all_outcomes(function)
    results = [[] for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(mine):
        start.wait()
        for _ in range(ROUNDS):
            mine.append(all_outcomes(function))

    threads = [threading.Thread(target=work, args=(results[i],)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for mine in results:
        assert mine == [expected] * ROUNDS


class Blocking(Fixed):
    """Stops at the first step of outside code until the other thread has tried to resume."""

    def __init__(self, **choices):
        super().__init__(**choices)
        self.inside = threading.Event()
        self.tried = threading.Event()

    def pick(self, label, options):
        if not self.inside.is_set():
            self.inside.set()
            assert self.tried.wait(10)
        return super().pick(label, options)


@pytest.mark.parametrize("method", ["send", "throw", "close"])
@pytest.mark.parametrize("function", [f for f in FUNCTIONS if f.kind != "plain"], ids=str)
def test_resumed_from_another_thread_while_running(function, method, per_thread):
    script = PerThread.local.script = Blocking()
    made = function.obj(*arguments_for(function, script))
    refused = []

    def resume():
        assert script.inside.wait(10)
        try:
            if method == "throw":
                made.throw(KeyError("from the other thread"))
            else:
                getattr(made, method)(*([None] if method == "send" else []))
        except ValueError as error:
            refused.append(str(error))
        finally:
            script.tried.set()

    other = threading.Thread(target=resume)
    other.start()
    alone = resume_to_end(made)
    other.join()
    assert refused == [f"{function.kind} already executing"]
    # The run went on as if nobody had tried.
    PerThread.local.script = Fixed()
    assert alone == outcome(function, {})


