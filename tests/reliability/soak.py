"""Soak run: the main job's workload in a loop for a fixed time against one SQLite store and one log
directory, with the process's resident memory and open file descriptors sampled as it goes. Both
must be flat after the warm-up. Exit status 0 when they are, 1 otherwise.

    python3.14 tests/reliability/soak.py SECONDS     (tools/sid tools/soak SECONDS builds first)
"""
import asyncio
import gc
import os
import statistics
import sys
import tempfile
import time
import uuid

_top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
                os.path.join(_top, "host")]

WARM_UP = 0.3           # share of the run before the baseline is taken
RSS_SLACK_KB = 4096     # growth of the resident set that still counts as flat
SCOPE = uuid.UUID("00000000-0000-4000-8000-00000000000a")


def resident_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


async def sync_sources(round_number):
    """Every step of the main job's sync-source part, on sources of this round, removed again."""
    from vornal_api.python_api.sync import feedwells
    from vornal_client.remote.endpoints.bug_report import SENT_REPORTS
    from vornal_sync_agent.connectors import FolderBaseConfigData
    from vornal_sync_agent.crud.feedwells import crud_feedwells
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import SyncItem, SyncSourceErrorRecord

    async with get_db_session_context() as session:
        await crud_feedwells.create_sync_source(session, f"notes-{round_number}", "folder", {"path": "/data"})
    await feedwells.list_feedwells()
    notes = await feedwells.get_sync_source_by_name(f"notes-{round_number}")
    await feedwells.get_sync_source(notes.id)

    config = FolderBaseConfigData(path="/data/bench", recursive=True)
    source = await feedwells.add_sync_source(f"bench-{round_number}", config, default_scope=str(SCOPE))
    await feedwells.start_sync_source(source.id)
    await feedwells.stop_sync_source(source.id)

    os.environ.pop("VORNAL_USER_SUB", None)
    try:
        await feedwells.take_ownership(source.id)
    except Exception:
        pass  # nobody logged in: refused
    os.environ["VORNAL_USER_SUB"] = "user-ada"
    await feedwells.take_ownership(source.id)
    await feedwells.release_ownership(source.id)

    async with get_db_session_context() as session:
        session.add_all([
            SyncItem(sync_source_id=source.id, scope_identifier="optics", attempts=1, synchronized=True),
            SyncItem(sync_source_id=source.id, scope_identifier="magnets"),
            SyncSourceErrorRecord(sync_source_id=source.id, message="permission denied"),
        ])
    await feedwells.get_unmapped_scope_identifiers(source.id)
    await feedwells.create_scope_mapping(source.id, "optics", SCOPE)
    unread = await feedwells.read_sync_source_errors(source.id, viewed=False)
    await feedwells.set_sync_source_error_viewed(unread[0].id, True)
    await feedwells.mark_all_sync_source_errors_viewed(source.id)
    await feedwells.generate_sync_source_report(source.id, "Uploads keep failing.")
    await feedwells.report_sync_source(source.id, "Please have a look.")
    SENT_REPORTS.clear()  # the stand-in keeps every report sent; the modules keep nothing

    await feedwells.delete_scope_mapping(source.id, "optics")
    await feedwells.reset_sync_source_lotlings(source.id, True)
    await feedwells.delete_sync_source(notes.id)
    await feedwells.delete_sync_source(source.id)


def service_logs(log_dir):
    """The log reader over a rotated log, read whole, as a tail, and dropped half-read."""
    from vornal_api.python_api.admin import logs

    current = os.path.join(log_dir, logs.API_LOG_FILE_NAME)
    logs.get_recent_log_lines(logs.LogService.api, 2)
    logs.get_recent_log_lines(logs.LogService.api, -1)
    lines = logs._iter_rotated_and_current(logs.Path(current))
    next(lines)
    del lines


def write_logs(log_dir):
    from vornal_api.python_api.admin import logs

    current = os.path.join(log_dir, logs.API_LOG_FILE_NAME)
    with open(current + ".1", "w") as backup:
        backup.write("2026-12-10 09:00:00,000 INFO service started\n"
                     "2026-12-10 09:00:01,250 ERROR request failed\nTraceback (most recent call last):\n")
    with open(current, "w") as fresh:
        fresh.write('  File "handler.py", line 3, in run\nValueError: bad request\n'
                    "2026-12-10 09:00:02,500 INFO request served\n")


async def soak(seconds, log_dir):
    samples = []  # (elapsed, resident kB, open descriptors)
    start = time.monotonic()
    round_number = 0
    while (elapsed := time.monotonic() - start) < seconds:
        await sync_sources(round_number)
        service_logs(log_dir)
        round_number += 1
        if not samples or elapsed - samples[-1][0] >= seconds / 40:
            gc.collect()
            samples.append((elapsed, resident_kb(), open_descriptors()))
    return round_number, samples


def flat(samples, seconds):
    """The resident set and the descriptors after the warm-up: no descriptor more than at the
    baseline, and the memory of the last quarter within the slack of the baseline's."""
    settled = [s for s in samples if s[0] >= seconds * WARM_UP]
    last = [s for s in settled if s[0] >= seconds * 0.75] or settled[-1:]
    baseline = statistics.median(s[1] for s in settled[:max(1, len(settled) // 4)])
    growth = statistics.median(s[1] for s in last) - baseline
    descriptors = {s[2] for s in settled}
    return growth <= RSS_SLACK_KB and len(descriptors) == 1, growth, descriptors


def main(seconds):
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
        os.environ["VORNAL_BUG_REPORT_FILE"] = os.devnull
        write_logs(scratch)
        rounds, samples = asyncio.run(soak(seconds, scratch))
    ok, growth, descriptors = flat(samples, seconds)
    print(f"soak: {rounds} rounds in {seconds} s; resident memory after warm-up grew {growth:.0f} kB "
          f"(allowed {RSS_SLACK_KB} kB); open descriptors after warm-up: {sorted(descriptors)}")
    for elapsed, rss, fds in samples:
        print(f"  {elapsed:7.1f} s  {rss:8d} kB  {fds:3d} fds")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 60))
