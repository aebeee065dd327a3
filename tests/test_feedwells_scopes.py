"""Scope mappings of sync sources (feedwells)."""
import asyncio
import uuid

import pytest

from feedwells_fakes import (  # noqa: F401  (fixtures)
    INT_RESULT_ERRORS, INT_RESULTS, Label, Record, Validated, call, check_argument_error,
    check_interface, env, fw, load_feedwells, run)

SCOPE = uuid.UUID("6f1c2a52-3c1e-4c8e-9d44-1b2f3a4c5d6e")

INTERFACE = [
    ("create_scope_mapping",
     "create_scope_mapping(int sync_source_id: int, str scope_identifier: str, "
     "scope_uuid: uuid.UUID) -> SyncSourceScopeMappingRead",
     "Create a new scope mapping for a sync source.",
     {"sync_source_id": "int", "scope_identifier": "str", "scope_uuid": "uuid.UUID",
      "return": "SyncSourceScopeMappingRead"}, None),
    ("update_scope_mapping",
     "update_scope_mapping(int sync_source_id: int, str scope_identifier: str, "
     "scope_uuid: uuid.UUID) -> SyncSourceScopeMappingRead",
     "Update an existing scope mapping.",
     {"sync_source_id": "int", "scope_identifier": "str", "scope_uuid": "uuid.UUID",
      "return": "SyncSourceScopeMappingRead"}, None),
    ("delete_scope_mapping",
     "delete_scope_mapping(int sync_source_id: int, str scope_identifier: str) -> None",
     "Delete a scope mapping.",
     {"sync_source_id": "int", "scope_identifier": "str", "return": "None"}, None),
    ("get_unmapped_scope_identifiers",
     "get_unmapped_scope_identifiers(int sync_source_id: Optional[int] = None) -> List[str]",
     "Find scope identifiers in sync items that have no mapping.",
     {"sync_source_id": "Optional[int]", "return": "List[str]"}, (None,)),
    ("autoassign_scope_mappings",
     "autoassign_scope_mappings(int sync_source_id: int) -> int",
     "Automatically assign scope mappings based on scope name matching.",
     {"sync_source_id": "int", "return": "int"}, None),
]


@pytest.mark.parametrize("name, signature, first_sentence, annotations, defaults", INTERFACE,
                         ids=[row[0] for row in INTERFACE])
def test_interface(fw, name, signature, first_sentence, annotations, defaults):
    check_interface(getattr(fw, name), signature, first_sentence, annotations, defaults)


