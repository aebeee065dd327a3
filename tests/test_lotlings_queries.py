"""Sync items: the module object, listing, reading, resetting and prioritising (lotlings)."""
import importlib
import traceback
import typing

import pytest

from lotlings_fakes import MODULE_NAME, SOURCE_PATH, check_interface, env, lot  # noqa: F401
from recording_fakes import (
    Label, Record, Validated, ValidationFailed, call, check_argument_error, run)

# --- the module object ------------------------------------------------------------------------

BOUND = [
    (("get_db_session_context",), "vornal_sync_agent.db"),
    (("crud_lotlings", "SyncItemSortKey", "OrderDirection"), "vornal_sync_agent.crud.lotlings"),
    (("SyncItemReadSummaryV1", "SyncItemReadV1"), "vornal_api.app.schemas.sync.lotlings"),
    (("List", "Optional"), "typing"),
    (("crud_feedwells",), "vornal_sync_agent.crud.feedwells"),
    (("get_sync_connectors",), "vornal_sync_agent.connectors"),
    (("ConnectorRead",), "vornal_api.app.schemas.sync.connectors"),
    (("REPORT_TEMPLATE_SYNC_ITEM", "format_connector_info", "format_sync_record_logs"),
     "vornal_api.python_api.sync.utils"),
    (("BugReportCreateV3", "report_bug"), "vornal_client.remote.endpoints.bug_report"),
]
FUNCTIONS = ["list_lotlings", "get_sync_item", "reset_sync_item", "prioritize_sync_item",
             "generate_sync_item_report", "get_sync_item_error_report", "report_sync_item"]


def test_namespace_holds_the_bound_names_then_the_functions_in_order(lot):
    for names, source in BOUND:
        home = typing if source == "typing" else importlib.import_module(source)
        for name in names:
            assert getattr(lot, name) is getattr(home, name), name
    keys = list(vars(lot))
    statements = [name for names, _ in BOUND for name in names] + FUNCTIONS
    assert keys[keys.index("__builtins__") + 1:] == statements + ["__test__"]


# --- function objects -------------------------------------------------------------------------

LIST_SIGNATURE = (
    "list_lotlings(int source_id: int, bool is_synchronized: Optional[bool] = None, "
    "bool has_priority: Optional[bool] = None, str scope_identifier: Optional[str] = None, "
    "str query: Optional[str] = None, order_by: Optional[SyncItemSortKey] = None, "
    "order_direction: Optional[OrderDirection] = None, int offset: int = 0, "
    "int limit: int = 100) -> List[SyncItemReadSummaryV1]")
LIST_ANNOTATIONS = {
    "source_id": "int", "is_synchronized": "Optional[bool]", "has_priority": "Optional[bool]",
    "scope_identifier": "Optional[str]", "query": "Optional[str]",
    "order_by": "Optional[SyncItemSortKey]", "order_direction": "Optional[OrderDirection]",
    "offset": "int", "limit": "int", "return": "List[SyncItemReadSummaryV1]"}

INTERFACE = [
    ("list_lotlings", LIST_SIGNATURE,
     "List sync items using the CRUD layer with optional filters and pagination.",
     LIST_ANNOTATIONS, (None, None, None, None, None, None, 0, 100), ("session", "item")),
    ("get_sync_item", "get_sync_item(int sync_item_id: int) -> SyncItemReadV1",
     "Get a single sync item by id using the CRUD layer.",
     {"sync_item_id": "int", "return": "SyncItemReadV1"}, None, ("session",)),
    ("reset_sync_item", "reset_sync_item(int sync_item_id: int) -> None",
     "Reset attempts and synchronized state for a sync item.",
     {"sync_item_id": "int", "return": "None"}, None, ("session",)),
    ("prioritize_sync_item", "prioritize_sync_item(int sync_item_id: int) -> None",
     "Prioritize a sync item by setting its sync priority to the maximum float value.",
     {"sync_item_id": "int", "return": "None"}, None, ("session",)),
]


@pytest.mark.parametrize("name, signature, sentence, annotations, defaults, locals_", INTERFACE,
                         ids=[row[0] for row in INTERFACE])
