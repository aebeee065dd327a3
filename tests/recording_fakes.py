"""Recording fakes for the outside names that a sync module looks up on every call.

Each fake records how it was called; one event list keeps the order of calls across all of them,
so a test can see, for example, that read models are built before the session is closed.
`RecordingEnv` is the base of each module's environment: it installs the fakes on the module
object with monkeypatch and checks how the session was used.
"""
import asyncio
import inspect
import types

import pytest


def run(awaitable):
    """Awaits `awaitable` on a fresh event loop and returns what it gives."""
    async def main():
        return await awaitable
    return asyncio.run(main())


# --- comparing recorded calls ---------------------------------------------------------------

def strict_equal(a, b):
    """Equality that also demands the same type at every level, so 1, 1.0 and True differ."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(strict_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(strict_equal(a[k], b[k]) for k in a)
    return a is b or a == b


class Call:
    """One recorded call: a name, the positional arguments and the keywords in their order."""

    def __init__(self, name, args, kwargs):
        self.name = name
        self.args = tuple(args)
        self.kwargs = tuple(kwargs.items())

    def __eq__(self, other):
        if not isinstance(other, Call):
            return NotImplemented
        return (self.name == other.name and strict_equal(self.args, other.args)
                and strict_equal(self.kwargs, other.kwargs))

    __hash__ = None

    def __repr__(self):
        parts = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs]
        return f"{self.name}({', '.join(parts)})"


def call(name, /, *args, **kwargs):
    """The expected form of a recorded call."""
    return Call(name, args, kwargs)


# --- values ---------------------------------------------------------------------------------

class Record(types.SimpleNamespace):
    """A data-layer record: only the attributes a test gives it."""


class Validated:
    """What a fake read model's `model_validate` returns: the model's name and the very object
    it was given."""

    def __init__(self, model, source):
        self.model = model
        self.source = source

    def __eq__(self, other):
        if not isinstance(other, Validated):
            return NotImplemented
        return self.model == other.model and self.source is other.source

    __hash__ = None

    def __repr__(self):
        return f"Validated({self.model}, {self.source!r})"


class ValidationFailed(Exception):
    pass


class Label(str):
    """A str subclass: str parameters reject it."""


# --- fakes ----------------------------------------------------------------------------------

class FakeSession:
    def __repr__(self):
        return "<fake session>"


class SessionContext:
    def __init__(self, factory, args, kwargs):
        self.factory = factory
        self.call_args = (args, kwargs)
        self.session = FakeSession()
        self.entered = 0
        self.exits = []

    async def __aenter__(self):
        self.entered += 1
        self.factory.events.append("session.enter")
        await asyncio.sleep(0)
        return self.session

    async def __aexit__(self, exc_type, exc, tb):
        self.exits.append((exc_type, exc, tb))
        self.factory.events.append("session.exit")
        await asyncio.sleep(0)
        return self.factory.swallow


class SessionFactory:
    """Stands in for `get_db_session_context`: each call hands out a new context. With
    `swallow` set, `__aexit__` answers true and so suppresses the body's exception."""

    def __init__(self, events):
        self.events = events
        self.contexts = []
        self.swallow = False

    def __call__(self, *args, **kwargs):
        self.events.append("session.open")
        context = SessionContext(self, args, kwargs)
        self.contexts.append(context)
        return context

    @property
    def only(self):
        assert len(self.contexts) == 1, f"expected one session, {len(self.contexts)} opened"
        return self.contexts[0]


_UNSET = object()


class FakeCrud:
    """Stands in for a data-access object: any method is a coroutine function that records its
    call, suspends once, then raises `errors[name]` or returns `results[name]` (by default
    `defaults[name]`, a fresh copy when it is a list, else a fresh `Record`)."""

    def __init__(self, events, defaults=None):
        self.events = events
        self.calls = []
        self.results = {}
        self.errors = {}
        self.defaults = defaults or {}

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        async def method(*args, **kwargs):
            self.calls.append(Call(name, args, kwargs))
            self.events.append(f"crud.{name}")
            await asyncio.sleep(0)
            if name in self.errors:
                raise self.errors[name]
            result = self.results.get(name, _UNSET)
            if result is _UNSET:
                result = self.defaults.get(name, _UNSET)
                if isinstance(result, list):
                    result = []
            return Record(made_by=name) if result is _UNSET else result
        return method


class FakeModel:
    """Stands in for a read-model class. `model_validate` records its argument and returns
    `build(obj)` if set, else `Validated(name, obj)`; it raises for objects in `reject`."""

    def __init__(self, name, events):
        self.name = name
        self.events = events
        self.seen = []
        self.build = None
        self.reject = []

    def model_validate(self, obj):
        self.seen.append(obj)
        self.events.append(f"{self.name}.model_validate")
        if any(obj is r for r in self.reject):
            raise ValidationFailed(f"{self.name} rejects {obj!r}")
        return self.build(obj) if self.build is not None else Validated(self.name, obj)


class Recorder:
    """A plain callable that records its calls, then raises `error` or returns `result`
    (or `compute(*args, **kwargs)` when that is set)."""

    def __init__(self, name, events, result=None, compute=None):
        self.name = name
        self.events = events
        self.calls = []
        self.result = result
        self.compute = compute
        self.error = None

    def __call__(self, *args, **kwargs):
        self.calls.append(Call(self.name, args, kwargs))
        self.events.append(self.name)
        if self.error is not None:
            raise self.error
        if self.compute is not None:
            return self.compute(*args, **kwargs)
        return self.result


