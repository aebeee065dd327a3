"""A small application over the installed interface, written as application code would be: it sets
up a folder sync source, runs it, maps its scopes, works through its errors, reports on it and
shows the tail of the service log. It uses every public function of every module, and type-checks
under `mypy --strict` against the modules' stubs.

Run it with the modules and the application's packages installed (the host stand-ins do):
`python examples/sync_console.py` works on a scratch store and log directory."""
import asyncio
import os
import tempfile
import uuid
from pathlib import Path

from vornal_api.app.exceptions.admin.logs_handler import LogFileNotFoundError
from vornal_api.app.exceptions.sync.sync_source_handler import SyncSourceAlreadyRunningError
from vornal_api.app.schemas.sync.feedwells import SyncSourceReadV1
from vornal_api.python_api.admin.logs import LogService, get_recent_log_lines
from vornal_api.python_api.sync.feedwells import (
    add_sync_source,
    autoassign_scope_mappings,
    create_scope_mapping,
    delete_scope_mapping,
    delete_sync_source,
    generate_sync_source_report,
    get_sync_source,
    get_sync_source_by_name,
    get_sync_source_error_report,
    get_unmapped_scope_identifiers,
    list_feedwells,
    list_sync_source_definitions,
    mark_all_sync_source_errors_viewed,
    read_sync_source_errors,
    release_ownership,
    report_sync_source,
    reset_sync_source_lotlings,
    set_sync_source_error_viewed,
    start_sync_source,
    stop_sync_source,
    take_ownership,
    update_scope_mapping,
    update_sync_source,
)
from vornal_sync_agent.connectors import FolderBaseConfigData

OPTICS = uuid.UUID("00000000-0000-4000-8000-00000000000a")
OPTICS_LAB = uuid.UUID("00000000-0000-4000-8000-00000000000b")


def describe(source: SyncSourceReadV1) -> str:
    return f"#{source.id} {source.name} [{source.connector_identifier}, {source.status}, owner {source.owner}]"


async def set_up(path: str) -> SyncSourceReadV1:
    for definition in list_sync_source_definitions():
        print(f"connector {definition.identifier}: {definition.config_class}")
    source = await add_sync_source("bench", FolderBaseConfigData(path=path), default_scope=str(OPTICS))
    renamed: SyncSourceReadV1 = await update_sync_source(source.id, name="bench-data", config_data={"path": path})
    same = await get_sync_source_by_name(renamed.name)
    print("set up", describe(await get_sync_source(same.id)))
    return renamed


async def run(source_id: int) -> None:
    os.environ["VORNAL_USER_SUB"] = "user-ada"
    print("owned:", describe(await take_ownership(source_id)))
    print("started:", describe(await start_sync_source(source_id)))
    try:
        await start_sync_source(source_id)
    except SyncSourceAlreadyRunningError as error:
        print("second start refused:", error)
    print("stopped:", describe(await stop_sync_source(source_id)))
    print("released:", describe(await release_ownership(source_id)))
    reset: int = await reset_sync_source_lotlings(source_id, include_successful=True)
    print(f"{reset} items reset")


async def map_scopes(source_id: int) -> None:
    unmapped: list[str] = await get_unmapped_scope_identifiers(source_id)
    print("unmapped scope identifiers:", unmapped)
    mapping = await create_scope_mapping(source_id, "optics", OPTICS)
    mapping = await update_scope_mapping(source_id, mapping.scope_identifier, OPTICS_LAB)
    print(f"{mapping.scope_identifier} -> {mapping.scope_uuid}")
    await delete_scope_mapping(source_id, mapping.scope_identifier)
    print(await autoassign_scope_mappings(source_id), "mappings assigned by scope name")


async def review_errors(source_id: int) -> None:
    unread = await read_sync_source_errors(source_id, skip=0, limit=10, viewed=False)
    if unread:
        first = await set_sync_source_error_viewed(unread[0].id, True)
        print(f"error {first.id} viewed: {first.message}")
    print(await mark_all_sync_source_errors_viewed(source_id), "errors marked viewed")


async def report(source_id: int) -> None:
    text: str = await generate_sync_source_report(source_id, "Uploads keep failing.")
    errors_only: str = await get_sync_source_error_report(source_id, "Errors so far.")
    print(f"report of {len(text.splitlines())} lines, error report of {len(errors_only.splitlines())}")
    await report_sync_source(source_id, "Please have a look.")


async def manage(path: str) -> None:
    source = await set_up(path)
    await run(source.id)
    await map_scopes(source.id)
    await review_errors(source.id)
    await report(source.id)
    for listed in await list_feedwells():
        print("listed", describe(listed))
    await delete_sync_source(source.id)


def show_log_tail(log_dir: Path) -> None:
    (log_dir / "vornal_api.log").write_text("2026-12-10 09:00:00,000 INFO service started\n")
    for record in get_recent_log_lines(LogService.api, 10):
        print("api log:", record)
    try:
        get_recent_log_lines(LogService.sync_agent, 10)
    except LogFileNotFoundError as error:
        print("sync agent log:", error)


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
        asyncio.run(manage(os.path.join(scratch, "bench")))
        show_log_tail(Path(scratch))


if __name__ == "__main__":
    main()
