"""Monitoring tools see the modules' functions: sys.monitoring events for each start, resumption,
yield, return, raise and unwind, with the function's code object; cProfile counts the calls and
attributes the callees' time; setprofile-based profilers keep working."""
import cProfile
import profile
import pstats
import sys

import pytest

from fakes import SOURCE_PATH, drive, env, feedwells  # noqa: F401  (fixtures)

MONITORING = sys.monitoring
EVENTS = {
    "start": MONITORING.events.PY_START,
    "resume": MONITORING.events.PY_RESUME,
    "throw": MONITORING.events.PY_THROW,
    "yield": MONITORING.events.PY_YIELD,
    "return": MONITORING.events.PY_RETURN,
    "raise": MONITORING.events.RAISE,
    "unwind": MONITORING.events.PY_UNWIND,
}
TOOL = 4


@pytest.fixture
def seen():
    """Registers a tool that records (event, function name) for code of the modules."""
    events = []
    MONITORING.use_tool_id(TOOL, "event counter")

    def recorder(name):
        def record(code, *_):
            if code.co_filename.startswith("src/vornal_api/"):
                events.append((name, code.co_name, code.co_firstlineno))
        return record

    for name, event in EVENTS.items():
        MONITORING.register_callback(TOOL, event, recorder(name))
    MONITORING.set_events(TOOL, sum(EVENTS.values()))
    yield events
    MONITORING.set_events(TOOL, 0)
    MONITORING.free_tool_id(TOOL)


def logs_module():
    from vornal_api.python_api.admin import logs
    return logs


def kinds(events, name):
    return [event for event, function, _ in events if function == name]


def test_coroutine_reports_each_passage(feedwells, env, seen):
    env.crud.pause = lambda: env.suspend(yields=("first", "second"))
    assert drive(feedwells.get_sync_source(3)).record is env.crud.results["read_sync_source"]
    assert kinds(seen, "get_sync_source") == ["start", "yield", "resume", "yield", "resume", "return"]
    first_line = feedwells.get_sync_source.__code__.co_firstlineno
    assert {line for _, name, line in seen if name == "get_sync_source"} == {first_line}


def test_coroutine_reports_throw_and_unwind(feedwells, env, seen):
    env.crud.pause = lambda: env.suspend()
    coroutine = feedwells.get_sync_source(3)
    coroutine.send(None)
    with pytest.raises(ValueError):
        coroutine.throw(ValueError("stop"))
    assert kinds(seen, "get_sync_source") == ["start", "yield", "throw", "raise", "unwind"]


@pytest.mark.parametrize("name, call, expected", [
    ("_iter_log_records", lambda logs: list(logs._iter_log_records(iter(["a", "b"]))),
     ["start", "yield", "resume", "return"]),
    ("get_recent_log_lines", lambda logs: logs.get_recent_log_lines(logs.LogService.api, 0), ["start", "return"]),
    ("get_recent_log_lines", lambda logs: logs.get_recent_log_lines("no such service", 1), ["start", "raise", "unwind"]),
], ids=["generator", "plain", "plain raising"])
def test_generators_and_plain_functions_report_each_passage(name, call, expected, seen, tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_LOG_DIR", str(tmp_path))
    (tmp_path / "vornal_api.log").write_text("")
    try:
        call(logs_module())
    except KeyError:
        pass
    assert kinds(seen, name) == expected


def test_nothing_is_reported_for_calls_that_do_not_run(feedwells, env, seen):
    with pytest.raises(TypeError):
        feedwells.get_sync_source(3).send("not None")
    with pytest.raises(TypeError):
        feedwells.get_sync_source("3")
    assert seen == []
    finished = feedwells.get_sync_source(3)
    drive(finished)
    seen.clear()
    with pytest.raises(RuntimeError):
        finished.send(None)
    assert seen == []


@pytest.fixture
def refusing_tool():
    def refuse(code, offset):
        if code.co_filename.startswith("src/vornal_api/"):
            raise LookupError("tool refused")

    MONITORING.use_tool_id(TOOL, "refusing tool")
    MONITORING.register_callback(TOOL, MONITORING.events.PY_START, refuse)
    MONITORING.set_events(TOOL, MONITORING.events.PY_START)
    yield
    MONITORING.set_events(TOOL, 0)
    MONITORING.free_tool_id(TOOL)


def test_an_error_raised_by_a_tool_propagates_and_the_body_does_not_run(feedwells, env, monkeypatch,
                                                                         refusing_tool):
    monkeypatch.setattr(feedwells, "get_sync_connectors", lambda: env.events.append("connectors") or {})
    with pytest.raises(LookupError, match="tool refused"):
        feedwells.list_sync_source_definitions()
    coroutine = feedwells.get_sync_source(3)
    with pytest.raises(LookupError, match="tool refused"):
        coroutine.send(None)
    assert coroutine.cr_running is False and coroutine.cr_frame is not None  # as it was
    coroutine.close()
    assert env.events == []


def profiled_job(feedwells, env):
    """Three reads, each suspending once in the data layer, and a listing; run with `drive`."""
    env.crud.pause = lambda: env.suspend(yields=("tick",))

    async def job():
        for source_id in range(3):
            await feedwells.get_sync_source(source_id)
        return feedwells.list_sync_source_definitions()

    return job()


def test_cprofile_counts_calls_and_attributes_callees(feedwells, env):
    profiler = cProfile.Profile()
    profiler.runcall(drive, profiled_job(feedwells, env))
    stats = pstats.Stats(profiler).stats
    ours = {key[2]: key for key in stats if key[0] == SOURCE_PATH}
    get_key = ours["get_sync_source"]
    assert get_key[1] == feedwells.get_sync_source.__code__.co_firstlineno
    # Each of the three calls starts once and resumes once after the data layer's tick.
    assert stats[get_key][1] == 6
    callees = {key[2] for key, value in stats.items() if get_key in value[4]}
    assert {"__call__", "read_sync_source", "model_validate"} <= callees
    assert stats[ours["list_sync_source_definitions"]][1] == 1


def test_setprofile_based_profiler_keeps_working(feedwells, env):
    profiler = profile.Profile()
    profiler.runcall(drive, profiled_job(feedwells, env))
    assert any(key[2] == "read_sync_source" for key in pstats.Stats(profiler).stats)
