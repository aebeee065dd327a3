"""The main job: drives the built modules against the host stand-ins (a fresh SQLite store and a
temporary log directory) and prints what each step returns."""
import asyncio
import os
import sys
import tempfile

_top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
                os.path.join(_top, "host")]


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


def main() -> None:
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
        asyncio.run(catalogue())
        service_logs(scratch)


if __name__ == "__main__":
    main()
