"""Adding and updating sync sources, and the connector definitions (feedwells)."""
import collections
import dataclasses
import types
import uuid

import pytest

from feedwells_fakes import (  # noqa: F401  (fixtures)
    AsyncRecorder, Label, Record, Validated, call, check_argument_error, check_interface,
    entry, env, fw, load_feedwells, run)

SCOPE = uuid.UUID("3d5e7f90-1a2b-4c3d-8e4f-5a6b7c8d9e0f")
INFER_HINT = (". Pass a known ConfigData instance "
              "(e.g., FolderBaseConfigData, QCoDeSConfigData, ...).")


@dataclasses.dataclass
class Retry:
    attempts: int = 3


@dataclasses.dataclass
class FolderConfig:
    path: str
    retry: Retry = dataclasses.field(default_factory=Retry)


@dataclasses.dataclass
class DatabaseConfig(FolderConfig):
    database: str = "runs.db"


@dataclasses.dataclass
class OtherConfig:
    url: str = "x"


class PlainConfig:
    """A configuration class that is not a dataclass."""


class FolderSync:
    pass


class DatabaseSync:
    pass


# --- interface ------------------------------------------------------------------------------

SCOPE_ANNOTATION = "Optional[Union[str, uuid.UUID]]"


def test_add_interface(fw):
    check_interface(
        fw.add_sync_source,
        "add_sync_source(str name: str, config_data: Any, default_scope: Optional[Union[str, "
        "uuid.UUID]] = None, bool autoassign_scope_mapping: bool = False) -> SyncSourceReadV1",
        "add a sync source inferring the connector from the provided ConfigData.",
        {"name": "str", "config_data": "Any", "default_scope": SCOPE_ANNOTATION,
         "autoassign_scope_mapping": "bool", "return": "SyncSourceReadV1"},
        (None, False))
    description = fw.add_sync_source.__doc__.split("\n", 1)[1]
    assert "FolderBaseConfigData" in description and "QCoDeSConfigData" in description


@pytest.mark.parametrize("name, parameters, returns", [
    ("add_sync_source", ["name", "config_data", "default_scope", "autoassign_scope_mapping"],
     True),
    ("update_sync_source",
     ["source_id", "name", "default_scope", "config_data", "autoassign_scope_mapping"], True),
])
def test_description_goes_on_with_args_then_returns(fw, name, parameters, returns):
    lines = getattr(fw, name).__doc__.split("\n")
    # signature, blank, first sentence, blank, then the sections
    assert lines[3:5] == ["", "Args:"]
    named = [line.strip().split(":")[0] for line in lines[5:] if line.startswith("    ")
             and not line.startswith("     ")]
    assert named[:len(parameters)] == parameters
    assert ("Returns:" in lines) is returns


def test_update_interface(fw):
    check_interface(
        fw.update_sync_source,
        "update_sync_source(int source_id: int, str name: Optional[str] = None, default_scope: "
        "Optional[Union[str, uuid.UUID]] = None, config_data: Optional[Any] = None, "
        "bool autoassign_scope_mapping: Optional[bool] = None)",
        "Update fields of a sync source using the CRUD layer.",
        {"source_id": "int", "name": "Optional[str]", "default_scope": SCOPE_ANNOTATION,
         "config_data": "Optional[Any]", "autoassign_scope_mapping": "Optional[bool]"},
        (None, None, None, None))


def test_list_definitions_interface(fw):
    check_interface(
        fw.list_sync_source_definitions,
        "list_sync_source_definitions() -> List[ConnectorDefinition]",
        "Return available sync source connector definitions (no DB needed).",
        {"return": "List[ConnectorDefinition]"}, None, is_coroutine=False)


def test_private_add_interface(fw):
    import inspect

    function = fw._add_sync_source
    assert function.__annotations__ == {
        "name": "str", "sync_connector": "str", "config_data": "Dict[str, Any]",
        "default_scope": SCOPE_ANNOTATION, "autoassign_scope_mapping": "bool"}
    assert function.__defaults__ == (None, False)
    assert inspect.iscoroutinefunction(function)


