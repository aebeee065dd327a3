"""The main job: drives the built modules against the host stand-ins (a fresh SQLite store and a
temporary log directory) and prints what each step returns."""
import asyncio
import os
import sys
import tempfile
import uuid

_top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
                os.path.join(_top, "host")]

OPTICS_SCOPE = uuid.UUID("00000000-0000-4000-8000-00000000000a")


async def catalogue() -> None:
    from vornal_api.python_api.sync import feedwells
    from vornal_sync_agent.crud.feedwells import crud_feedwells
    from vornal_sync_agent.db import get_db_session_context

    async with get_db_session_context() as session:
        for name, connector in [("lab-notes", "folder"), ("cryostat", "qcodes")]:
            await crud_feedwells.create_sync_source(session, name, connector, {"path": f"/data/{name}"})

    print("sync sources:")
    for source in await feedwells.list_feedwells():
        print(f"  #{source.id} {source.name} ({source.connector_identifier}, {source.status.value})")
    first = await feedwells.get_sync_source(1)
    print("by id 1:", first.name)
    print("by name 'cryostat': id", (await feedwells.get_sync_source_by_name("cryostat")).id)
    await feedwells.delete_sync_source(first.id)
    print("after deleting #1:", [source.name for source in await feedwells.list_feedwells()])


async def add_and_run() -> int:
    from vornal_api.python_api.sync import feedwells
    from vornal_sync_agent.connectors import FolderBaseConfigData

    config = FolderBaseConfigData(path="/data/bench", recursive=True)
    source = await feedwells.add_sync_source("bench", config, default_scope=str(OPTICS_SCOPE))
    print(f"added #{source.id} {source.name}: connector {source.connector_identifier},"
          f" config {source.config_data}, default scope {source.default_scope}")
    print("started:", (await feedwells.start_sync_source(source.id)).status.value)
    print("stopped:", (await feedwells.stop_sync_source(source.id)).status.value)
    return source.id


async def ownership(source_id: int) -> None:
    from vornal_api.python_api.sync import feedwells

    os.environ.pop("VORNAL_USER_SUB", None)
    try:
        await feedwells.take_ownership(source_id)
    except Exception as error:
        print(f"take ownership, nobody logged in: {type(error).__name__}: {error}")
    os.environ["VORNAL_USER_SUB"] = "user-ada"
    print("owner after take_ownership:", (await feedwells.take_ownership(source_id)).owner)
    print("owner after release_ownership:", (await feedwells.release_ownership(source_id)).owner)
    cryostat = await feedwells.get_sync_source_by_name("cryostat")
    try:
        await feedwells.take_ownership(cryostat.id)
    except Exception as error:
        print(f"take ownership of {cryostat.name}: {type(error).__name__}: {error}")


async def seed(source_id: int) -> None:
    """Rows the sync agent would write while scanning: items with scope identifiers, and errors."""
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import SyncItem, SyncSourceErrorRecord

    async with get_db_session_context() as session:
        session.add_all([
            SyncItem(sync_source_id=source_id, scope_identifier="optics", data_identifier="run6.h5",
                     attempts=1, synchronized=True, sync_record=["uploaded run6.h5"]),
            SyncItem(sync_source_id=source_id, scope_identifier="optics", data_identifier="run7.h5",
                     attempts=2, sync_record=["permission denied: /data/bench/run7", "retry scheduled"]),
            SyncItem(sync_source_id=source_id, scope_identifier="optics", data_identifier="run8.h5",
                     attempts=1, sync_record=["upload timed out: run8.h5"]),
            SyncItem(sync_source_id=source_id, scope_identifier="magnets", data_identifier="sweep.h5"),
            SyncSourceErrorRecord(sync_source_id=source_id, message="permission denied: /data/bench/run7"),
            SyncSourceErrorRecord(sync_source_id=source_id, message="upload timed out: run8.h5"),
        ])


