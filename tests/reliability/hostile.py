"""Hostile stand-ins for every outside name of a module, the drivers that resume a module's
coroutines and generators in every way the interpreter allows, and the oracle that judges what
comes out.

A `Script` draws, at every step where outside code runs, whether that code behaves or
misbehaves (raises any exception, returns a wrong type or a non-awaitable, suspends, swallows
an error, lets its `__await__` misbehave). Its first option is always the well-behaved one, and
after a fixed number of steps only that option is taken, so that every case ends.

`Hostile` is one object that can stand for any outside name: callable, awaitable, a context
manager of both kinds, iterable, a number, a text, a class for `isinstance`, with any attribute.
"""
import ctypes
import gc
import sys
import warnings

from arguments import VALID
from discovery import outside_names

MAX_DRAWS = 60       # steps of outside code that may misbehave in one case
MAX_SUSPENSIONS = 3  # values an awaitable yields before it returns
MAX_ITEMS = 3        # items an iterable yields
MAX_DRIVES = 40      # resumptions of one coroutine or generator


class HostileBase(BaseException):
    """A BaseException subclass of the test's own, which nothing but a fake raises."""


def _exceptions():
    return [
        lambda: ValueError("fake"), lambda: KeyError("fake"), lambda: TypeError("fake"),
        lambda: AttributeError("fake"), lambda: RuntimeError("fake"), lambda: OSError(2, "fake"),
        lambda: KeyboardInterrupt(), lambda: SystemExit(3), lambda: GeneratorExit(),
        lambda: StopIteration("fake"), lambda: StopAsyncIteration(), lambda: HostileBase("fake"),
        lambda: ExceptionGroup("fake", [ValueError("inner")]),
    ]


EXCEPTIONS = _exceptions()
for _make in EXCEPTIONS:
    _make.__name__ = type(_make()).__name__


class Script:
    """The misbehaviour of one case, drawn step by step from a seeded random source; remembers
    every exception that outside code raised or handed out, so that the oracle can tell them by
    identity, and the choices it made, to show with a failure."""

    def __init__(self, rng=None):
        self.rng = rng
        self.trace = []         # (label, choice) of every drawn step
        self.raised = []        # exceptions raised by fakes, or thrown in by the driver
        self.thrown_types = []  # exception classes thrown in by the driver as classes
        self.reenter = None     # (coroutine or generator, method name): resumed from the next callback
        self.reentries = []     # what those resumptions raised

    def pick(self, label, options):
        if self.rng is None or len(self.trace) >= MAX_DRAWS:
            return options[0]
        # Mostly the well-behaved first option, so that the module gets far into its body.
        choice = options[0] if self.rng.random() < 0.6 else self.rng.choice(options)
        self.trace.append((label, getattr(choice, "__name__", choice)))
        return choice

    def count(self, label, most):
        return self.pick(label, list(range(most + 1)))

    def error(self, label="error"):
        error = self.pick(label, EXCEPTIONS)()
        self.raised.append(error)
        return error

    def value(self, label="value"):
        """A plain value of a type the module may or may not expect."""
        return self.pick(label, [
            lambda: Hostile(self), lambda: 7, lambda: "text", lambda: [], lambda: {}, lambda: None,
            lambda: True, lambda: 2 ** 80, lambda: 1.5, lambda: b"bytes", lambda: [Hostile(self)],
            lambda: (Hostile(self), Hostile(self)), lambda: {"key": Hostile(self)}, lambda: Plain(),
            lambda: self.error("handed out"),
        ])()

    def step(self, label, *misbehaviours):
        """Runs one step of outside code: resumes the object registered for re-entrance, then
        draws "ok", one of `misbehaviours` or "raise" (which raises here)."""
        self.resume_from_inside()
        choice = self.pick(label, ("ok",) + misbehaviours + ("raise",))
        if choice == "raise":
            raise self.error(label)
        return choice

    def resume_from_inside(self):
        if self.reenter is None:
            return
        target, method = self.reenter
        self.reenter = None
        try:
            if method == "throw":
                target.throw(KeyError("re-entered"))
            else:
                getattr(target, method)(*([None] if method == "send" else []))
        except BaseException as error:  # noqa: B902 - recorded and judged by the test
            self.reentries.append(error)
        else:
            self.reentries.append(None)


