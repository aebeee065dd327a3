"""Connector registry with two small connectors; `QCoDeSConfigData` subclasses `FolderBaseConfigData`.

The folder connector comes first, so inference by isinstance puts a QCoDeSConfigData under "folder".
"""
from dataclasses import dataclass


@dataclass
class FolderBaseConfigData:
    path: str
    recursive: bool = False


@dataclass
class QCoDeSConfigData(FolderBaseConfigData):
    database: str = "experiments.db"


class FolderBaseSync:
    has_owner = True


class QCoDeSSync:
    has_owner = False


@dataclass(frozen=True)
class ConnectorEntry:
    identifier: str
    name: str
    config_class: type
    sync_class: type


SYNC_CONNECTORS = {
    "folder": ConnectorEntry("folder", "Folder", FolderBaseConfigData, FolderBaseSync),
    "qcodes": ConnectorEntry("qcodes", "QCoDeS database", QCoDeSConfigData, QCoDeSSync),
}


def get_sync_connectors() -> dict:
    """The registry: connector identifier -> entry, in registration order."""
    return SYNC_CONNECTORS


def get_source_sync_class(identifier: str) -> type:
    entry = SYNC_CONNECTORS.get(identifier)
    if entry is None:
        raise KeyError(f"unknown sync connector {identifier!r}")
    return entry.sync_class