async def scope_mappings(source_id: int) -> None:
    from vornal_api.python_api.sync import feedwells

    print("unmapped scope identifiers:", await feedwells.get_unmapped_scope_identifiers(source_id))
    mapping = await feedwells.create_scope_mapping(source_id, "optics", OPTICS_SCOPE)
    print(f"mapped {mapping.scope_identifier!r} -> {mapping.scope_uuid}")
    print("unmapped scope identifiers now:", await feedwells.get_unmapped_scope_identifiers(source_id))


async def errors(source_id: int) -> None:
    from vornal_api.python_api.sync import feedwells

    unread = await feedwells.read_sync_source_errors(source_id, viewed=False)
    print("unread errors:", [f"[{e.id}] {e.message}" for e in unread])
    first = await feedwells.set_sync_source_error_viewed(unread[0].id, True)
    print(f"error [{first.id}] viewed: {first.viewed}")
    print("marked all viewed:", await feedwells.mark_all_sync_source_errors_viewed(source_id), "more")
    print("unread errors now:", len(await feedwells.read_sync_source_errors(source_id, viewed=False)))


async def reports(source_id: int, report_file: str) -> None:
    from vornal_api.python_api.sync import feedwells
    from vornal_client.remote.endpoints.bug_report import SENT_REPORTS

    report = await feedwells.generate_sync_source_report(source_id, "Uploads of bench keep failing.")
    print("generated report:\n  | " + report.rstrip("\n").replace("\n", "\n  | "))
    os.environ["VORNAL_BUG_REPORT_FILE"] = report_file
    await feedwells.report_sync_source(source_id, "Please have a look.")
    sent = SENT_REPORTS[-1]
    with open(report_file, encoding="utf-8") as f:
        lines = f.readlines()
    print(f"sent {len(SENT_REPORTS)} report: subject {sent.subject!r},"
          f" description starts {sent.description.splitlines()[0]!r}; file holds {len(lines)} line")


async def sync_items(source_id: int) -> None:
    from vornal_api.python_api.sync import lotlings
    from vornal_sync_agent.crud.lotlings import OrderDirection, SyncItemSortKey

    def show(item) -> str:
        return f"#{item.id} {item.data_identifier} ({item.status.value}, {item.attempts} attempts)"

    pending = await lotlings.list_lotlings(source_id, is_synchronized=False, scope_identifier="optics",
                                           order_by=SyncItemSortKey.ATTEMPTS,
                                           order_direction=OrderDirection.DESC, limit=1)
    print("unsynchronised optics items, most attempts first, page 1:", [show(i) for i in pending])
    rest = await lotlings.list_lotlings(source_id, is_synchronized=False, scope_identifier="optics",
                                        order_by=SyncItemSortKey.ATTEMPTS,
                                        order_direction=OrderDirection.DESC, offset=1, limit=1)
    print("page 2:", [show(i) for i in rest])
    print("search 'sweep':", [show(i) for i in await lotlings.list_lotlings(source_id, query="sweep")])
    item_id = rest[0].id
    await lotlings.prioritize_sync_item(item_id)
    item = await lotlings.get_sync_item(item_id)
    print(f"prioritised #{item.id}: has_priority {item.has_priority}, sync priority {item.sync_priority}")
    report = await lotlings.generate_sync_item_report(item_id, "run8 never uploads.")
    print("item report:\n  | " + report.rstrip("\n").replace("\n", "\n  | "))
    await lotlings.reset_sync_item(item_id)
    item = await lotlings.get_sync_item(item_id)
    print(f"after reset: {show(item)}, has_priority {item.has_priority}")


async def sync_sources(scratch: str) -> None:
    await catalogue()
    source_id = await add_and_run()
    await ownership(source_id)
    await seed(source_id)
    await scope_mappings(source_id)
    await errors(source_id)
    await reports(source_id, os.path.join(scratch, "bug_reports.jsonl"))
    await sync_items(source_id)


