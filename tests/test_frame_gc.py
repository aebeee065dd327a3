"""Reference cycles through a suspended coroutine or generator are found by the garbage collector:
what a body holds while it waits (a session context, a session, an open file) is visible to it."""
import gc
import importlib
import weakref

import pytest


class Pause:
    def __await__(self):
        yield "paused"


class Session:
    pass


@pytest.fixture
def opened_sessions():
    return []


@pytest.fixture
def feedwells(monkeypatch, opened_sessions):
    module = importlib.import_module("vornal_api.python_api.sync.feedwells")

    class Context:
        async def __aenter__(self):
            opened_sessions.append(Session())
            return opened_sessions[-1]

        async def __aexit__(self, *exc_info):
            return False

    class Crud:
        async def read_sync_source(self, session, source_id):
            await Pause()

    monkeypatch.setattr(module, "get_db_session_context", Context)
    monkeypatch.setattr(module, "crud_feedwells", Crud())
    return module


def test_cycle_through_the_session_of_a_suspended_coroutine_is_collected(feedwells, opened_sessions):
    coroutine = feedwells.get_sync_source(1)
    assert coroutine.send(None) == "paused"
    opened_sessions.pop().owner = coroutine
    probe = weakref.ref(coroutine)
    del coroutine
    gc.collect()
    assert probe() is None


def test_cycle_through_the_file_of_a_suspended_generator_is_collected():
    logs = importlib.import_module("vornal_api.python_api.admin.logs")
    closed = []

    class File:
        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            closed.append(exc_info[0])
            return False

        def __iter__(self):
            return iter(["first\n", "second\n"])

    class MissingBackup:
        def exists(self):
            return False

    class FakePath:
        name = "current.log"

        @property
        def parent(self):
            return self

        def __truediv__(self, name):
            return MissingBackup()

        def exists(self):
            return True

        def open(self, *args, **kwargs):
            self.file = File()
            return self.file

    path = FakePath()
    lines = logs._iter_rotated_and_current(path)
    assert next(lines) == "first\n"
    path.file.generator = lines
    probe = weakref.ref(lines)
    del lines, path
    gc.collect()
    assert probe() is None
    assert closed == [GeneratorExit]


def test_session_released_when_a_coroutine_that_keeps_waiting_on_close_is_destroyed(monkeypatch):
    module = importlib.import_module("vornal_api.python_api.sync.feedwells")
    sessions = []

    class StubbornContext:
        async def __aenter__(self):
            sessions.append(Session())
            return sessions[-1]

        async def __aexit__(self, *exc_info):
            await Pause()  # waits again even while the coroutine is being closed

    class Crud:
        async def read_sync_source(self, session, source_id):
            await Pause()

    unraisable = []
    monkeypatch.setattr(module, "get_db_session_context", StubbornContext)
    monkeypatch.setattr(module, "crud_feedwells", Crud())
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)

    coroutine = module.get_sync_source(1)
    coroutine.send(None)
    with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
        coroutine.close()
    probe = weakref.ref(sessions.pop())
    # Destroying it closes it again: the exit handler's wait is closed first, then the session
    # frame finishes, and everything it held is released.
    del coroutine
    gc.collect()
    assert probe() is None
    assert unraisable == []


def test_coroutine_waiting_in_the_exit_handler_with_the_body_error_is_collected(monkeypatch):
    # The body's error was raised by a Python callable in the frame that drives the coroutine, so
    # its traceback leads back to the coroutine while the exit handler keeps it waiting.
    module = importlib.import_module("vornal_api.python_api.sync.feedwells")

    class Context:
        async def __aenter__(self):
            return Session()

        async def __aexit__(self, *exc_info):
            await Pause()

    class Crud:
        async def read_sync_source(self, session, source_id):
            return object()

    class Model:
        @staticmethod
        def model_validate(record):
            raise ValueError("invalid record")

    monkeypatch.setattr(module, "get_db_session_context", Context)
    monkeypatch.setattr(module, "crud_feedwells", Crud())
    monkeypatch.setattr(module, "SyncSourceReadV1", Model)

    def step(coroutine):
        return coroutine.send(None)

    coroutine = module.get_sync_source(7)
    assert step(coroutine) == "paused"
    probe = weakref.ref(coroutine)
    del coroutine
    gc.collect()
    assert probe() is None


def test_cycle_through_the_result_of_a_coroutine_waiting_in_its_exit_handler_is_collected(monkeypatch):
    module = importlib.import_module("vornal_api.python_api.sync.feedwells")
    models = []

    class Context:
        async def __aenter__(self):
            return Session()

        async def __aexit__(self, *exc_info):
            await Pause()  # the body's result is held while the session closes
            return False

    class Crud:
        async def read_sync_source(self, session, source_id):
            return ("record", source_id)

    class Model:
        @classmethod
        def model_validate(cls, record):
            models.append(cls())
            return models[-1]

    monkeypatch.setattr(module, "get_db_session_context", Context)
    monkeypatch.setattr(module, "crud_feedwells", Crud())
    monkeypatch.setattr(module, "SyncSourceReadV1", Model)
    coroutine = module.get_sync_source(1)
    assert coroutine.send(None) == "paused"
    models.pop().owner = coroutine
    probe = weakref.ref(coroutine)
    del coroutine
    gc.collect()
    assert probe() is None
