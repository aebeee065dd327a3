"""Sync-source errors; the run-state errors are built from the source id."""


class SyncSourceAlreadyRunningError(Exception):
    def __init__(self, source_id: int):
        self.source_id = source_id
        super().__init__(f"Sync source {source_id} is already running.")


class SyncSourceAlreadyStoppedError(Exception):
    def __init__(self, source_id: int):
        self.source_id = source_id
        super().__init__(f"Sync source {source_id} is already stopped.")


class SyncSourceConnectorHasNoOwnerError(Exception):
    pass
