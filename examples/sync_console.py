"""A small application over the installed interface, written as application code would be: it sets
up a folder sync source, works through the items a scan recorded, runs it, maps its scopes,
reviews its errors and reports on it; it creates, checks and deletes the user's local API token on
the platform; it installs, updates and removes a connector and a converter package built from a
local directory; and it shows the tail of the service log. It uses every public function of every
module, and type-checks under `mypy --strict` against the modules' stubs.

Run it with the modules and the application's packages installed (the host stand-ins do):
`python examples/sync_console.py` works on scratch stores, log directory and service environment,
against a platform served on the loopback interface for the run."""
import asyncio
import os
import tempfile
import textwrap
import uuid
from pathlib import Path

from loopback_platform import PlatformServer
from vornal_api.app.exceptions.admin.logs_handler import LogFileNotFoundError
from vornal_api.app.exceptions.auth.local.keychits_handler import TokenNotFoundError, UserAlreadyHasTokenError
from vornal_api.app.exceptions.sync.connectors_handler import ConnectorInstallError, ConnectorUpdateError
from vornal_api.app.exceptions.sync.converters_handler import ConverterInstallError, ConverterUpdateError
from vornal_api.app.exceptions.sync.sync_source_handler import SyncSourceAlreadyRunningError
from vornal_api.app.schemas.sync.feedwells import SyncSourceReadV1
from vornal_api.app.schemas.sync.lotlings import SyncItemReadSummaryV1
from vornal_api.python_api.admin.logs import LogService, get_recent_log_lines
from vornal_api.python_api.auth.local.keychits import (
    check_api_token,
    create_api_token,
    delete_api_token,
    list_keychits,
)
from vornal_api.python_api.sync.connectors import (
    install_connector_from_local_path,
    install_connector_from_pypi,
    list_connectors,
    uninstall_connector,
    update_connector_from_local_path,
    update_connector_from_pypi,
)
from vornal_api.python_api.sync.converters import (
    install_converter_from_local_path,
    install_converter_from_pypi,
    list_converters,
    uninstall_converter,
    update_converter_from_local_path,
    update_converter_from_pypi,
)
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
from vornal_api.python_api.sync.lotlings import (
    generate_sync_item_report,
    get_sync_item,
    get_sync_item_error_report,
    list_lotlings,
    prioritize_sync_item,
    report_sync_item,
    reset_sync_item,
)
from vornal_client.local.database import get_db_session_context as client_session
from vornal_client.local.model import Users
from vornal_sync_agent.connectors import FolderBaseConfigData
from vornal_sync_agent.crud.lotlings import OrderDirection, SyncItemSortKey
from vornal_sync_agent.db import get_db_session_context as agent_session
from vornal_sync_agent.models import SyncItem, SyncSourceErrorRecord

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


async def record_scan(source_id: int) -> None:
    """What the sync agent writes while it scans the folder: an item per dataset, and the errors."""
    async with agent_session() as session:
        session.add_all([
            SyncItem(sync_source_id=source_id, scope_identifier="optics", data_identifier="run6.h5",
                     attempts=1, synchronized=True, sync_record=["uploaded run6.h5"]),
            SyncItem(sync_source_id=source_id, scope_identifier="optics", data_identifier="run7.h5",
                     attempts=2, sync_record=["permission denied: run7.h5", "retry scheduled"]),
            SyncItem(sync_source_id=source_id, scope_identifier="optics", data_identifier="run8.h5",
                     attempts=1, sync_record=["upload timed out: run8.h5"]),
            SyncItem(sync_source_id=source_id, scope_identifier="magnets", data_identifier="sweep.h5"),
            SyncSourceErrorRecord(sync_source_id=source_id, message="permission denied: run7.h5"),
        ])


def line(item: SyncItemReadSummaryV1) -> str:
    return f"#{item.id} {item.data_identifier} ({item.status.value}, {item.attempts} attempts)"


async def work_through_items(source_id: int) -> None:
    """Pages through the failed optics items, most attempts first; pushes one to the front of the
    queue, reports on it and gives it a fresh start."""
    pages: list[list[SyncItemReadSummaryV1]] = []
    while not pages or len(pages[-1]) == 2:
        pages.append(await list_lotlings(source_id, is_synchronized=False, scope_identifier="optics",
                                         order_by=SyncItemSortKey.ATTEMPTS, order_direction=OrderDirection.DESC,
                                         offset=2 * len(pages), limit=2))
    failed = [item for page in pages for item in page]
    print("failed optics items:", [line(item) for item in failed])
    print("search 'sweep':", [line(item) for item in await list_lotlings(source_id, query="sweep")])
    stuck = failed[0].id
    await prioritize_sync_item(stuck)
    prioritised = await list_lotlings(source_id, has_priority=True)
    print("prioritised:", [line(item) for item in prioritised])
    item = await get_sync_item(stuck)
    print(f"#{item.id} record: {item.sync_record}")
    text: str = await generate_sync_item_report(stuck, f"{item.data_identifier} never uploads.")
    errors_only: str = await get_sync_item_error_report(stuck, "Errors so far.")
    print(f"item report of {len(text.splitlines())} lines, error report of {len(errors_only.splitlines())}")
    await report_sync_item(stuck, "Please have a look.")
    await reset_sync_item(stuck)
    print("after reset:", line(await get_sync_item(stuck)))


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
    await record_scan(source.id)
    await work_through_items(source.id)
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


