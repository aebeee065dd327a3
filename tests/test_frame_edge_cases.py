"""Edge cases of the frame where outside code reaches back into it: a module dropped from
sys.modules, an awaited object that resumes its awaiter, generator-based awaitables, and context
managers whose special methods are static or live on a metaclass."""
import gc
import importlib
import sys
import weakref

import pytest

from fakes import drive

LOGS = "vornal_api.python_api.admin.logs"


def test_module_dropped_from_sys_modules_is_the_one_imported_again():
    module = importlib.import_module(LOGS)
    probe = weakref.ref(module)
    parent = importlib.import_module("vornal_api.python_api.admin")
    del sys.modules[LOGS]
    delattr(parent, "logs")
    del module
    gc.collect()
    assert probe() is not None
    assert importlib.import_module(LOGS) is probe()


class Reentrant:
    """An awaited iterator whose `close` or `throw` lookup resumes the coroutine awaiting it."""

    def __init__(self, attribute):
        self.attribute = attribute
        self.coroutine = None
        self.errors = []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "tick"

    def send(self, value):
        return "tick"

    def __getattr__(self, name):
        if name != self.attribute:
            raise AttributeError(name)
        try:
            self.coroutine.send("resumed from inside")
        except ValueError as error:
            self.errors.append(str(error))
        raise AttributeError(name)


@pytest.fixture
def feedwells(monkeypatch):
    module = importlib.import_module("vornal_api.python_api.sync.feedwells")

    class Context:
        async def __aenter__(self):
            return "session"

        async def __aexit__(self, *exc_info):
            return False

    monkeypatch.setattr(module, "get_db_session_context", Context)
    monkeypatch.setattr(module.SyncSourceReadV1, "model_validate", staticmethod(lambda record: record),
                        raising=False)
    return module


@pytest.mark.parametrize("attribute, finish", [
    ("close", lambda coroutine: coroutine.close()),
    ("throw", lambda coroutine: coroutine.throw(KeyError("stop"))),
])
def test_awaited_object_resuming_its_awaiter_during_close_or_throw(feedwells, monkeypatch, attribute, finish):
    awaited = Reentrant(attribute)

    class Crud:
        def read_sync_source(self, session, source_id):
            return awaited

    monkeypatch.setattr(feedwells, "crud_feedwells", Crud())
    coroutine = awaited.coroutine = feedwells.get_sync_source(1)
    assert coroutine.send(None) == "tick"
    try:
        finish(coroutine)
    except KeyError:
        pass
    assert awaited.errors == ["coroutine already executing"]
    assert coroutine.cr_frame is None  # finished, not left half-run


def test_awaiting_a_generator_based_awaitable_keeps_no_reference(feedwells, monkeypatch):
    class Ready:
        def __await__(self):
            return 5
            yield

    class Crud:
        def read_sync_source(self, session, source_id):
            return Ready()

    monkeypatch.setattr(feedwells, "crud_feedwells", Crud())
    code = Ready.__await__.__code__
    before = sys.getrefcount(code)
    for _ in range(100):
        assert drive(feedwells.get_sync_source(1)) == 5
    assert sys.getrefcount(code) == before


class _Lines:
    def __init__(self):
        self.exits = []

    def __iter__(self):
        return iter(["line\n"])


class _Path:
    name = "service.log"

    def __init__(self, opened):
        self.opened = opened
        self.parent = self

    def __truediv__(self, other):
        return type("Missing", (), {"exists": lambda self: False})()

    def open(self, *args, **kwargs):
        return self.opened


def test_static_exit_method_receives_the_exit_arguments():
    logs = importlib.import_module(LOGS)
    seen = []

    class Opened(_Lines):
        def __enter__(self):
            return self

        @staticmethod
        def __exit__(exc_type, exc, tb):
            seen.append(exc_type)
            return False

    assert list(logs._iter_rotated_and_current(_Path(Opened()))) == ["line\n"]
    assert seen == [None]


def test_special_methods_on_the_metaclass_only_are_not_a_context_manager():
    logs = importlib.import_module(LOGS)

    class Meta(type):
        def __enter__(cls):
            return cls

        def __exit__(cls, *exc_info):
            return False

    class Opened(_Lines, metaclass=Meta):
        pass

    with pytest.raises(TypeError, match=r"does not support the context manager protocol \(missed __exit__ method\)"):
        list(logs._iter_rotated_and_current(_Path(Opened())))


def test_functions_pickle_by_reference():
    import pickle

    feedwells = importlib.import_module("vornal_api.python_api.sync.feedwells")
    logs = importlib.import_module(LOGS)
    for function in (feedwells.get_sync_source, logs.get_recent_log_lines):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function


def test_cr_await_is_none_while_the_awaited_object_runs(feedwells, monkeypatch):
    seen = []

    class Watching:
        def __await__(self):
            seen.append(coroutine.cr_await)
            yield "tick"
            seen.append(coroutine.cr_await)
            return 1

    class Crud:
        def read_sync_source(self, session, source_id):
            return Watching()

    monkeypatch.setattr(feedwells, "crud_feedwells", Crud())
    coroutine = feedwells.get_sync_source(1)
    assert coroutine.send(None) == "tick"
    assert coroutine.cr_await is not None
    with pytest.raises(StopIteration):
        coroutine.send(None)
    assert seen == [None, None]
