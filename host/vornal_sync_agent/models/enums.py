"""Run-status enumeration of sync sources."""
from enum import Enum


class SyncSourceStatus(str, Enum):
    IDLE = "idle"
    SCANNING = "scanning"
    SYNCING = "syncing"
    STOPPED = "stopped"
