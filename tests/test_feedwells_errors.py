"""Error records of sync sources (feedwells)."""
import asyncio

import pytest

from feedwells_fakes import (  # noqa: F401  (fixtures)
    INT_RESULT_ERRORS, INT_RESULTS, TRUTH_VALUES, BadTruth, Record, Validated,
    ValidationFailed, call, check_argument_error, check_interface, env, fw, load_feedwells, run)

INTERFACE = [
    ("read_sync_source_errors",
     "read_sync_source_errors(int source_id: int, int skip: int = 0, int limit: int = 100, "
     "bool viewed: Optional[bool] = None) -> List[SyncSourceError]",
     "Read error-log records for a sync source.",
     {"source_id": "int", "skip": "int", "limit": "int", "viewed": "Optional[bool]",
      "return": "List[SyncSourceError]"}, (0, 100, None)),
    ("set_sync_source_error_viewed",
     "set_sync_source_error_viewed(int error_id: int, bool viewed: bool) -> SyncSourceError",
     "Set the viewed flag on a single sync-source error record.",
     {"error_id": "int", "viewed": "bool", "return": "SyncSourceError"}, None),
    ("mark_all_sync_source_errors_viewed",
     "mark_all_sync_source_errors_viewed(int source_id: int) -> int",
     "Mark every error of the given sync source as viewed. Returns the number flipped.",
     {"source_id": "int", "return": "int"}, None),
]


@pytest.mark.parametrize("name, signature, first_sentence, annotations, defaults", INTERFACE,
                         ids=[row[0] for row in INTERFACE])
def test_interface(fw, name, signature, first_sentence, annotations, defaults):
    check_interface(getattr(fw, name), signature, first_sentence, annotations, defaults)


def test_docstrings_document_paging_filter_and_missing_record(fw):
    description = fw.read_sync_source_errors.__doc__.split("\n", 1)[1]
    for word in ("skip", "limit", "viewed"):
        assert word in description
    description = fw.set_sync_source_error_viewed.__doc__.split("\n", 1)[1]
    assert "SyncSourceErrorRecordNotFoundError" in description