def test_interface(lot, name, signature, sentence, annotations, defaults, locals_):
    func = getattr(lot, name)
    check_interface(func, signature, sentence, annotations, defaults)
    # One sentence after the signature line, nothing more.
    assert func.__doc__ == f"{signature}\n\n{sentence}"
    code = func.__code__
    params = tuple(name for name in annotations if name != "return")
    assert code.co_varnames == params + locals_
    assert code.co_argcount == len(params)
    assert code.co_filename == SOURCE_PATH


ARGUMENT_ERRORS = [
    ("list_lotlings", (), {}, "list_lotlings() takes at least 1 positional argument (0 given)", False),
    ("list_lotlings", tuple(range(10)), {},
     "list_lotlings() takes at most 9 positional arguments (10 given)", False),
    ("list_lotlings", (5,), {"is_synchronized": 1},
     "Argument 'is_synchronized' has incorrect type (expected bool, got int)", False),
    ("list_lotlings", (5,), {"has_priority": "yes"},
     "Argument 'has_priority' has incorrect type (expected bool, got str)", False),
    ("list_lotlings", (5,), {"scope_identifier": Label("optics")},
     "Argument 'scope_identifier' has incorrect type (expected str, got Label)", True),
    ("list_lotlings", (5,), {"query": 3},
     "Argument 'query' has incorrect type (expected str, got int)", False),
    ("list_lotlings", (5,), {"offset": "2"},
     "Argument 'offset' has incorrect type (expected int, got str)", False),
    ("list_lotlings", (5,), {"limit": None},
     "Argument 'limit' has incorrect type (expected int, got NoneType)", False),
    ("list_lotlings", (5,), {"page": 2}, "list_lotlings() got an unexpected keyword argument 'page'", False),
    ("get_sync_item", (), {}, "get_sync_item() takes exactly 1 positional argument (0 given)", False),
    ("reset_sync_item", (1, 2), {}, "reset_sync_item() takes exactly 1 positional argument (2 given)", False),
    ("prioritize_sync_item", ("3",), {},
     "Argument 'sync_item_id' has incorrect type (expected int, got str)", False),
    ("prioritize_sync_item", (3,), {"sync_item_id": 3},
     "prioritize_sync_item() got multiple values for keyword argument 'sync_item_id'", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(lot, env, name, args, kwargs, message, note):
    check_argument_error(getattr(lot, name), args, kwargs, message, note)
    assert env.sessions.contexts == []
    # The traceback names the function with its module.
    with pytest.raises(TypeError) as info:
        getattr(lot, name)(*args, **kwargs)
    entries = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]
    assert (f"{MODULE_NAME}.{name}", SOURCE_PATH) in entries


# --- listing ------------------------------------------------------------------------------

KEYWORD_ORDER = ("source_id", "is_synchronized", "has_priority", "scope_identifier", "order_by",
                 "order_direction", "offset", "limit", "query")


def listing(session, **given):
    values = dict(source_id=5, is_synchronized=None, has_priority=None, scope_identifier=None,
                  order_by=None, order_direction=None, offset=0, limit=100, query=None)
    values.update(given)
    return call("list_lotlings", session, **{key: values[key] for key in KEYWORD_ORDER})


class SortKey:
    """Not one of the data layer's enumerations: passed on all the same."""


SORT_KEY = SortKey()

LISTING_ARGUMENTS = [
    ((5,), {}, {}),
    ((5, True, False, "optics", "run", "sync_priority", "desc", 20, 10), {},
     dict(is_synchronized=True, has_priority=False, scope_identifier="optics", query="run",
          order_by="sync_priority", order_direction="desc", offset=20, limit=10)),
    ((), dict(limit=3, source_id=5, query="", order_by=SORT_KEY),
     dict(limit=3, query="", order_by=SORT_KEY)),
    ((5.7,), dict(offset=2.9, limit=True), dict(offset=2, limit=1)),
    ((5,), dict(is_synchronized=None, has_priority=True), dict(has_priority=True)),
]


@pytest.mark.parametrize("args, kwargs, expected", LISTING_ARGUMENTS)
def test_list_passes_the_nine_keywords_in_order(lot, env, args, kwargs, expected):
    run(lot.list_lotlings(*args, **kwargs))
    env.assert_session_used()
    # A recorded call compares its keywords in order.
    assert env.crud.calls == [listing(env.sessions.only.session, **expected)]


@pytest.mark.parametrize("container", [list, tuple, iter], ids=["list", "tuple", "iterator"])
@pytest.mark.parametrize("count", [0, 3])
def test_list_builds_a_new_list_of_summaries(lot, env, container, count):
    records = [Record(n=n) for n in range(count)]
    given = container(records)
    env.crud.results["list_lotlings"] = given
    result = run(lot.list_lotlings(5))
    assert type(result) is list and result is not given
    assert result == [Validated("SyncItemReadSummaryV1", r) for r in records]
    assert env.models["SyncItemReadV1"].seen == []
    env.assert_session_used()


def test_list_is_new_each_call(lot, env):
    given = []
    env.crud.results["list_lotlings"] = given
    first, second = run(lot.list_lotlings(5)), run(lot.list_lotlings(5))
    assert first == second == [] and first is not second and given == []


def test_one_invalid_item_fails_the_whole_listing(lot, env):
    records = [Record(n=1), Record(n=2), Record(n=3)]
    env.crud.results["list_lotlings"] = records
    env.models["SyncItemReadSummaryV1"].reject = [records[1]]
    with pytest.raises(ValidationFailed) as info:
        run(lot.list_lotlings(5))
    env.assert_error_reached_session(info.value)
    # Validation stopped at the bad item; nothing was returned.
    assert env.models["SyncItemReadSummaryV1"].seen == records[:2]


def test_swallowed_listing_error_gives_none_not_a_partial_list(lot, env):
    records = [Record(n=1), Record(n=2)]
    env.crud.results["list_lotlings"] = records
    env.models["SyncItemReadSummaryV1"].reject = [records[1]]
    env.sessions.swallow = True
    assert run(lot.list_lotlings(5)) is None


# --- reading, resetting, prioritising ---------------------------------------------------------

def test_get_builds_the_item_read_model_inside_the_session(lot, env):
    record = Record(id=7)
    env.crud.results["read_sync_item"] = record
    result = run(lot.get_sync_item(7.9))
    assert result == Validated("SyncItemReadV1", record)
    assert env.crud.calls == [call("read_sync_item", env.sessions.only.session, 7)]
    env.assert_session_used()


UPDATES = [
    ("reset_sync_item", dict(attempts=0, synchronized=False, has_priority=False)),
    ("prioritize_sync_item", dict(has_priority=True)),
]


@pytest.mark.parametrize("name, keywords", UPDATES, ids=[u[0] for u in UPDATES])
@pytest.mark.parametrize("crud_result", [None, Record(id=4), 1])
def test_updates_send_their_fields_and_return_none(lot, env, name, keywords, crud_result):
    env.crud.results["update_sync_item"] = crud_result
    assert run(getattr(lot, name)(True)) is None
    assert env.crud.calls == [call("update_sync_item", env.sessions.only.session, 1, **keywords)]
    assert all(m.seen == [] for m in env.models.values())
    env.assert_session_used()


@pytest.mark.parametrize("name, method", [
    ("list_lotlings", "list_lotlings"), ("get_sync_item", "read_sync_item"),
    ("reset_sync_item", "update_sync_item"), ("prioritize_sync_item", "update_sync_item")])
def test_data_layer_error_reaches_the_session_then_propagates(lot, env, name, method):
    error = LookupError("no such item")
    env.crud.errors[method] = error
    with pytest.raises(LookupError) as info:
        run(getattr(lot, name)(4))
    assert info.value is error
    env.assert_error_reached_session(error)
    entries = [(e.name, e.filename) for e in traceback.extract_tb(error.__traceback__)]
    assert (name, SOURCE_PATH) in entries


def test_true_aexit_result_swallows_the_error_and_gives_none(lot, env):
    env.crud.errors["read_sync_item"] = LookupError("no such item")
    env.sessions.swallow = True
    assert run(lot.get_sync_item(4)) is None
    assert env.models["SyncItemReadV1"].seen == []