class Fixed(Script):
    """A script that takes the option given for a step's label and the well-behaved one
    everywhere else, the same in every run. Keywords name labels with underscores for blanks;
    a special method's name stands as it is."""

    def __init__(self, **choices):
        super().__init__()
        self.choose(**choices)

    def choose(self, **choices):
        self.choices = {label if label.startswith("__") else label.replace("_", " "): choice
                        for label, choice in choices.items()}
        self.raised.clear()

    def pick(self, label, options):
        return self.choices.get(label, options[0])


def arguments_for(function, script):
    """Arguments that pass every check: a hostile object for each unchecked parameter."""
    return [Hostile(script) if p.kind is None else VALID[p.kind][0] for p in function.params]


def run_to_end(function, script):
    """Calls `function` with arguments that pass and runs what it makes to its end; returns
    how it ended, in a form that compares across runs."""
    try:
        made = function.obj(*arguments_for(function, script))
    except Exception as error:
        return ("raised", type(error).__name__, str(error))
    if function.kind == "plain":
        return ("returned", type(made).__name__)
    return resume_to_end(made)


def resume_to_end(made):
    steps = []
    try:
        while True:
            steps.append(type(made.send(None)).__name__)
    except StopIteration as stop:
        return ("returned", type(stop.value).__name__, steps)
    except Exception as error:
        return ("raised", type(error).__name__, str(error), steps)


class Plain:
    """An object with no special methods at all: not callable, awaitable or iterable."""

    __slots__ = ()


class Suspender:
    """The iterator of an awaitable: yields a drawn number of times, then returns `result`;
    what it is thrown may be raised again, swallowed or answered with another error."""

    def __init__(self, script, result):
        self.script = script
        self.result = result
        self.left = script.count("suspensions", MAX_SUSPENSIONS)

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.script.step("await step")
        if self.left:
            self.left -= 1
            return "suspended"
        raise StopIteration(self.result)

    def throw(self, kind, value=None, traceback=None):
        choice = self.script.step("await throw", "return", "yield")
        if choice == "return":
            raise StopIteration(self.result)
        if choice == "yield" and self.left:
            self.left -= 1
            return "suspended"
        if value is None:
            raise kind
        raise value

    def close(self):
        self.script.step("await close")


class BareSuspender(Suspender):
    """The same without `throw` and `close`: a thrown error goes into the body unasked."""

    throw = None
    close = None

    def __getattribute__(self, name):
        if name in ("throw", "close"):
            raise AttributeError(name)
        return super().__getattribute__(name)


class Items:
    def __init__(self, script):
        self.script = script
        self.left = script.count("items", MAX_ITEMS)

    def __iter__(self):
        return self

    def __next__(self):
        self.script.step("next item")
        if not self.left:
            raise StopIteration
        self.left -= 1
        return self.script.value("item")


