"""Run-status enumeration of sync sources."""
from enum import Enum


class SyncSourceStatus(str, Enum):
    IDLE = "idle"
    SCANNING = "scanning"
    SYNCING = "syncing"
    STOPPED = "stopped"


class SyncItemStatus(str, Enum):
    """Where a sync item stands, derived from its attempts and its synchronised flag."""
    PENDING = "pending"
    SYNCHRONIZED = "synchronized"
    FAILED = "failed"
