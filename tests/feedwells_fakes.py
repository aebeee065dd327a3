"""Recording fakes for the outside names that the feedwells module looks up on every call.

`FeedwellsEnv` replaces every such name on the module object (session context, data-access
object, read models, exception classes, registries, settings, report helpers) and the status
enumeration in its home module; the fakes themselves are those of `recording_fakes`.
"""
import enum
import importlib
import types
from functools import partial

import pytest

import recording_fakes
from recording_fakes import (  # noqa: F401  (names the feedwells tests import from here)
    INT_RESULT_ERRORS, INT_RESULTS, TRUTH_VALUES, AsyncRecorder, BadTruth, FloatingText, Label, Record, Recorder,
    RecordingEnv, Validated, ValidationFailed, call, check_argument_error, entry, run)

MODULE_NAME = "vornal_api.python_api.sync.feedwells"
ENUMS_MODULE = "vornal_sync_agent.models.enums"

READ_MODELS = ("SyncSourceReadV1", "SyncSourceError", "SyncSourceScopeMappingRead",
               "ConnectorRead", "ConnectorDefinition")
ERROR_CLASSES = ("NoUserLoggedInError", "SyncSourceAlreadyRunningError",
                 "SyncSourceAlreadyStoppedError", "SyncSourceConnectorHasNoOwnerError")

# What the data layer gives when a test sets nothing else: counts and lists where it gives
# those, a fresh record elsewhere.
CRUD_DEFAULTS = {
    "reset_lotlings": 0, "mark_all_sync_source_errors_viewed": 0, "autoassign_scope_mappings": 0,
    "read_sync_source_errors": [], "list_feedwells": [], "get_unmapped_scope_identifiers": [],
}

check_interface = partial(recording_fakes.check_interface, module_name=MODULE_NAME)


def load_feedwells():
    # A plain import: a module that was not built must fail the tests, not skip them.
    return importlib.import_module(MODULE_NAME)


class FakeStatus(str, enum.Enum):
    IDLE = "idle"
    SCANNING = "scanning"
    SYNCING = "syncing"
    STOPPED = "stopped"


class FeedwellsEnv(RecordingEnv):
    """Installs a recording fake for every outside name of the module."""

    def __init__(self, module, monkeypatch):
        super().__init__(module, monkeypatch, READ_MODELS, CRUD_DEFAULTS)
        self.settings = types.SimpleNamespace(user_sub="user-1",
                                              server_url="https://platform.invalid")
        self.get_user_settings = Recorder("get_user_settings", self.events,
                                          compute=lambda: self.settings)
        self.sync_class = types.SimpleNamespace(has_owner=True)
        self.get_source_sync_class = Recorder("get_source_sync_class", self.events,
                                              compute=lambda *a, **k: self.sync_class)
        self.get_sync_source_info = Recorder(
            "get_sync_source_info", self.events,
            compute=lambda identifier, *rest: Record(info_for=identifier))

        replacements = {
            "get_db_session_context": self.sessions,
            "crud_feedwells": self.crud,
            "get_user_settings": self.get_user_settings,
            "get_source_sync_class": self.get_source_sync_class,
            "get_sync_source_info": self.get_sync_source_info,
            **self.report_fakes("REPORT_TEMPLATE_SYNC_SOURCE",
                                {"format_connector_info": "CONNECTOR INFO",
                                 "format_sync_source_errors": "ERROR LINES"}),
        }
        for name in ERROR_CLASSES:
            cls = type(name, (Exception,), {})
            setattr(self, name, cls)
            replacements[name] = cls
        self.install(replacements)
        enums = importlib.import_module(ENUMS_MODULE)
        monkeypatch.setattr(enums, "SyncSourceStatus", FakeStatus)


@pytest.fixture
def fw():
    return load_feedwells()


@pytest.fixture
def env(fw, monkeypatch):
    return FeedwellsEnv(fw, monkeypatch)
