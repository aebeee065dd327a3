"""Reference counts stay level when the frame's paths run many times (debug interpreter only,
where the interpreter keeps a total of all references)."""
import pytest

from fakes import feedwells  # noqa: F401  (fixture)
from refcounts import assert_references_stay_level, needs_debug_interpreter

pytestmark = needs_debug_interpreter


class Quiet:
    """Session factory, data-access object and read model in one, keeping nothing between
    calls so that only the module under test could hold references."""

    def __init__(self):
        self.exit_result = False
        self.fail = False
        self.suspend = False
        self.exit_suspends = False
        self.awaits_without_throw = False

    # get_db_session_context
    def __call__(self):
        return Context(self)

    # crud_feedwells
    def read_sync_source(self, session, source_id):
        return NoThrow() if self.awaits_without_throw else self.read(source_id)

    async def read(self, source_id):
        if self.suspend:
            await Yield()
        if self.fail:
            raise LookupError(source_id)
        return ("record", source_id)

    async def list_feedwells(self, session):
        return [("record", 1), ("record", 2)]

    async def delete_sync_source(self, session, source_id):
        return None

    # SyncSourceReadV1
    def model_validate(self, record):
        return {"model": record}


class Context:
    def __init__(self, owner):
        self.owner = owner

    async def __aenter__(self):
        return object()

    async def __aexit__(self, exc_type, exc, tb):
        if self.owner.exit_suspends:
            await Yield()
        return self.owner.exit_result


class Yield:
    def __await__(self):
        yield "tick"


class Label(str):
    pass


class FloatingText(str):
    def __float__(self):
        return 1.0


class NoThrow:
    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "tick"


class FailingTruth:
    def __bool__(self):
        raise ValueError("no truth")


def _finish(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


@pytest.fixture
def quiet(feedwells, monkeypatch):
    fake = Quiet()
    for name in ("get_db_session_context", "crud_feedwells", "SyncSourceReadV1"):
        monkeypatch.setattr(feedwells, name, fake)
    return fake


def path_success(module, fake):
    _finish(module.get_sync_source(1))
    _finish(module.list_feedwells())
    _finish(module.delete_sync_source(2))


def path_argument_error(module, fake):
    for args in (("12",), (), (1, 2), (FloatingText("12"),)):
        try:
            module.get_sync_source(*args)
        except TypeError:
            pass
    try:
        module.get_sync_source_by_name(Label("with a note"))
    except TypeError:
        pass


def path_body_error(module, fake):
    fake.fail = True
    try:
        _finish(module.get_sync_source(1))
    except LookupError:
        pass
    fake.fail = False


def path_swallowed_error(module, fake):
    fake.fail = True
    fake.exit_result = True
    _finish(module.get_sync_source(1))
    fake.fail = False
    fake.exit_result = False


def path_throw(module, fake):
    fake.suspend = True
    coro = module.get_sync_source(1)
    coro.send(None)
    try:
        coro.throw(KeyError("thrown"))
    except KeyError:
        pass
    fake.suspend = False


def path_error_while_the_exit_handler_waits(module, fake):
    fake.fail = True
    fake.exit_suspends = True
    try:
        _finish(module.get_sync_source(1))
    except LookupError:
        pass
    dropped = module.get_sync_source(2)
    dropped.send(None)
    del dropped
    fake.exit_result = FailingTruth()
    try:
        _finish(module.get_sync_source(3))
    except ValueError:
        pass
    fake.fail = False
    fake.exit_suspends = False
    fake.exit_result = False


def path_throw_as_given(module, fake):
    fake.suspend = True
    coro = module.get_sync_source(1)
    coro.send(None)
    try:
        coro.throw(KeyError)
    except KeyError:
        pass
    try:
        module.get_sync_source(1).throw(StopIteration("v"))
    except StopIteration:
        pass
    fake.suspend = False
    fake.awaits_without_throw = True
    coro = module.get_sync_source(2)
    coro.send(None)
    try:
        coro.throw(StopIteration(("record", 2)))
    except StopIteration:
        pass
    fake.awaits_without_throw = False


def path_close(module, fake):
    fake.suspend = True
    coro = module.get_sync_source(1)
    coro.send(None)
    coro.close()
    module.get_sync_source(2).close()
    fake.suspend = False


@pytest.mark.parametrize("path", [
    path_success, path_argument_error, path_body_error, path_swallowed_error, path_throw,
    path_error_while_the_exit_handler_waits, path_throw_as_given, path_close,
], ids=lambda p: p.__name__[len("path_"):])
def test_total_references_stay_level(feedwells, quiet, path):
    assert_references_stay_level(lambda: path(feedwells, quiet))
