"""Recording fakes for the outside names that the feedwells module looks up on every call.

`FeedwellsEnv` replaces every such name on the module object (session context, data-access
object, read models, exception classes, registries, settings, report helpers) and the status
enumeration in its home module. Each fake records how it was called; one event list keeps the
order of calls across all of them, so a test can see that read models are built before the
session is closed.
"""
import asyncio
import enum
import importlib
import types

import pytest

MODULE_NAME = "vornal_api.python_api.sync.feedwells"
ENUMS_MODULE = "vornal_sync_agent.models.enums"

READ_MODELS = ("SyncSourceReadV1", "SyncSourceError", "SyncSourceScopeMappingRead",
               "ConnectorRead", "ConnectorDefinition")
ERROR_CLASSES = ("NoUserLoggedInError", "SyncSourceAlreadyRunningError",
                 "SyncSourceAlreadyStoppedError", "SyncSourceConnectorHasNoOwnerError")


def load_feedwells():
    # A plain import: a module that was not built must fail the tests, not skip them.
    return importlib.import_module(MODULE_NAME)


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


class FakeStatus(str, enum.Enum):
    IDLE = "idle"
    SCANNING = "scanning"
    SYNCING = "syncing"
    STOPPED = "stopped"


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

# What the data layer gives when a test sets nothing else: counts and lists where it gives
# those, a fresh record elsewhere.
_DEFAULT_RESULTS = {
    "reset_lotlings": 0, "mark_all_sync_source_errors_viewed": 0, "autoassign_scope_mappings": 0,
    "read_sync_source_errors": [], "list_feedwells": [], "get_unmapped_scope_identifiers": [],
}


class FakeCrud:
    """Stands in for `crud_feedwells`: any method is a coroutine function that records its
    call, suspends once, then raises `errors[name]` or returns `results[name]` (by default a
    count, a list or a fresh `Record`, as the method gives)."""

    def __init__(self, events):
        self.events = events
        self.calls = []
        self.results = {}
        self.errors = {}

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
                result = _DEFAULT_RESULTS.get(name, _UNSET)
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
    """Stands in for `REPORT_TEMPLATE_SYNC_SOURCE`; `format` records its arguments."""

    def __init__(self, events):
        self.events = events
        self.calls = []
        self.result = "REPORT TEXT"

    def format(self, *args, **kwargs):
        self.calls.append(Call("format", args, kwargs))
        self.events.append("template.format")
        return self.result


class FeedwellsEnv:
    """Installs a recording fake for every outside name of the module."""

    def __init__(self, module, monkeypatch):
        self.module = module
        self.events = []
        self.sessions = SessionFactory(self.events)
        self.crud = FakeCrud(self.events)
        self.models = {name: FakeModel(name, self.events) for name in READ_MODELS}
        self.settings = types.SimpleNamespace(user_sub="user-1",
                                              server_url="https://platform.invalid")
        self.get_user_settings = Recorder("get_user_settings", self.events,
                                          compute=lambda: self.settings)
        self.sync_class = types.SimpleNamespace(has_owner=True)
        self.get_source_sync_class = Recorder("get_source_sync_class", self.events,
                                              compute=lambda *a, **k: self.sync_class)
        self.registry = Registry(events=self.events)
        self.get_sync_connectors = Recorder("get_sync_connectors", self.events,
                                            compute=lambda *a, **k: self.registry)
        self.get_sync_source_info = Recorder(
            "get_sync_source_info", self.events,
            compute=lambda identifier, *rest: Record(info_for=identifier))
        self.template = FakeTemplate(self.events)
        self.format_connector_info = Recorder("format_connector_info", self.events,
                                              result="CONNECTOR INFO")
        self.format_sync_source_errors = Recorder("format_sync_source_errors", self.events,
                                                  result="ERROR LINES")
        self.payload = Record(kind="bug report payload")
        self.BugReportCreateV3 = Recorder("BugReportCreateV3", self.events, result=self.payload)
        self.report_bug = Recorder("report_bug", self.events)

        replacements = {
            "get_db_session_context": self.sessions,
            "crud_feedwells": self.crud,
            "get_user_settings": self.get_user_settings,
            "get_source_sync_class": self.get_source_sync_class,
            "get_sync_connectors": self.get_sync_connectors,
            "get_sync_source_info": self.get_sync_source_info,
            "REPORT_TEMPLATE_SYNC_SOURCE": self.template,
            "format_connector_info": self.format_connector_info,
            "format_sync_source_errors": self.format_sync_source_errors,
            "BugReportCreateV3": self.BugReportCreateV3,
            "report_bug": self.report_bug,
        }
        replacements.update(self.models)
        for name in ERROR_CLASSES:
            cls = type(name, (Exception,), {})
            setattr(self, name, cls)
            replacements[name] = cls
        for name, value in replacements.items():
            monkeypatch.setattr(module, name, value)
        enums = importlib.import_module(ENUMS_MODULE)
        monkeypatch.setattr(enums, "SyncSourceStatus", FakeStatus)

    def model(self, name):
        return self.models[name]

    def assert_session_used(self):
        """One session was opened without arguments, entered once and closed normally; every
        data-layer call got it as first argument, and every read model was built before the
        session was closed."""
        context = self.sessions.only
        assert context.call_args == ((), {})
        assert context.entered == 1
        assert context.exits == [(None, None, None)]
        assert self.crud.calls, "no data-layer call"
        for recorded in self.crud.calls:
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


@pytest.fixture
def fw():
    return load_feedwells()


@pytest.fixture
def env(fw, monkeypatch):
    return FeedwellsEnv(fw, monkeypatch)


# --- shared tables --------------------------------------------------------------------------

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


def check_interface(func, signature, first_sentence, annotations, defaults, is_coroutine=True):
    """Docstring (signature line, blank line, description), annotations, defaults, kind."""
    import inspect

    doc = func.__doc__
    assert doc is not None
    lines = doc.split("\n")
    assert lines[0] == signature
    assert len(lines) >= 3 and lines[1] == ""
    assert "\n".join(lines[2:]).lstrip().startswith(first_sentence)
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__module__ == MODULE_NAME
    assert inspect.iscoroutinefunction(func) is is_coroutine


def check_argument_error(func, args, kwargs, message, note):
    """The call is refused at once with `message`; a rejected subclass carries one note."""
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    if note:
        assert len(notes) == 1 and "subclass" in notes[0].lower(), notes
    else:
        assert notes == []