ARGUMENT_ERRORS = [
    ("read_sync_source_errors", (), {},
     "read_sync_source_errors() takes at least 1 positional argument (0 given)", False),
    ("read_sync_source_errors", (1, 0, 100, None, 5), {},
     "read_sync_source_errors() takes at most 4 positional arguments (5 given)", False),
    # viewed is a bool or None, never a number standing for one
    ("read_sync_source_errors", (1,), {"viewed": 0},
     "Argument 'viewed' has incorrect type (expected bool, got int)", False),
    ("read_sync_source_errors", (1, 0, 10, "false"), {},
     "Argument 'viewed' has incorrect type (expected bool, got str)", False),
    ("read_sync_source_errors", (1,), {"skip": "0"},
     "Argument 'skip' has incorrect type (expected int, got str)", False),
    ("read_sync_source_errors", (1,), {"limit": None},
     "Argument 'limit' has incorrect type (expected int, got NoneType)", False),
    ("read_sync_source_errors", (1,), {"page": 2},
     "read_sync_source_errors() got an unexpected keyword argument 'page'", False),
    ("set_sync_source_error_viewed", (1,), {},
     "set_sync_source_error_viewed() takes exactly 2 positional arguments (1 given)", False),
    ("set_sync_source_error_viewed", (1, True, False), {},
     "set_sync_source_error_viewed() takes exactly 2 positional arguments (3 given)", False),
    ("set_sync_source_error_viewed", ("1", True), {},
     "Argument 'error_id' has incorrect type (expected int, got str)", False),
    ("mark_all_sync_source_errors_viewed", (), {},
     "mark_all_sync_source_errors_viewed() takes exactly 1 positional argument (0 given)",
     False),
    ("mark_all_sync_source_errors_viewed", ([1],), {},
     "Argument 'source_id' has incorrect type (expected int, got list)", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(fw, env, name, args, kwargs, message, note):
    check_argument_error(getattr(fw, name), args, kwargs, message, note)
    assert env.sessions.contexts == []


@pytest.mark.parametrize("args, kwargs, skip, limit, viewed", [
    ((7,), {}, 0, 100, None),
    ((7, 20, 10, False), {}, 20, 10, False),
    ((7,), {"viewed": True}, 0, 100, True),
    ((7.9,), {"limit": 2.5, "skip": True}, 1, 2, None),
])
def test_read_errors_asks_for_one_page(fw, env, args, kwargs, skip, limit, viewed):
    run(fw.read_sync_source_errors(*args, **kwargs))
    assert env.crud.calls == [call("read_sync_source_errors", env.sessions.only.session, 7,
                                   skip=skip, limit=limit, viewed=viewed)]


def _records():
    return [Record(id=1), Record(id=2), Record(id=3)]


@pytest.mark.parametrize("shape", [list, tuple, iter], ids=["list", "tuple", "iterator"])
def test_read_errors_validates_each_record_in_order(fw, env, shape):
    records = _records()
    returned = shape(records)
    env.crud.results["read_sync_source_errors"] = returned

    result = run(fw.read_sync_source_errors(7))

    assert type(result) is list and result is not returned
    assert result == [Validated("SyncSourceError", r) for r in records]
    env.assert_session_used()


def test_read_errors_past_the_end_gives_an_empty_list(fw, env):
    env.crud.results["read_sync_source_errors"] = []
    result = run(fw.read_sync_source_errors(7, skip=500))
    assert result == [] and type(result) is list


def test_one_invalid_record_fails_the_whole_page(fw, env):
    records = _records()
    env.crud.results["read_sync_source_errors"] = records
    env.models["SyncSourceError"].reject.append(records[1])
    with pytest.raises(ValidationFailed) as info:
        run(fw.read_sync_source_errors(7))
    env.assert_error_reached_session(info.value)


@pytest.mark.parametrize("given, passed", TRUTH_VALUES)
def test_set_viewed_passes_the_truth_value(fw, env, given, passed):
    record = Record(id=9)
    env.crud.results["set_sync_source_error_viewed"] = record

    result = run(fw.set_sync_source_error_viewed(9, given))

    assert env.crud.calls == [call("set_sync_source_error_viewed", env.sessions.only.session,
                                   9, passed)]
    assert result == Validated("SyncSourceError", record)
    env.assert_session_used()


def test_set_viewed_by_keyword(fw, env):
    run(fw.set_sync_source_error_viewed(viewed="read", error_id=9.2))
    assert env.crud.calls == [call("set_sync_source_error_viewed", env.sessions.only.session,
                                   9, True)]


def test_set_viewed_truth_error_is_raised_by_the_call(fw, env):
    with pytest.raises(ZeroDivisionError):
        fw.set_sync_source_error_viewed(9, BadTruth())
    assert env.sessions.contexts == []


@pytest.mark.parametrize("count, expected", INT_RESULTS)
def test_mark_all_returns_the_count_as_int(fw, env, count, expected):
    env.crud.results["mark_all_sync_source_errors_viewed"] = count
    result = run(fw.mark_all_sync_source_errors_viewed(source_id=3))
    assert env.crud.calls == [call("mark_all_sync_source_errors_viewed",
                                   env.sessions.only.session, 3)]
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("count, message", INT_RESULT_ERRORS)
def test_mark_all_rejects_a_count_that_is_no_number(fw, env, count, message):
    env.crud.results["mark_all_sync_source_errors_viewed"] = count
    with pytest.raises(TypeError) as info:
        run(fw.mark_all_sync_source_errors_viewed(3))
    assert str(info.value) == message


CALLS = [
    ("read_sync_source_errors", (1,)),
    ("set_sync_source_error_viewed", (1, True)),
    ("mark_all_sync_source_errors_viewed", (1,)),
]


@pytest.mark.parametrize("name, args", CALLS)
def test_data_layer_errors_pass_through_the_session(fw, env, name, args):
    failure = LookupError("no such record")
    env.crud.errors[name] = failure
    with pytest.raises(LookupError) as info:
        run(getattr(fw, name)(*args))
    assert info.value is failure
    env.assert_error_reached_session(failure)


@pytest.mark.parametrize("name, args", CALLS)
def test_exception_swallowed_by_the_session_gives_none(fw, env, name, args):
    env.sessions.swallow = True
    env.crud.errors[name] = LookupError("gone")
    assert run(getattr(fw, name)(*args)) is None


# --- against the host stand-ins -------------------------------------------------------------

def test_error_records_end_to_end(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))
    fw = load_feedwells()
    from vornal_api.app.schemas.sync.feedwells import SyncSourceError
    from vornal_sync_agent.crud import NotFound
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import SyncSourceErrorRecord

    sid = run(fw._add_sync_source("failing", "folder", {"path": "/f"})).id

    async def seed():
        async with get_db_session_context() as session:
            session.add_all([SyncSourceErrorRecord(sync_source_id=sid, message=f"e{i}")
                             for i in range(5)])
    asyncio.run(seed())

    page = run(fw.read_sync_source_errors(sid))
    assert [e.message for e in page] == ["e0", "e1", "e2", "e3", "e4"]
    assert all(isinstance(e, SyncSourceError) and not e.viewed for e in page)
    assert [e.message for e in run(fw.read_sync_source_errors(sid, 1, 2))] == ["e1", "e2"]
    assert run(fw.read_sync_source_errors(sid, skip=10)) == []

    marked = run(fw.set_sync_source_error_viewed(page[0].id, "yes"))
    assert marked.viewed is True and marked.id == page[0].id
    unread = run(fw.read_sync_source_errors(sid, viewed=False))
    assert [e.message for e in unread] == ["e1", "e2", "e3", "e4"]
    assert [e.message for e in run(fw.read_sync_source_errors(sid, viewed=True))] == ["e0"]
    assert run(fw.set_sync_source_error_viewed(page[0].id, "")).viewed is False

    assert run(fw.mark_all_sync_source_errors_viewed(sid)) == 5
    assert run(fw.mark_all_sync_source_errors_viewed(sid)) == 0
    assert run(fw.read_sync_source_errors(sid, viewed=False)) == []
    with pytest.raises(NotFound):
        run(fw.set_sync_source_error_viewed(10_000, True))