ARGUMENT_ERRORS = [
    ("create_scope_mapping", (1, "alpha"), {},
     "create_scope_mapping() takes exactly 3 positional arguments (2 given)", False),
    ("create_scope_mapping", (1,), {"scope_uuid": SCOPE},
     "create_scope_mapping() takes exactly 3 positional arguments (1 given)", False),
    ("update_scope_mapping", (1, "alpha", SCOPE, 4), {},
     "update_scope_mapping() takes exactly 3 positional arguments (4 given)", False),
    ("delete_scope_mapping", (1, "alpha", SCOPE), {},
     "delete_scope_mapping() takes exactly 2 positional arguments (3 given)", False),
    ("get_unmapped_scope_identifiers", (1, 2), {},
     "get_unmapped_scope_identifiers() takes at most 1 positional argument (2 given)", False),
    ("autoassign_scope_mappings", (), {},
     "autoassign_scope_mappings() takes exactly 1 positional argument (0 given)", False),
    ("create_scope_mapping", ("1", "alpha", SCOPE), {},
     "Argument 'sync_source_id' has incorrect type (expected int, got str)", False),
    ("create_scope_mapping", (1, None, SCOPE), {},
     "Argument 'scope_identifier' has incorrect type (expected str, got NoneType)", False),
    ("update_scope_mapping", (1, Label("alpha"), SCOPE), {},
     "Argument 'scope_identifier' has incorrect type (expected str, got Label)", True),
    ("delete_scope_mapping", (1, b"alpha"), {},
     "Argument 'scope_identifier' has incorrect type (expected str, got bytes)", False),
    ("delete_scope_mapping", (1,), {"scope_identifier": 5},
     "Argument 'scope_identifier' has incorrect type (expected str, got int)", False),
    ("get_unmapped_scope_identifiers", ("1",), {},
     "Argument 'sync_source_id' has incorrect type (expected int, got str)", False),
    ("autoassign_scope_mappings", (None,), {},
     "Argument 'sync_source_id' has incorrect type (expected int, got NoneType)", False),
    ("autoassign_scope_mappings", (1,), {"source_id": 1},
     "autoassign_scope_mappings() got an unexpected keyword argument 'source_id'", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(fw, env, name, args, kwargs, message, note):
    check_argument_error(getattr(fw, name), args, kwargs, message, note)
    assert env.sessions.contexts == []


@pytest.mark.parametrize("name", ["create_scope_mapping", "update_scope_mapping"])
@pytest.mark.parametrize("scope_uuid", [SCOPE, str(SCOPE), "not a uuid", None, 17],
                         ids=["uuid", "uuid-str", "other-str", "none", "int"])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keywords"])
def test_create_and_update_ask_for_a_statistics_update(fw, env, name, scope_uuid, by_keyword):
    mapping = Record(scope_identifier="alpha")
    env.crud.results[name] = mapping
    function = getattr(fw, name)
    coroutine = (function(sync_source_id=4.0, scope_identifier="alpha", scope_uuid=scope_uuid)
                 if by_keyword else function(4.0, "alpha", scope_uuid))

    result = run(coroutine)

    # scope_uuid is unchecked and reaches the data layer as the very same object.
    assert env.crud.calls == [call(name, env.sessions.only.session, 4, "alpha", scope_uuid,
                                   update_statistics=True)]
    assert env.crud.calls[0].args[3] is scope_uuid
    assert result == Validated("SyncSourceScopeMappingRead", mapping)
    env.assert_session_used()


def test_delete_passes_no_statistics_keyword_and_returns_none(fw, env):
    env.crud.results["delete_scope_mapping"] = Record(deleted=True)  # discarded
    assert run(fw.delete_scope_mapping(4, scope_identifier="alpha")) is None
    assert env.crud.calls == [call("delete_scope_mapping", env.sessions.only.session, 4,
                                   "alpha")]
    assert env.models["SyncSourceScopeMappingRead"].seen == []
    env.assert_session_used()


class ScopeIds(list):
    pass


@pytest.mark.parametrize("args, passed", [((), None), ((None,), None), ((3,), 3), ((3.5,), 3)])
@pytest.mark.parametrize("identifiers", [["alpha", "beta"], [], None],
                         ids=["list", "empty", "none"])
def test_unmapped_identifiers_are_returned_as_given(fw, env, args, passed, identifiers):
    env.crud.results["get_unmapped_scope_identifiers"] = identifiers
    result = run(fw.get_unmapped_scope_identifiers(*args))
    assert env.crud.calls == [call("get_unmapped_scope_identifiers",
                                   env.sessions.only.session, passed)]
    assert result is identifiers  # the data layer's own list, not a copy


@pytest.mark.parametrize("identifiers, message", [
    (("alpha",), "Expected list, got tuple"),
    (ScopeIds(["alpha"]), "Expected list, got ScopeIds"),
    ("alpha", "Expected list, got str"),
])
def test_unmapped_identifiers_must_be_a_list(fw, env, identifiers, message):
    env.crud.results["get_unmapped_scope_identifiers"] = identifiers
    with pytest.raises(TypeError) as info:
        run(fw.get_unmapped_scope_identifiers(1))
    assert str(info.value) == message
    env.assert_error_reached_session(info.value)


@pytest.mark.parametrize("count, expected", INT_RESULTS)
def test_autoassign_returns_the_count_as_int(fw, env, count, expected):
    env.crud.results["autoassign_scope_mappings"] = count
    result = run(fw.autoassign_scope_mappings(sync_source_id=2))
    assert env.crud.calls == [call("autoassign_scope_mappings", env.sessions.only.session, 2)]
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("count, message", INT_RESULT_ERRORS)
def test_autoassign_rejects_a_count_that_is_no_number(fw, env, count, message):
    env.crud.results["autoassign_scope_mappings"] = count
    with pytest.raises(TypeError) as info:
        run(fw.autoassign_scope_mappings(2))
    assert str(info.value) == message
    env.assert_error_reached_session(info.value)


CALLS = [
    ("create_scope_mapping", (1, "alpha", SCOPE)),
    ("update_scope_mapping", (1, "alpha", SCOPE)),
    ("delete_scope_mapping", (1, "alpha")),
    ("get_unmapped_scope_identifiers", (1,)),
    ("autoassign_scope_mappings", (1,)),
]


@pytest.mark.parametrize("name, args", CALLS)
def test_data_layer_errors_pass_through_the_session(fw, env, name, args):
    failure = LookupError("mapping not found")
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


def test_mapping_rejected_by_validation_fails_the_call(fw, env):
    mapping = Record()
    env.crud.results["create_scope_mapping"] = mapping
    env.models["SyncSourceScopeMappingRead"].reject.append(mapping)
    with pytest.raises(Exception, match="rejects"):
        run(fw.create_scope_mapping(1, "alpha", SCOPE))


# --- against the host stand-ins -------------------------------------------------------------

def test_scope_mappings_end_to_end(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))
    fw = load_feedwells()
    from vornal_api.app.schemas.sync.feedwells import SyncSourceScopeMappingRead
    from vornal_sync_agent.crud import AlreadyExists, NotFound
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import Scope, SyncItem

    sid = run(fw._add_sync_source("scoped", "folder", {"path": "/s"})).id
    other = run(fw._add_sync_source("other", "folder", {"path": "/o"})).id
    alpha, beta = uuid.uuid4(), uuid.uuid4()

    async def seed():
        async with get_db_session_context() as session:
            session.add_all([
                SyncItem(sync_source_id=sid, scope_identifier="Alpha"),
                SyncItem(sync_source_id=sid, scope_identifier="beta", attempts=1,
                         synchronized=True),
                SyncItem(sync_source_id=sid, scope_identifier="gamma"),
                SyncItem(sync_source_id=other, scope_identifier="delta"),
                Scope(uuid=alpha, name="alpha"),
                Scope(uuid=uuid.uuid4(), name="Gamma"), Scope(uuid=uuid.uuid4(), name="GAMMA"),
            ])
    asyncio.run(seed())

    assert run(fw.get_unmapped_scope_identifiers()) == ["Alpha", "beta", "delta", "gamma"]
    assert run(fw.get_unmapped_scope_identifiers(sid)) == ["Alpha", "beta", "gamma"]

    mapping = run(fw.create_scope_mapping(sid, "beta", str(beta)))
    assert isinstance(mapping, SyncSourceScopeMappingRead)
    assert (mapping.sync_source_id, mapping.scope_identifier, mapping.scope_uuid) == (
        sid, "beta", beta)
    with pytest.raises(AlreadyExists):
        run(fw.create_scope_mapping(sid, "beta", beta))

    changed = run(fw.update_scope_mapping(sid, "beta", alpha))
    assert changed.scope_uuid == alpha
    # The update reset the item of "beta", and the statistics were brought up to date.
    assert run(fw.get_sync_source(sid)).items_synchronized == 0

    assert run(fw.autoassign_scope_mappings(sid)) == 1  # "Alpha"; "gamma" is ambiguous
    assert run(fw.get_unmapped_scope_identifiers(sid)) == ["gamma"]
    assert run(fw.autoassign_scope_mappings(sid)) == 0

    assert run(fw.delete_scope_mapping(sid, "beta")) is None
    assert run(fw.get_unmapped_scope_identifiers(sid)) == ["beta", "gamma"]
    with pytest.raises(NotFound):
        run(fw.delete_scope_mapping(sid, "beta"))
