"""Per-call cost of the built modules against plain-Python equivalents measured in the same run.

Prints, for each case, nanoseconds per call of both and their ratio (module / Python; below 1 is
faster). Coroutines are driven with send(None), without an event loop, over two sets of stand-ins
for the session context and the data layer (see STAND_INS); one case runs while a sys.monitoring
tool listens, which the other cases pay for only as a flag test."""
import asyncio
import operator
import os
import sys
import timeit

_top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
                os.path.join(_top, "host")]

from vornal_api.python_api.admin import logs  # noqa: E402
from vornal_api.python_api.sync import feedwells  # noqa: E402


_loop = asyncio.new_event_loop()


def done(value):
    future = _loop.create_future()
    future.set_result(value)
    return future


class CoroutineSession:
    """Stand-ins written as coroutines, as the real session context and data layer are."""

    async def __aenter__(self):
        return "session"

    async def __aexit__(self, exc_type, exc, traceback):
        return False


class CoroutineCrud:
    async def read_sync_source(self, session, source_id):
        return source_id

    async def list_feedwells(self, session):
        return list(range(8))


SESSION, NOT_SWALLOWED, RECORD, RECORDS = done("session"), done(False), done(3), done(list(range(8)))


class FutureSession:
    """Stand-ins that hand back completed futures: no Python code runs inside them, so what is
    measured is the facade itself."""

    def __aenter__(self):
        return SESSION

    def __aexit__(self, exc_type, exc, traceback):
        return NOT_SWALLOWED


class FutureCrud:
    def read_sync_source(self, session, source_id):
        return RECORD

    def list_feedwells(self, session):
        return RECORDS


class ReadModel:
    model_validate = staticmethod(str)


STAND_INS = {"coroutine stand-ins": (CoroutineSession, CoroutineCrud()),
             "completed futures": (FutureSession, FutureCrud())}


def install(session_context, crud):
    """Gives the module and the Python bodies below the same stand-ins."""
    for namespace in (feedwells.__dict__, globals()):
        namespace.update(get_db_session_context=session_context, crud_feedwells=crud,
                         SyncSourceReadV1=ReadModel)


def get_sync_source(source_id: int):
    # The argument is checked when the function is called, as the module does.
    if type(source_id) is not int:
        source_id = operator.index(source_id)
    return _get_sync_source(source_id)


async def _get_sync_source(source_id):
    async with get_db_session_context() as session:
        return SyncSourceReadV1.model_validate(await crud_feedwells.read_sync_source(session, source_id))


async def list_feedwells():
    async with get_db_session_context() as session:
        records = await crud_feedwells.list_feedwells(session)
        return [SyncSourceReadV1.model_validate(record) for record in records]


def drive(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the coroutine suspended")


def iter_log_records(raw_lines):
    buffer = []
    for raw in raw_lines:
        line = raw.rstrip("\n")
        if logs._RECORD_START.match(line) and buffer:
            yield "\n".join(buffer)
            buffer = [line]
        else:
            buffer.append(line)
    if buffer:
        yield "\n".join(buffer)


LOG_LINES = ["2026-12-10 09:00:00,000 INFO started\n", "  detail\n"] * 500


def argument_error(function):
    try:
        function("not a number")
    except TypeError:
        pass


CASES = [
    ("get_sync_source(3)", lambda: drive(feedwells.get_sync_source(3)), lambda: drive(get_sync_source(3))),
    ("list_feedwells() of 8", lambda: drive(feedwells.list_feedwells()), lambda: drive(list_feedwells())),
]

PLAIN_CASES = [
    ("argument error", lambda: argument_error(feedwells.get_sync_source), lambda: argument_error(get_sync_source)),
    ("records of 1000 lines", lambda: sum(1 for _ in logs._iter_log_records(LOG_LINES)),
     lambda: sum(1 for _ in iter_log_records(LOG_LINES))),
]


def best_ns(function, number):
    return min(timeit.repeat(function, number=number, repeat=7)) / number * 1e9


def report(name, module_call, python_call, number):
    ours, theirs = best_ns(module_call, number), best_ns(python_call, number)
    print(f"{name:48} {ours:10.0f} {theirs:10.0f} {ours / theirs:7.2f}")


def awaited_in_a_task(function, calls=100):
    """`calls` awaits of `function(3)` inside one asyncio task, per call: the cost as an
    application sees it, with the event loop in the picture."""
    async def many():
        for _ in range(calls):
            await function(3)
    return lambda: _loop.run_until_complete(many())


def under_a_monitoring_tool(run):
    """Runs `run` while a sys.monitoring tool counts every start, resumption, yield and return,
    as a profiler would listen to them."""
    monitoring = sys.monitoring
    tool = monitoring.PROFILER_ID
    events = (monitoring.events.PY_START, monitoring.events.PY_RESUME, monitoring.events.PY_YIELD,
              monitoring.events.PY_RETURN)
    counted = [0]

    def count(*_):
        counted[0] += 1

    monitoring.use_tool_id(tool, "benchmark counter")
    for event in events:
        monitoring.register_callback(tool, event, count)
    monitoring.set_events(tool, sum(events))
    try:
        run()
    finally:
        monitoring.set_events(tool, 0)
        monitoring.free_tool_id(tool)


def main():
    print(f"{'case':48} {'module ns':>10} {'python ns':>10} {'ratio':>7}")
    for stand_ins, (session_context, crud) in STAND_INS.items():
        install(session_context, crud)
        for name, module_call, python_call in CASES:
            report(f"{name}, {stand_ins}", module_call, python_call, 20000)
    name, module_call, python_call = CASES[0]
    under_a_monitoring_tool(lambda: report(f"{name}, completed futures, tool listening", module_call, python_call,
                                           20000))
    install(*STAND_INS["coroutine stand-ins"])
    ours, theirs = awaited_in_a_task(feedwells.get_sync_source), awaited_in_a_task(get_sync_source)
    report("get_sync_source(3) awaited in an asyncio task", lambda: ours() and None, lambda: theirs() and None, 200)
    report(*PLAIN_CASES[0], 20000)
    report(*PLAIN_CASES[1], 200)


if __name__ == "__main__":
    main()
