"""Recording stand-ins for the outside names that the feedwells module looks up on every call.

`Env` puts them on the module object with monkeypatch: a session-context factory, a
data-access object whose methods are `async def`, and a read-model class whose
`model_validate` records its argument. All of them append to one event list, so a test sees
in which order the session is opened, entered, used and closed:

    ("open",)                         the factory was called
    ("lookup", "__aexit__")           a special method was fetched from the context object
    ("enter",)                        __aenter__ ran
    ("crud", name, args, kwargs)      a data-access method was called
    ("validate", record)              model_validate was called
    ("exit", exc_type, exc, tb)       __aexit__ ran
    ("suspend.send", value) / ("suspend.throw", exc) / ("suspend.close",)
                                      what a `Suspend` awaitable was driven with
"""
import importlib
import types

import pytest

MODULE_NAME = "vornal_api.python_api.sync.feedwells"
SOURCE_PATH = "src/vornal_api/python_api/sync/feedwells"

# The catalogue functions in definition order, with their parameter names.
CATALOGUE = {
    "list_feedwells": (),
    "get_sync_source": ("source_id",),
    "get_sync_source_by_name": ("name",),
    "delete_sync_source": ("source_id",),
}


def load_feedwells():
    # A plain import: a module that was not built must fail the tests loudly, not skip them.
    return importlib.import_module(MODULE_NAME)


class Session:
    """The object that `__aenter__` hands out; each context has its own."""

    def __init__(self, number):
        self.number = number

    def __repr__(self):
        return f"<session {self.number}>"


class Record:
    """A data-layer record."""

    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return f"<record {self.label}>"


class _Logged:
    """Method descriptor that logs every lookup made through it, so the order in which the
    frame fetches `__aexit__` and `__aenter__` from the context object shows in the events
    (special-method lookup on the type and plain attribute lookup both go through `__get__`)."""

    def __init__(self, func):
        self.func = func
        self.name = func.__name__

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        obj.events.append(("lookup", self.name))
        return types.MethodType(self.func, obj)


class SessionContext:
    """One asynchronous session context, configured by its factory."""

    def __init__(self, factory):
        self.events = factory.events
        self.factory = factory
        self.session = Session(len(factory.contexts) + 1)

    async def __aenter__(self):
        factory = self.factory
        self.events.append(("enter",))
        if factory.pause is not None:
            await factory.pause()
        if factory.enter_error is not None:
            raise factory.enter_error
        return self.session

    async def __aexit__(self, exc_type, exc, tb):
        factory = self.factory
        self.events.append(("exit", exc_type, exc, tb))
        if factory.exit_hook is not None:
            await factory.exit_hook(exc_type, exc, tb)
        if factory.pause is not None:
            await factory.pause()
        if factory.exit_error is not None:
            raise factory.exit_error
        return factory.exit_result

    __aenter__ = _Logged(__aenter__)
    __aexit__ = _Logged(__aexit__)


class SessionFactory:
    """Stands in for `get_db_session_context`.

    exit_result: what `__aexit__` returns (a true value swallows the body's error).
    exit_error / enter_error: raised by `__aexit__` / `__aenter__`.
    pause: when set, a callable returning an awaitable that both methods await.
    exit_hook: when set, an `async` callable awaited by `__aexit__` with its three arguments.
    """

    def __init__(self, events):
        self.events = events
        self.calls = []
        self.contexts = []
        self.exit_result = False
        self.exit_error = None
        self.enter_error = None
        self.pause = None
        self.exit_hook = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.events.append(("open",))
        context = SessionContext(self)
        self.contexts.append(context)
        return context

    @property
    def session(self):
        assert len(self.contexts) == 1, f"{len(self.contexts)} sessions opened"
        return self.contexts[0].session


