"""Every function of every built module, run against outside services that misbehave at every
step, and driven by a caller that sends, throws, closes, resumes from inside a callback and
drops the coroutine or generator at every suspension. What comes out must be an exception of
outside code unchanged, or one the interpreter raises for the wrong object it was handed, never a
SystemError; afterwards no error is pending."""
import random

import pytest
from hypothesis import strategies as st

from arguments import VALID
from fuzzing import FUNCTIONS, forget_tracebacks, fuzz, no_error_pending
from hostile import Hostile, Script, Unraisables, drive, install, judge, restore


def run_case(function, script, args):
    try:
        made = function.obj(*args)
    except BaseException as error:  # noqa: B902 - judged
        judge(error, script, function.kind)
        return
    if function.kind != "plain":
        drive(made, function.kind, script)


@pytest.mark.parametrize("function", FUNCTIONS, ids=str)
def test_hostile_services_and_drivers(function):
    @fuzz(st.randoms(use_true_random=False), st.data())
    def run(rng, data):
        script = Script(random.Random(rng.getrandbits(64)))
        args = [Hostile(script) if param.kind is None else data.draw(st.sampled_from(VALID[param.kind]))
                for param in function.params]
        saved = install(function.module, script)
        try:
            with Unraisables() as reports:
                run_case(function, script, args)
                del args
                forget_tracebacks(script.raised)
            reports.judge(script, function.kind)
        except AssertionError as failure:
            failure.add_note(f"steps: {script.trace}")
            raise
        finally:
            script.rng = None
            restore(function.module, saved)
        no_error_pending()

    run()