async def manage_token(platform_url: str) -> None:
    """The logged-in user's API token for the platform: created, listed, checked and deleted."""
    os.environ["VORNAL_USER_SUB"] = "user-ada"
    os.environ["VORNAL_SERVER_URL"] = platform_url
    with client_session() as session:  # the user's login stored this row
        session.merge(Users(username="user-ada", firstname="Ada", lastname="Lovelace"))
    created = await create_api_token()
    # The token itself is a secret for its caller to keep; only its name and uid are shown.
    print(f"token {created.uid} named {created.name!r} for {created.server_url}")
    try:
        await create_api_token("second")
    except UserAlreadyHasTokenError as error:
        print("second token refused:", error)
    for entry in await list_keychits():
        print(f"stored for {entry.user_name}: {entry.api_key_name!r}, uid {entry.api_key_uid}")
    print("valid on the platform:", (await check_api_token(created.uid)).valid)
    await delete_api_token(created.uid)
    try:
        await check_api_token(created.uid)
    except TokenNotFoundError as error:
        print("after deleting it:", error)


PLUGIN_PACKAGE = """\
[build-system]
requires = ["setuptools"]
build-backend = "setuptools.build_meta"

[project]
name = "{distribution}"
version = "{version}"

[project.entry-points."vornal_sync_agent.{kind}"]
{distribution} = "{module}:Plugin"
"""

PLUGIN_MODULE = """\
class Config:
    port: str = "/dev/ttyUSB0"


class Plugin:
    name = "{title}"
    config_class = Config
"""


def write_plugin(directory: Path, kind: str, version: str) -> str:
    """A plug-in package source for the entry-point group of `kind`; returns the distribution name."""
    distribution = f"bench-{kind[:-1]}"
    module = distribution.replace("-", "_")
    (directory / module).mkdir(parents=True, exist_ok=True)
    (directory / module / "__init__.py").write_text(PLUGIN_MODULE.format(title=f"Bench {kind[:-1]} {version}"))
    (directory / "pyproject.toml").write_text(
        PLUGIN_PACKAGE.format(distribution=distribution, version=version, kind=kind, module=module))
    return distribution


async def manage_connector(source: Path) -> None:
    def names() -> list[str]:
        return [f"{c.identifier} ({c.name})" for c in list_connectors()]

    distribution = write_plugin(source, "connectors", "1.0")
    await install_connector_from_local_path(str(source))
    print("connectors after install:", names())
    write_plugin(source, "connectors", "1.1")
    await update_connector_from_local_path(str(source))
    print("connectors after update:", names())
    try:  # there is no package index to reach here
        await install_connector_from_pypi(distribution, version="2.0")
    except ConnectorInstallError as error:
        print(textwrap.shorten(str(error), 100))
    try:
        await update_connector_from_pypi(distribution)
    except ConnectorUpdateError as error:
        print(textwrap.shorten(str(error), 100))
    else:
        print(f"{distribution} is up to date")
    await uninstall_connector(distribution)
    print("connectors after uninstall:", names())


async def manage_converter(source: Path) -> None:
    def names() -> list[str]:
        return [f"{c.identifier} ({c.name})" for c in list_converters()]

    distribution = write_plugin(source, "converters", "1.0")
    await install_converter_from_local_path(str(source))
    print("converters after install:", names())
    write_plugin(source, "converters", "1.1")
    await update_converter_from_local_path(str(source))
    print("converters after update:", names())
    try:  # the installed version satisfies the request, so pip needs no index for it
        await install_converter_from_pypi(distribution, index_url=None)
    except ConverterInstallError as error:
        print(textwrap.shorten(str(error), 100))
    else:
        print(f"{distribution} is installed already")
    try:
        await update_converter_from_pypi(distribution)
    except ConverterUpdateError as error:
        print(textwrap.shorten(str(error), 100))
    else:
        print(f"{distribution} is up to date")
    await uninstall_converter(distribution)
    print("converters after uninstall:", names())


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_CLIENT_DB"] = os.path.join(scratch, "client.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
        os.environ["VORNAL_BUG_REPORT_FILE"] = os.path.join(scratch, "bug_reports.jsonl")
        os.environ["VORNAL_SERVICE_ENV"] = os.path.join(scratch, "service-env")
        asyncio.run(manage(os.path.join(scratch, "bench")))
        with PlatformServer() as platform:
            asyncio.run(manage_token(platform.url))
        asyncio.run(manage_connector(Path(scratch, "connector")))
        asyncio.run(manage_converter(Path(scratch, "converter")))
        show_log_tail(Path(scratch))


if __name__ == "__main__":
    main()