ARGUMENT_ERRORS = [
    ("add_sync_source", ("src",), {},
     "add_sync_source() takes at least 2 positional arguments (1 given)", False),
    ("add_sync_source", ("src", OtherConfig(), None, False, 1), {},
     "add_sync_source() takes at most 4 positional arguments (5 given)", False),
    ("add_sync_source", (None, OtherConfig()), {},
     "Argument 'name' has incorrect type (expected str, got NoneType)", False),
    ("add_sync_source", (Label("src"), OtherConfig()), {},
     "Argument 'name' has incorrect type (expected str, got Label)", True),
    ("add_sync_source", ("src",), {"config": OtherConfig()},
     "add_sync_source() got an unexpected keyword argument 'config'", False),
    ("_add_sync_source", ("src", "folder"), {},
     "_add_sync_source() takes at least 3 positional arguments (2 given)", False),
    ("_add_sync_source", ("src", "folder", {}, None, False, 1), {},
     "_add_sync_source() takes at most 5 positional arguments (6 given)", False),
    ("_add_sync_source", ("src", 5, {}), {},
     "Argument 'sync_connector' has incorrect type (expected str, got int)", False),
    ("_add_sync_source", ("src", "folder", None), {},
     "Argument 'config_data' has incorrect type (expected dict, got NoneType)", False),
    ("_add_sync_source", ("src", "folder", collections.OrderedDict()), {},
     "Argument 'config_data' has incorrect type (expected dict, got collections.OrderedDict)",
     True),
    ("_add_sync_source", ("src", "folder", [("path", "/d")]), {},
     "Argument 'config_data' has incorrect type (expected dict, got list)", False),
    ("update_sync_source", (), {},
     "update_sync_source() takes at least 1 positional argument (0 given)", False),
    ("update_sync_source", (1, None, None, None, None, 6), {},
     "update_sync_source() takes at most 5 positional arguments (6 given)", False),
    ("update_sync_source", ("1",), {},
     "Argument 'source_id' has incorrect type (expected int, got str)", False),
    ("update_sync_source", (1,), {"name": 5},
     "Argument 'name' has incorrect type (expected str, got int)", False),
    ("update_sync_source", (1, Label("new")), {},
     "Argument 'name' has incorrect type (expected str, got Label)", True),
    # Unlike add_sync_source, the flag of an update is an optional bool: no numbers.
    ("update_sync_source", (1,), {"autoassign_scope_mapping": 1},
     "Argument 'autoassign_scope_mapping' has incorrect type (expected bool, got int)", False),
    ("update_sync_source", (1,), {"autoassign_scope_mapping": "yes"},
     "Argument 'autoassign_scope_mapping' has incorrect type (expected bool, got str)", False),
    ("list_sync_source_definitions", (1,), {},
     "list_sync_source_definitions() takes no arguments (1 given)", False),
    ("list_sync_source_definitions", (), {"scan": True},
     "list_sync_source_definitions() takes no keyword arguments", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(fw, env, name, args, kwargs, message, note):
    check_argument_error(getattr(fw, name), args, kwargs, message, note)
    assert env.sessions.contexts == [] and env.get_sync_connectors.calls == []


# --- add_sync_source: connector inference ---------------------------------------------------

@pytest.fixture
def add_private(fw, monkeypatch):
    """Replaces `_add_sync_source`, which `add_sync_source` looks up on every call."""
    fake = AsyncRecorder("_add_sync_source", [], result=Record(kind="added"))
    monkeypatch.setattr(fw, "_add_sync_source", fake)
    return fake


def test_add_hands_a_plain_dict_to_the_private_add(fw, env, add_private):
    env.registry.update(other=entry("other", OtherConfig), folder=entry("folder", FolderConfig))
    config = FolderConfig(path="/data", retry=Retry(attempts=5))

    result = run(fw.add_sync_source("lab", config))

    assert result is add_private.result
    expected = {"path": "/data", "retry": {"attempts": 5}}
    assert add_private.calls == [call("_add_sync_source", name="lab", sync_connector="folder",
                                      config_data=expected, default_scope=None,
                                      autoassign_scope_mapping=False)]
    assert env.get_sync_connectors.calls == [call("get_sync_connectors")]
    assert env.sessions.contexts == []  # the session belongs to _add_sync_source


@pytest.mark.parametrize("default_scope", [None, "", str(SCOPE), SCOPE, 0])
@pytest.mark.parametrize("flag, passed", [(1, True), ("", False), (None, False), ([0], True)])
def test_add_passes_scope_unchanged_and_flag_as_bool(fw, env, add_private, default_scope,
                                                     flag, passed):
    env.registry.update(folder=entry("folder", FolderConfig))
    run(fw.add_sync_source("lab", FolderConfig(path="/d"), default_scope, flag))
    (made,) = add_private.calls
    assert dict(made.kwargs)["default_scope"] is default_scope
    assert dict(made.kwargs)["autoassign_scope_mapping"] is passed


@pytest.mark.parametrize("order, config, inferred", [
    (["folder", "database"], DatabaseConfig(path="/d"), "folder"),
    (["database", "folder"], DatabaseConfig(path="/d"), "database"),
    (["database", "folder"], FolderConfig(path="/d"), "folder"),
])
def test_first_matching_connector_in_registry_order_wins(fw, env, add_private, order, config,
                                                         inferred):
    entries = {"folder": entry("folder", FolderConfig),
               "database": entry("database", DatabaseConfig)}
    env.registry.update((key, entries[key]) for key in order)
    run(fw.add_sync_source("lab", config))
    assert dict(add_private.calls[0].kwargs)["sync_connector"] == inferred


class Untouchable:
    @property
    def config_class(self):
        raise AssertionError("entries after the match must not be looked at")


def test_inference_stops_at_the_first_match(fw, env, add_private):
    env.registry.update(folder=entry("folder", FolderConfig), later=Untouchable())
    run(fw.add_sync_source("lab", FolderConfig(path="/d")))
    assert dict(add_private.calls[0].kwargs)["sync_connector"] == "folder"


def test_registry_key_does_not_name_the_connector(fw, env, add_private):
    # The inferred identifier is the entry's `identifier`, whatever key it is registered under.
    env.registry.update(key=entry("from-entry", FolderConfig))
    run(fw.add_sync_source("lab", FolderConfig(path="/d")))
    assert dict(add_private.calls[0].kwargs)["sync_connector"] == "from-entry"


@pytest.mark.parametrize("config, registry, type_name", [
    ({"path": "/d"}, {"folder": ("folder", FolderConfig)}, "dict"),
    (OtherConfig(), {"folder": ("folder", FolderConfig)}, "OtherConfig"),
    (FolderConfig(path="/d"), {}, "FolderConfig"),
    (FolderConfig(path="/d"), {"folder": (None, FolderConfig)}, "FolderConfig"),
], ids=["dict", "unregistered-class", "empty-registry", "identifier-none"])
def test_inference_failure(fw, env, add_private, config, registry, type_name):
    env.registry.update({key: entry(*value) for key, value in registry.items()})
    with pytest.raises(TypeError) as info:
        run(fw.add_sync_source("lab", config))
    assert str(info.value) == (
        f"Unable to infer sync connector from config_data of type {type_name}{INFER_HINT}")
    assert add_private.calls == [] and env.sessions.contexts == []


@pytest.mark.parametrize("identifier, type_name", [(5, "int"), (Label("folder"), "Label"),
                                                   (b"folder", "bytes")])
def test_inferred_identifier_must_be_a_str(fw, env, add_private, identifier, type_name):
    env.registry.update(folder=entry(identifier, FolderConfig))
    with pytest.raises(TypeError) as info:
        run(fw.add_sync_source("lab", FolderConfig(path="/d")))
    assert str(info.value) == f"Expected str, got {type_name}"
    assert add_private.calls == []


def test_matching_object_that_is_no_dataclass_fails_before_adding(fw, env, add_private):
    env.registry.update(plain=entry("plain", PlainConfig))
    with pytest.raises(TypeError, match="dataclass"):
        run(fw.add_sync_source("lab", PlainConfig()))
    assert add_private.calls == [] and env.sessions.contexts == []


def test_add_through_the_private_add(fw, env):
    env.registry.update(folder=entry("folder", FolderConfig))
    created = Record(kind="created")
    env.crud.results["create_sync_source"] = created

    result = run(fw.add_sync_source("lab", FolderConfig(path="/d"), str(SCOPE), "yes"))

    assert env.crud.calls == [call("create_sync_source", env.sessions.only.session, "lab",
                                   "folder", {"path": "/d", "retry": {"attempts": 3}}, SCOPE,
                                   autoassign_scope_mapping=True)]
    assert result == Validated("SyncSourceReadV1", created)
    env.assert_session_used()


# --- default scope (_add_sync_source and update_sync_source) --------------------------------

class ScopeText:
    """A non-str object whose str() is a UUID."""

    def __str__(self):
        return str(SCOPE)


SCOPES = [
    (None, None),
    ("", None),
    (0, None),
    (SCOPE, SCOPE),
    (str(SCOPE), SCOPE),
    (str(SCOPE).upper(), SCOPE),
    ("{%s}" % SCOPE, SCOPE),
    (ScopeText(), SCOPE),
]
SCOPE_IDS = ["none", "empty", "zero", "uuid", "str", "upper", "braces", "object"]


@pytest.mark.parametrize("given, expected", SCOPES, ids=SCOPE_IDS)
def test_private_add_normalises_the_default_scope(fw, env, given, expected):
    config = {"path": "/d"}
    created = Record(kind="created")
    env.crud.results["create_sync_source"] = created

    result = run(fw._add_sync_source("lab", "folder", config, given))

    session = env.sessions.only.session
    assert env.crud.calls == [call("create_sync_source", session, "lab", "folder", config,
                                   expected, autoassign_scope_mapping=False)]
    assert env.crud.calls[0].args[3] is config
    if isinstance(given, uuid.UUID):
        assert env.crud.calls[0].args[4] is given
    assert result == Validated("SyncSourceReadV1", created)
    env.assert_session_used()


@pytest.mark.parametrize("given, expected", SCOPES, ids=SCOPE_IDS)
def test_update_normalises_the_default_scope(fw, env, given, expected):
    run(fw.update_sync_source(2, default_scope=given))
    (made,) = env.crud.calls
    scope = dict(made.kwargs)["default_scope"]
    assert type(scope) is type(expected) and scope == expected
    if isinstance(given, uuid.UUID):
        assert scope is given


@pytest.mark.parametrize("name", ["_add_sync_source", "update_sync_source"])
def test_invalid_scope_string_fails_inside_the_session(fw, env, name):
    coroutine = (fw._add_sync_source("lab", "folder", {}, "not-a-uuid")
                 if name == "_add_sync_source"
                 else fw.update_sync_source(2, default_scope="not-a-uuid"))
    with pytest.raises(ValueError) as info:
        run(coroutine)
    env.assert_error_reached_session(info.value)
    assert env.crud.calls == []


def test_default_scope_looks_uuid_up_at_each_use(fw, env, monkeypatch):
    # The isinstance test and the conversion each read `uuid` from the module when they run.
    made = []
    later = types.SimpleNamespace(UUID=lambda text: made.append(text) or SCOPE)

    class SwapsOnCheck(type):
        def __instancecheck__(cls, obj):
            monkeypatch.setattr(fw, "uuid", later)
            return False

    monkeypatch.setattr(fw, "uuid", types.SimpleNamespace(UUID=SwapsOnCheck("UUID", (), {})))
    run(fw.update_sync_source(2, default_scope="scope text"))
    assert made == ["scope text"]
    assert dict(env.crud.calls[0].kwargs)["default_scope"] is SCOPE


@pytest.mark.parametrize("flag, passed", [(True, True), (0, False), ("x", True), (None, False)])
def test_private_add_passes_the_flag_as_bool(fw, env, flag, passed):
    run(fw._add_sync_source("lab", "folder", {}, autoassign_scope_mapping=flag))
    assert env.crud.calls[0].kwargs == (("autoassign_scope_mapping", passed),)


# --- update_sync_source ---------------------------------------------------------------------

def test_update_with_the_identifier_alone_passes_every_field_as_none(fw, env):
    updated = Record(kind="updated")
    env.crud.results["update_sync_source"] = updated

    result = run(fw.update_sync_source(7.5))

    assert env.crud.calls == [call("update_sync_source", env.sessions.only.session, 7, None,
                                   default_scope=None, config_data=None,
                                   autoassign_scope_mapping=None)]
    assert result == Validated("SyncSourceReadV1", updated)
    env.assert_session_used()


@pytest.mark.parametrize("flag", [True, False, None])
def test_update_passes_every_field(fw, env, flag):
    run(fw.update_sync_source(7, "renamed", SCOPE, FolderConfig(path="/e"), flag))
    assert env.crud.calls == [call("update_sync_source", env.sessions.only.session, 7,
                                   "renamed", default_scope=SCOPE,
                                   config_data={"path": "/e", "retry": {"attempts": 3}},
                                   autoassign_scope_mapping=flag)]


def test_update_passes_a_dict_configuration_itself(fw, env):
    config = {"path": "/e", "extra": [1, 2]}
    run(fw.update_sync_source(7, config_data=config))
    assert dict(env.crud.calls[0].kwargs)["config_data"] is config


def test_update_looks_dataclasses_up_at_each_use(fw, env, monkeypatch):
    # is_dataclass and asdict each read `dataclasses` from the module when they run.
    converted = {"path": "/n"}
    later = types.SimpleNamespace(asdict=lambda obj: converted)

    def is_dataclass(obj):
        monkeypatch.setattr(fw, "dataclasses", later)
        return True

    monkeypatch.setattr(fw, "dataclasses",
                        types.SimpleNamespace(is_dataclass=is_dataclass, asdict=None))
    run(fw.update_sync_source(7, config_data=object()))
    assert dict(env.crud.calls[0].kwargs)["config_data"] is converted


class ConfigDict(dict):
    pass


@pytest.mark.parametrize("config, type_name", [
    (FolderConfig, "type"),  # a dataclass type is not converted
    ([("path", "/e")], "list"),
    ("path=/e", "str"),
    (ConfigDict(path="/e"), "ConfigDict"),
], ids=["dataclass-type", "list", "str", "dict-subclass"])
def test_update_rejects_a_configuration_that_is_no_dict(fw, env, config, type_name):
    with pytest.raises(TypeError) as info:
        run(fw.update_sync_source(7, config_data=config))
    assert str(info.value) == f"Expected dict, got {type_name}"
    env.assert_error_reached_session(info.value)
    assert env.crud.calls == []


@pytest.mark.parametrize("name, args", [
    ("_add_sync_source", ("lab", "folder", {})),
    ("update_sync_source", (7,)),
])
def test_data_layer_errors_pass_through_the_session(fw, env, name, args):
    method = "create_sync_source" if name == "_add_sync_source" else "update_sync_source"
    failure = ValueError("sync source name 'lab' is taken")
    env.crud.errors[method] = failure
    with pytest.raises(ValueError) as info:
        run(getattr(fw, name)(*args))
    assert info.value is failure
    env.assert_error_reached_session(failure)


# --- list_sync_source_definitions -----------------------------------------------------------

def test_definitions_describe_every_registered_connector(fw, env):
    env.registry.update({"folder": entry("ignored", FolderConfig, FolderSync),
                         "database": entry("ignored", DatabaseConfig, DatabaseSync)})

    result = fw.list_sync_source_definitions()

    assert env.get_sync_source_info.calls == [
        call("get_sync_source_info", "folder", FolderSync, FolderConfig),
        call("get_sync_source_info", "database", DatabaseSync, DatabaseConfig)]
    infos = env.models["ConnectorDefinition"].seen
    assert [i.info_for for i in infos] == ["folder", "database"]
    assert type(result) is list
    assert result == [Validated("ConnectorDefinition", i) for i in infos]
    assert env.sessions.contexts == []


def test_definitions_of_an_empty_registry(fw, env):
    result = fw.list_sync_source_definitions()
    assert result == [] and type(result) is list
    assert env.get_sync_source_info.calls == []


# --- against the host stand-ins -------------------------------------------------------------

def test_add_update_and_definitions_end_to_end(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))
    fw = load_feedwells()
    from vornal_api.app.schemas.sync.feedwells import SyncSourceReadV1
    from vornal_api.app.schemas.sync.sync_source_definition import ConnectorDefinition
    from vornal_sync_agent.connectors import FolderBaseConfigData, QCoDeSConfigData
    from vornal_sync_agent.crud import AlreadyExists

    added = run(fw.add_sync_source("runs", QCoDeSConfigData(path="/q", database="a.db"),
                                   str(SCOPE)))
    assert isinstance(added, SyncSourceReadV1)
    # The folder connector is registered first and its class is a base of the QCoDeS one.
    assert added.connector_identifier == "folder"
    assert added.config_data == {"path": "/q", "recursive": False, "database": "a.db"}
    assert added.default_scope == SCOPE
    with pytest.raises(AlreadyExists):
        run(fw.add_sync_source("runs", FolderBaseConfigData(path="/other")))
    with pytest.raises(TypeError, match="of type dict"):
        run(fw.add_sync_source("dict", {"path": "/d"}))
    assert [s.name for s in run(fw.list_feedwells())] == ["runs"]

    other = uuid.uuid4()
    updated = run(fw.update_sync_source(added.id, "renamed", other,
                                        FolderBaseConfigData(path="/r", recursive=True)))
    assert (updated.name, updated.default_scope, updated.config_data) == (
        "renamed", other, {"path": "/r", "recursive": True})
    # Fields left as None stay as they were.
    kept = run(fw.update_sync_source(added.id, config_data={"path": "/s"}))
    assert (kept.name, kept.default_scope, kept.config_data) == ("renamed", other, {"path": "/s"})
    with pytest.raises(TypeError, match="Expected dict, got type"):
        run(fw.update_sync_source(added.id, config_data=FolderBaseConfigData))
    assert run(fw.get_sync_source(added.id)).config_data == {"path": "/s"}

    definitions = fw.list_sync_source_definitions()
    assert all(isinstance(d, ConnectorDefinition) for d in definitions)
    assert [(d.identifier, d.config_class, d.has_owner) for d in definitions] == [
        ("folder", "FolderBaseConfigData", True), ("qcodes", "QCoDeSConfigData", False)]