class Hostile:
    """Any outside name; each use is one step of its script."""

    def __init__(self, script):
        self.__dict__["_script"] = script

    def __repr__(self):
        return "<hostile>"

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    # ---- calls and attributes ----

    def __call__(self, *args, **kwargs):
        script = self._script
        choice = script.step("call", "value", "coroutine", "non-awaitable")
        if choice == "value":
            return script.value("call result")
        if choice == "coroutine":
            return self._coroutine()
        if choice == "non-awaitable":
            return Plain()
        return Hostile(script)

    async def _coroutine(self):
        """A real coroutine of the kind a data layer's `async def` returns. The RuntimeError that
        the interpreter makes of a StopIteration leaving it counts as raised by outside code."""
        try:
            return await self._coroutine_body()
        except RuntimeError as error:
            self._script.raised.append(error)
            raise

    async def _coroutine_body(self):
        self._script.step("coroutine body")
        return await Hostile(self._script)

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        choice = self._script.step("attribute", "value")
        return self._script.value("attribute value") if choice == "value" else Hostile(self._script)

    def __setattr__(self, name, value):
        self._script.step("set attribute")

    # ---- await, async with, with ----

    def __await__(self):
        script = self._script
        choice = script.step("__await__", "bare", "non-iterator", "coroutine")
        if choice == "non-iterator":
            return 5
        if choice == "coroutine":
            return self._coroutine()
        result = script.value("await result") if script.pick("await result kind", ("hostile", "value")) == "value" \
            else Hostile(script)
        return (BareSuspender if choice == "bare" else Suspender)(script, result)

    def __aenter__(self):
        choice = self._script.step("__aenter__", "non-awaitable")
        return 5 if choice == "non-awaitable" else Hostile(self._script)

    def __aexit__(self, kind, value, traceback):
        choice = self._script.step("__aexit__", "swallow", "non-awaitable")
        if choice == "non-awaitable":
            return 5
        return Swallowing(self._script) if choice == "swallow" else Hostile(self._script)

    def __enter__(self):
        self._script.step("__enter__")
        return Hostile(self._script)

    def __exit__(self, kind, value, traceback):
        choice = self._script.step("__exit__", "swallow", "truth raises")
        if choice == "truth raises":
            return Hostile(self._script)
        return choice == "swallow"

    # ---- iteration and containers ----

    def __iter__(self):
        self._script.step("__iter__")
        return Items(self._script)

    def __len__(self):
        self._script.step("__len__")
        return 1

    def __getitem__(self, key):
        return self._result("__getitem__")

    def __contains__(self, item):
        return self._script.step("__contains__", "no") == "ok"

    # ---- conversions ----

    def __bool__(self):
        choice = self._script.step("__bool__", "false", "wrong type")
        return 1 if choice == "wrong type" else choice == "ok"

    def __index__(self):
        return 1 if self._script.step("__index__", "wrong type") == "ok" else "1"

    __int__ = __index__

    def __str__(self):
        return "text" if self._script.step("__str__", "wrong type") == "ok" else 5

    def __format__(self, spec):
        return "text" if self._script.step("__format__", "wrong type") == "ok" else 5

    # ---- operators and class checks ----

    def _result(self, label):
        choice = self._script.step(label, "value")
        return self._script.value(label) if choice == "value" else Hostile(self._script)

    def __truediv__(self, other):
        return self._result("/")

    def __rtruediv__(self, other):
        return self._result("/")

    def __add__(self, other):
        return self._result("+")

    def __radd__(self, other):
        return self._result("+")

    def __instancecheck__(self, instance):
        return self._script.step("isinstance", "no") == "ok"

    def __subclasscheck__(self, subclass):
        return self._script.step("issubclass", "no") == "ok"


class Swallowing(Hostile):
    """What a swallowing `__aexit__` returns: awaited, it gives True."""

    def __await__(self):
        self._script.step("__await__ of __aexit__")
        return Suspender(self._script, True)


def install(module, script):
    """Puts a hostile fake on every outside name of `module`; returns the originals."""
    saved = {name: getattr(module, name) for name in outside_names(module)}
    for name in saved:
        setattr(module, name, Hostile(script))
    return saved


def restore(module, saved):
    for name, value in saved.items():
        setattr(module, name, value)


# ---- the oracle ----

# What the interpreter itself raises when outside code hands the module a wrong object.
INTERPRETER_ERRORS = (TypeError, AttributeError, ValueError, LookupError, ArithmeticError, RuntimeError, NameError)

_error_occurred = ctypes.pythonapi.PyErr_Occurred
_error_occurred.restype = ctypes.c_void_p


def error_pending():
    return bool(_error_occurred())