def service_logs(log_dir: str) -> None:
    from vornal_api.python_api.admin import logs

    current = os.path.join(log_dir, logs.API_LOG_FILE_NAME)
    with open(current + ".1", "w") as backup:
        backup.write("2026-12-10 09:00:00,000 INFO service started\n"
                     "2026-12-10 09:00:01,250 ERROR request failed\n"
                     "Traceback (most recent call last):\n")
    with open(current, "w") as fresh:
        fresh.write('  File "handler.py", line 3, in run\n'
                    "ValueError: bad request\n"
                    "2026-12-10 09:00:02,500 INFO request served\n")
    print("last two API log records, across the rotation:")
    for record in logs.get_recent_log_lines(logs.LogService.api, 2):
        print("  " + record.replace("\n", "\n  | "))


async def local_api_tokens(platform_url: str) -> None:
    from vornal_api.python_api.auth.local import keychits
    from vornal_client.local.database import get_db_session_context
    from vornal_client.local.model import Users

    os.environ["VORNAL_USER_SUB"] = "user-ada"
    os.environ["VORNAL_SERVER_URL"] = platform_url
    with get_db_session_context() as session:
        session.add(Users(username="user-ada", firstname="Ada", lastname="Lovelace"))

    created = await keychits.create_api_token()
    # The token itself is a secret: only its caller sees it, never the output.
    print(f"created API token {created.uid} named {created.name!r} on the loopback platform")
    for entry in await keychits.list_keychits():
        print(f"  stored for {entry.user_sub} ({entry.user_name}): {entry.api_key_name!r}, uid {entry.api_key_uid}")
    print("valid on the platform:", (await keychits.check_api_token(created.uid)).valid)
    await keychits.delete_api_token(created.uid)
    print("after deleting it, stored tokens:", await keychits.list_keychits())


def api_tokens(scratch: str) -> None:
    """Against the remote platform's token service, served on a free loopback port for the run."""
    from loopback_platform import PlatformServer

    os.environ["VORNAL_CLIENT_DB"] = os.path.join(scratch, "client.sqlite3")
    with PlatformServer() as platform:
        asyncio.run(local_api_tokens(platform.url))


DEMO_CONNECTOR = {
    "pyproject.toml": """\
[build-system]
requires = ["setuptools"]
build-backend = "setuptools.build_meta"

[project]
name = "vornal-demo-connector"
version = "1.0"

[project.entry-points."vornal_sync_agent.connectors"]
demo = "vornal_demo_connector:DemoSync"
""",
    "vornal_demo_connector/__init__.py": """\
from dataclasses import dataclass


@dataclass
class DemoConfigData:
    port: str = "/dev/ttyUSB0"


class DemoSync:
    name = "Demo instrument"
    config_class = DemoConfigData
    has_owner = False
""",
}


async def connector_packages(scratch: str) -> None:
    """A connector package built from a local directory and installed by pip into the service's
    own environment, listed, and uninstalled again."""
    from vornal_api.python_api.sync import connectors

    source = os.path.join(scratch, "demo-connector")
    for name, text in DEMO_CONNECTOR.items():
        os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
        with open(os.path.join(source, name), "w") as f:
            f.write(text)
    os.environ["VORNAL_SERVICE_ENV"] = os.path.join(scratch, "service-env")
    print("connectors:", [c.identifier for c in connectors.list_connectors()])
    await connectors.install_connector_from_local_path(source)
    print("installed vornal-demo-connector; connectors:",
          [f"{c.identifier} ({c.name})" for c in connectors.list_connectors()])
    await connectors.uninstall_connector("vornal-demo-connector")
    print("uninstalled; connectors:", [c.identifier for c in connectors.list_connectors()])
    try:
        await connectors.uninstall_connector("--all")
    except Exception as error:
        print(f"uninstall '--all': {type(error).__name__}: {error}")


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
        asyncio.run(sync_sources(scratch))
        service_logs(scratch)
        api_tokens(scratch)
        asyncio.run(connector_packages(scratch))


if __name__ == "__main__":
    main()