class Crud:
    """Stands in for `crud_feedwells`. Each method records its call, runs `hooks[name]`
    (a plain callable) if set, awaits `pause()` if set, then raises `errors[name]` or returns
    `results[name]`."""

    def __init__(self, events):
        self.events = events
        self.results = {
            "list_feedwells": [],
            "read_sync_source": Record("by id"),
            "read_sync_source_by_name": Record("by name"),
            "delete_sync_source": None,
        }
        self.errors = {}
        self.hooks = {}
        self.pause = None

    async def _run(self, name, args, kwargs):
        self.events.append(("crud", name, args, kwargs))
        hook = self.hooks.get(name)
        if hook is not None:
            hook()
        if self.pause is not None:
            await self.pause()
        if name in self.errors:
            raise self.errors[name]
        return self.results[name]

    async def list_feedwells(self, *args, **kwargs):
        return await self._run("list_feedwells", args, kwargs)

    async def read_sync_source(self, *args, **kwargs):
        return await self._run("read_sync_source", args, kwargs)

    async def read_sync_source_by_name(self, *args, **kwargs):
        return await self._run("read_sync_source_by_name", args, kwargs)

    async def delete_sync_source(self, *args, **kwargs):
        return await self._run("delete_sync_source", args, kwargs)


class ReadModel:
    """Base of the fake read-model classes made by `make_read_model`: `model_validate(record)`
    records the call, runs `hook(record)` if set, raises the error paired with the record in
    `reject` (by identity), else returns a new instance holding the record."""

    events = None
    reject = ()
    hook = None

    def __init__(self, record):
        self.record = record

    @classmethod
    def model_validate(cls, record):
        cls.events.append(("validate", record))
        if cls.hook is not None:
            cls.hook(record)
        for rejected, error in cls.reject:
            if rejected is record:
                raise error
        return cls(record)

    def __repr__(self):
        return f"<read model of {self.record!r}>"


def make_read_model(events):
    return type("SyncSourceReadV1", (ReadModel,), {"events": events, "reject": []})


class Suspend:
    """An awaitable that is its own iterator: it yields each of `yields` in turn and then
    returns `result`. What it is sent, thrown and closed with goes to the event list.

    A thrown exception is raised again, unless `catch` is set: then it returns `result`."""

    def __init__(self, events, yields=("tick",), result=None, catch=False):
        self.events = events
        self.pending = list(yields)
        self.result = result
        self.catch = catch

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.events.append(("suspend.send", value))
        if self.pending:
            return self.pending.pop(0)
        raise StopIteration(self.result)

    def throw(self, exc, *rest):
        if isinstance(exc, type):
            exc = exc(*rest[:1]) if rest and rest[0] is not None else exc()
        self.events.append(("suspend.throw", exc))
        if self.catch:
            raise StopIteration(self.result)
        raise exc

    def close(self):
        self.events.append(("suspend.close",))


class Env:
    """Installs the fakes on the module for one test; monkeypatch puts the originals back."""

    def __init__(self, module, monkeypatch):
        self.module = module
        self.events = []
        self.sessions = SessionFactory(self.events)
        self.crud = Crud(self.events)
        self.Model = make_read_model(self.events)
        monkeypatch.setattr(module, "get_db_session_context", self.sessions)
        monkeypatch.setattr(module, "crud_feedwells", self.crud)
        monkeypatch.setattr(module, "SyncSourceReadV1", self.Model)

    def kinds(self):
        """The event names, without the special-method lookups."""
        return [event[0] for event in self.events if event[0] != "lookup"]

    def of_kind(self, kind):
        return [event for event in self.events if event[0] == kind]

    def suspend(self, **kwargs):
        return Suspend(self.events, **kwargs)


def drive(coro, sent=None):
    """Runs a coroutine without an event loop: sends None until it ends and returns its value.
    Values that it yields on the way are appended to `sent`, if given."""
    for _ in range(100):
        try:
            value = coro.send(None)
        except StopIteration as stop:
            return stop.value
        if sent is not None:
            sent.append(value)
    raise AssertionError("coroutine did not finish")


def start(name, module, *args, **kwargs):
    return getattr(module, name)(*args, **kwargs)


# Calls that reach the data layer, one per catalogue function: (function, positional args).
CALLS = [
    ("list_feedwells", ()),
    ("get_sync_source", (7,)),
    ("get_sync_source_by_name", ("alpha",)),
    ("delete_sync_source", (7,)),
]
CALL_IDS = [name for name, _ in CALLS]

# The data-access method each catalogue function calls.
CRUD_METHOD = {
    "list_feedwells": "list_feedwells",
    "get_sync_source": "read_sync_source",
    "get_sync_source_by_name": "read_sync_source_by_name",
    "delete_sync_source": "delete_sync_source",
}


@pytest.fixture
def feedwells():
    return load_feedwells()


@pytest.fixture
def env(feedwells, monkeypatch):
    return Env(feedwells, monkeypatch)
