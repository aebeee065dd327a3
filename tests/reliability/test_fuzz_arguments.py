"""Every function of every built module, called with random arguments: random counts, keywords
that are valid, unknown or given twice, values of every kind. The call must raise exactly the
TypeError that the argument rules give, or an error of a conversion as the interpreter raises
it, or be accepted: a coroutine or generator object that has not run, or for a plain function
its body's outcome against well-behaved stand-ins."""
import pytest
from hypothesis import strategies as st

from arguments import FLOAT_ONLY, VALID, check_argument_error, expected_outcome, values
from fuzzing import FUNCTIONS, forget_tracebacks, fuzz, no_error_pending
from hostile import Script, Unraisables, install, judge, restore


@st.composite
def random_calls(draw, function):
    names = [p.name for p in function.params]
    args = draw(st.lists(values, max_size=len(names) + 2))
    keys = draw(st.lists(st.sampled_from(names + ["bogus", "source"]), max_size=3, unique=True))
    return args, {key: draw(values) for key in keys}


@st.composite
def mostly_valid_calls(draw, function):
    """Each parameter by position or keyword (or left to its default), mostly with a value that
    passes its check."""
    positional = draw(st.integers(0, len(function.params)))
    args, kwargs = [], {}
    for i, param in enumerate(function.params):
        value = draw(st.one_of(st.sampled_from(VALID[param.kind]), values))
        if i < positional:
            args.append(value)
        elif param.required or draw(st.booleans()):
            kwargs[param.name] = value
    return args, kwargs


def call_outcome(function, args, kwargs):
    """Calls with calm stand-ins installed; returns the expected and the actual outcome."""
    expected = expected_outcome(function, args, kwargs)
    script = Script()
    saved = install(function.module, script)
    try:
        with Unraisables() as reports:
            try:
                made = function.obj(*args, **kwargs)
            except BaseException as error:  # noqa: B902 - judged below
                if expected[0] == "accepted":
                    assert function.kind == "plain", repr(error)
                    judge(error, script, "plain")
                else:
                    check_argument_error(error, expected)
                forget_tracebacks([error])
            else:
                assert expected[0] == "accepted", (expected, made)
                if function.kind != "plain":
                    assert made.__name__ == function.name and made.close() is None
                del made
        reports.judge(script, function.kind)
    finally:
        restore(function.module, saved)
    no_error_pending()


@pytest.mark.parametrize("function", FUNCTIONS, ids=str)
def test_random_arguments(function):
    @fuzz(st.one_of(random_calls(function), mostly_valid_calls(function)))
    def run(call):
        call_outcome(function, *call)

    run()


# One integer parameter shows it: all of them share the frame's conversion.
INT_PARAMETERS = [(f, p.name) for f in FUNCTIONS for p in f.params if p.kind == "int"][:1]


@pytest.mark.parametrize("value", FLOAT_ONLY, ids=repr)
@pytest.mark.parametrize("function, name", INT_PARAMETERS, ids=str)
def test_number_only_through_float_is_not_an_int(function, name, value):
    call_outcome(function, [], {p.name: value if p.name == name else VALID[p.kind][0]
                                for p in function.params if p.required or p.name == name})
