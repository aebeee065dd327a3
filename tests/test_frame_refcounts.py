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

    # get_db_session_context
    def __call__(self):
        return Context(self)

    # crud_feedwells
    async def read_sync_source(self, session, source_id):
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
        return self.owner.exit_result


class Yield:
    def __await__(self):
        yield "tick"


class Label(str):
    pass


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
    for args in (("12",), (), (1, 2)):
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


def path_close(module, fake):
    fake.suspend = True
    coro = module.get_sync_source(1)
    coro.send(None)
    coro.close()
    module.get_sync_source(2).close()
    fake.suspend = False


@pytest.mark.parametrize("path", [
    path_success, path_argument_error, path_body_error, path_swallowed_error, path_throw,
    path_close,
], ids=lambda p: p.__name__[len("path_"):])
def test_total_references_stay_level(feedwells, quiet, path):
    assert_references_stay_level(lambda: path(feedwells, quiet))
