"""Recording fakes for the outside names that the lotlings module looks up on every call.

`LotlingsEnv` replaces every such name on the module object: the session context, both
data-access objects (`crud` is `crud_lotlings`, `sources` is `crud_feedwells`), the read
models, the connector registry, the report template and formatters, and the bug-report calls.
"""
import importlib
from functools import partial

import pytest

import recording_fakes
from recording_fakes import FakeCrud, RecordingEnv

MODULE_NAME = "vornal_api.python_api.sync.lotlings"
SOURCE_PATH = "src/vornal_api/python_api/sync/lotlings"
READ_MODELS = ("SyncItemReadSummaryV1", "SyncItemReadV1", "ConnectorRead")

check_interface = partial(recording_fakes.check_interface, module_name=MODULE_NAME)


def load_lotlings():
    # A plain import: a module that was not built must fail the tests, not skip them.
    return importlib.import_module(MODULE_NAME)


class LotlingsEnv(RecordingEnv):
    def __init__(self, module, monkeypatch):
        super().__init__(module, monkeypatch, READ_MODELS, {"list_lotlings": []})
        self.sources = FakeCrud(self.events)
        self.install({
            "get_db_session_context": self.sessions,
            "crud_lotlings": self.crud,
            "crud_feedwells": self.sources,
            **self.report_fakes("REPORT_TEMPLATE_SYNC_ITEM",
                                {"format_connector_info": "CONNECTOR INFO",
                                 "format_sync_record_logs": "LOG LINES"}),
        })


@pytest.fixture
def lot():
    return load_lotlings()


@pytest.fixture
def env(lot, monkeypatch):
    return LotlingsEnv(lot, monkeypatch)