def judge(error, script, kind):
    """Passes when `error` is one a call of a `kind` function may end with: an exception of
    outside code, by identity; a StopIteration of outside code converted as the interpreter
    converts one that leaves a coroutine or generator body; or an error the interpreter raises
    for a wrong object. Never a SystemError."""
    assert not isinstance(error, SystemError), repr(error)
    if any(error is known for known in script.raised):
        return
    if type(error) in script.thrown_types:
        return
    if isinstance(error, RuntimeError) and str(error).endswith("raised StopIteration"):
        # Coroutines and generators word it alike.
        assert kind in ("coroutine", "generator") and str(error) == "generator raised StopIteration", repr(error)
        cause = error.__cause__
        assert any(cause is known for known in script.raised) or type(cause) in script.thrown_types, repr(cause)
        return
    assert isinstance(error, INTERPRETER_ERRORS), f"{type(error).__name__}: {error}"


class Unraisables:
    """Collects what finalisers report while a case runs (a coroutine dropped while suspended
    is closed by its finaliser, and what that close raises is reported there)."""

    def __enter__(self):
        self.seen = []
        self.saved = sys.unraisablehook
        sys.unraisablehook = self.seen.append
        self.warnings = warnings.catch_warnings()
        self.warnings.__enter__()
        warnings.simplefilter("ignore", RuntimeWarning)  # "coroutine ... was never awaited"
        warnings.simplefilter("ignore", DeprecationWarning)  # throw(type, value), __int__ giving an int subclass
        return self

    def __exit__(self, *exc_info):
        gc.collect(0)  # what a dropped object left in a cycle; a full collection per case costs too much
        self.warnings.__exit__(*exc_info)
        sys.unraisablehook = self.saved
        return False

    def judge(self, script, kind):
        for report in self.seen:
            error = report.exc_value
            if isinstance(error, RuntimeError) and str(error) == f"{kind} ignored GeneratorExit":
                continue
            judge(error, script, kind)


def finished_properly(target, kind):
    """A finished coroutine refuses to be resumed again; a finished generator is exhausted."""
    assert not (target.cr_running if kind == "coroutine" else target.gi_running)
    if kind == "coroutine":
        assert target.cr_await is None
        try:
            target.send(None)
        except RuntimeError as error:
            assert str(error) == "cannot reuse already awaited coroutine"
        else:
            raise AssertionError("a finished coroutine was resumed")
    else:
        assert target.gi_yieldfrom is None
        try:
            next(target)
        except StopIteration:
            pass
        else:
            raise AssertionError("a finished generator yielded")
    assert target.close() is None


def drive(target, kind, script):
    """Resumes `target` as drawn: send, send a value, throw (an instance, a class, or a class
    with a value), close, resume it again from inside the next callback, or drop it. Every
    error that comes out is judged; a finished object must stay finished."""
    for _ in range(MAX_DRIVES):
        action = script.pick("driver", ("send", "throw", "close", "reenter", "send value", "drop"))
        if action == "drop":
            return
        if action == "reenter":
            script.reenter = (target, script.pick("re-entering method", ("send", "throw", "close")))
            action = "send"
        try:
            if action == "send":
                target.send(None)
            elif action == "send value":
                target.send("sent value")
            elif action == "throw":
                thrown = script.error("thrown")
                form = script.pick("throw form", ("instance", "class", "class and value"))
                if form == "instance" or isinstance(thrown, BaseExceptionGroup):  # a group needs arguments
                    target.throw(thrown)
                elif form == "class":
                    script.thrown_types.append(type(thrown))
                    target.throw(type(thrown))
                else:
                    target.throw(type(thrown), thrown)
            else:
                target.close()
                break
        except StopIteration:
            break
        except BaseException as error:  # noqa: B902 - judged below
            judge(error, script, kind)
            if isinstance(error, RuntimeError) and str(error) == f"{kind} ignored GeneratorExit":
                return  # still suspended, as in the interpreter; the finaliser closes it again
            break
        finally:
            script.reenter = None
            for reentry in script.reentries:
                assert isinstance(reentry, ValueError) and str(reentry) == f"{kind} already executing", repr(reentry)
            script.reentries.clear()
        assert not error_pending()
    else:
        target.close()
        return
    finished_properly(target, kind)