class AsyncRecorder(Recorder):
    """Like `Recorder`, for a coroutine function of the module replaced in a test."""

    async def __call__(self, *args, **kwargs):
        value = Recorder.__call__(self, *args, **kwargs)
        await asyncio.sleep(0)
        return value


class Registry(dict):
    """A connector registry (identifier -> entry) that records its `get` lookups."""

    def __init__(self, *args, events=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.events = events if events is not None else []
        self.lookups = []

    def get(self, key, default=None):
        self.lookups.append(key)
        self.events.append("registry.get")
        return super().get(key, default)


def entry(identifier, config_class=None, sync_class=None):
    return types.SimpleNamespace(identifier=identifier, config_class=config_class,
                                 sync_class=sync_class)


class FakeTemplate:
    """Stands in for a report template; `format` records its arguments."""

    def __init__(self, events):
        self.events = events
        self.calls = []
        self.result = "REPORT TEXT"

    def format(self, *args, **kwargs):
        self.calls.append(Call("format", args, kwargs))
        self.events.append("template.format")
        return self.result


class RecordingEnv:
    """The fakes every sync module meets: the event list, the session factory and the read
    models named in `read_models`; `install` puts them and `replacements` on the module."""

    def __init__(self, module, monkeypatch, read_models, crud_defaults=None):
        self.module = module
        self.monkeypatch = monkeypatch
        self.events = []
        self.sessions = SessionFactory(self.events)
        self.crud = FakeCrud(self.events, crud_defaults)
        self.models = {name: FakeModel(name, self.events) for name in read_models}

    def report_fakes(self, template, formatters):
        """The fakes a report meets, as replacements: the connector registry behind
        `get_sync_connectors`, the template named `template`, one `Recorder` per formatter
        (name -> the text it returns) and the bug-report calls."""
        self.registry = Registry(events=self.events)
        self.get_sync_connectors = Recorder("get_sync_connectors", self.events,
                                            compute=lambda *a, **k: self.registry)
        self.template = FakeTemplate(self.events)
        self.payload = Record(kind="bug report payload")
        self.BugReportCreateV3 = Recorder("BugReportCreateV3", self.events, result=self.payload)
        self.report_bug = Recorder("report_bug", self.events)
        replacements = {"get_sync_connectors": self.get_sync_connectors, template: self.template,
                        "BugReportCreateV3": self.BugReportCreateV3, "report_bug": self.report_bug}
        for name, text in formatters.items():
            replacements[name] = Recorder(name, self.events, result=text)
            setattr(self, name, replacements[name])
        return replacements

    def install(self, replacements):
        for name, value in {**replacements, **self.models}.items():
            self.monkeypatch.setattr(self.module, name, value)

    def model(self, name):
        return self.models[name]

    def assert_session_used(self, *cruds):
        """One session was opened without arguments, entered once and closed normally; every
        data-layer call (of `crud` and of any other fake data-access object given) got it as
        first argument, and every read model was built before the session was closed."""
        context = self.sessions.only
        assert context.call_args == ((), {})
        assert context.entered == 1
        assert context.exits == [(None, None, None)]
        calls = [c for crud in (self.crud,) + cruds for c in crud.calls]
        assert calls, "no data-layer call"
        for recorded in calls:
            assert recorded.args and recorded.args[0] is context.session, recorded
        exit_at = self.events.index("session.exit")
        built = [i for i, e in enumerate(self.events) if e.endswith(".model_validate")]
        assert all(i < exit_at for i in built), self.events

    def assert_error_reached_session(self, exc):
        """The body's exception was handed to `__aexit__` with its type and a traceback."""
        (exc_type, value, tb), = self.sessions.only.exits
        assert value is exc
        assert exc_type is type(exc)
        assert tb is not None


# --- argument rules -------------------------------------------------------------------------------

# An int result passes when None or an exact int, and is converted when another number.
INT_RESULTS = [(7, 7), (0, 0), (None, None), (True, 1), (4.9, 4)]


class FloatingText(str):
    """Text that also converts to float: not a number an int is taken from."""

    def __float__(self):
        return 42.0


INT_RESULT_ERRORS = [("3", "Expected int, got str"), ([1], "Expected int, got list"),
                     (FloatingText("42"), "Expected int, got FloatingText"), (1j, "Expected int, got complex")]


class Falsy:
    def __bool__(self):
        return False


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


# A truth-value parameter keeps only the object's truth value.
TRUTH_VALUES = [(True, True), (False, False), (None, False), (1, True), ("yes", True),
                ("", False), ([], False), (Falsy(), False), (0.0, False)]


def check_interface(func, signature, first_sentence, annotations, defaults, is_coroutine=True,
                    *, module_name):
    """Docstring (signature line, blank line, description), annotations, defaults, kind."""
    doc = func.__doc__
    assert doc is not None
    lines = doc.split("\n")
    assert lines[0] == signature
    assert len(lines) >= 3 and lines[1] == ""
    assert "\n".join(lines[2:]).lstrip().startswith(first_sentence)
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__module__ == module_name
    assert inspect.iscoroutinefunction(func) is is_coroutine


def check_argument_error(func, args, kwargs, message, note):
    """The call is refused at once with `message`; a rejected subclass carries one note. Returns the
    pytest record of the error."""
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    if note:
        assert len(notes) == 1 and "subclass" in notes[0].lower(), notes
    else:
        assert notes == []
    return info
