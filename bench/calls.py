"""Per-call cost of the built modules against two plain-Python equivalents measured in the same run.

Columns: the module; a lean Python body (annotations only, the argument converted where the
module converts it); and an equally strict Python body, with the module's argument rules and
messages written inline as a careful Python developer would. Coroutines are driven with
send(None), without an event loop, over two sets of stand-ins for the session context and the
data layer (see STAND_INS), and awaited inside an asyncio task; one case runs while a
sys.monitoring tool listens, which the others pay for only as a flag test.

`python3.14 bench/calls.py` prints the table; `bench/run.py` prints it together with the other
rows; `--marked N` runs every case N times between os.getppid() calls, the markers by which
bench/callgrind.py splits an instruction count into cases."""
import asyncio
import contextlib
import gc
import itertools
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


class ConnectorEntry:
    __slots__ = ("identifier", "config_class", "sync_class")

    def __init__(self, identifier):
        self.identifier, self.config_class, self.sync_class = identifier, dict, list


# A registry of 10 connectors handed out by a built-in callable, and a built-in that takes the
# three arguments of a description: no Python code runs inside the stand-ins.
CONNECTORS = {f"connector-{i}": ConnectorEntry(f"connector-{i}") for i in range(10)}
REGISTRY_STAND_INS = dict(get_sync_connectors=itertools.repeat(CONNECTORS).__next__, get_sync_source_info=slice,
                          ConnectorDefinition=ReadModel)

STAND_INS = {"coroutine stand-ins": (CoroutineSession, CoroutineCrud()),
             "completed futures": (FutureSession, FutureCrud())}


def install(session_context, crud):
    """Gives the module and the Python bodies below the same stand-ins."""
    for namespace in (feedwells.__dict__, globals()):
        namespace.update(get_db_session_context=session_context, crud_feedwells=crud, SyncSourceReadV1=ReadModel,
                         **REGISTRY_STAND_INS)


# ---- lean Python ----

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


def list_sync_source_definitions():
    infos = []
    for identifier, entry in get_sync_connectors().items():
        infos.append(get_sync_source_info(identifier, entry.sync_class, entry.config_class))
    return [ConnectorDefinition.model_validate(info) for info in infos]


# ---- equally strict Python: the module's argument rules and messages, inline ----

def _to_int(value, name):
    """The module's int rule for anything but an exact int: numbers convert, others are refused."""
    cls = type(value)
    if hasattr(cls, "__int__"):
        converted = cls.__int__(value)
    elif hasattr(cls, "__index__"):
        converted = cls.__index__(value)
    elif hasattr(cls, "__float__") or issubclass(cls, complex):
        converted = int(value)
    else:
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {cls.__name__})")
    if not isinstance(converted, int):
        raise TypeError(f"__int__ returned non-int (type {type(converted).__name__})")
    return converted


def _count_error(function, expected, given):
    return TypeError(f"{function}() takes exactly {expected} positional argument{'' if expected == 1 else 's'} "
                     f"({given} given)")


def strict_get_sync_source(*args, **kwargs):
    if len(args) == 1 and not kwargs:
        source_id = args[0]
    else:
        if len(args) > 1:
            raise _count_error("get_sync_source", 1, len(args))
        for key in kwargs:
            if key != "source_id":
                raise TypeError(f"get_sync_source() got an unexpected keyword argument '{key}'")
            if args:
                raise TypeError(f"get_sync_source() got multiple values for keyword argument '{key}'")
        if not args and not kwargs:
            raise _count_error("get_sync_source", 1, 0)
        source_id = args[0] if args else kwargs["source_id"]
    if type(source_id) is not int:
        source_id = _to_int(source_id, "source_id")
    return _get_sync_source(source_id)


def strict_list_feedwells(*args, **kwargs):
    if kwargs:
        raise TypeError("list_feedwells() takes no keyword arguments")
    if args:
        raise TypeError(f"list_feedwells() takes no arguments ({len(args)} given)")
    return list_feedwells()


def strict_list_sync_source_definitions(*args, **kwargs):
    if kwargs:
        raise TypeError("list_sync_source_definitions() takes no keyword arguments")
    if args:
        raise TypeError(f"list_sync_source_definitions() takes no arguments ({len(args)} given)")
    infos = []
    for identifier, entry in get_sync_connectors().items():
        infos.append(get_sync_source_info(identifier, entry.sync_class, entry.config_class))
    result = []
    for info in infos:
        result.append(ConnectorDefinition.model_validate(info))
    return result


# ---- the cases ----

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


def driven(function, *args):
    return lambda: drive(function(*args))


AWAITS_PER_TASK = 100


def awaited_in_a_task(function):
    """AWAITS_PER_TASK awaits of `function(3)` inside one asyncio task: the cost as an
    application sees it, with the event loop in the picture."""
    async def many():
        for _ in range(AWAITS_PER_TASK):
            await function(3)
    return lambda: _loop.run_until_complete(many())


class Case:
    """One row: the stand-ins it runs over, a call of each column, calls per timing, and how many
    calls one run of the callables stands for."""

    def __init__(self, name, stand_ins, module, lean, strict, number, calls_per_run=1, counted=True,
                 profiled=False):
        self.name, self.stand_ins, self.number, self.calls_per_run = name, stand_ins, number, calls_per_run
        self.columns = {"module": module, "lean": lean, "strict": strict}
        self.counted = counted  # whether bench/callgrind.py counts its instructions
        self.profiled = profiled  # whether a sys.monitoring tool listens while it runs


FUTURES, COROUTINES = "completed futures", "coroutine stand-ins"

CASES = [
    Case("get_sync_source(3), completed futures", FUTURES, driven(feedwells.get_sync_source, 3),
         driven(get_sync_source, 3), driven(strict_get_sync_source, 3), 20000),
    Case("get_sync_source(3), coroutine stand-ins", COROUTINES, driven(feedwells.get_sync_source, 3),
         driven(get_sync_source, 3), driven(strict_get_sync_source, 3), 20000),
    Case("get_sync_source(3) awaited in an asyncio task", COROUTINES, awaited_in_a_task(feedwells.get_sync_source),
         awaited_in_a_task(get_sync_source), awaited_in_a_task(strict_get_sync_source), 100, AWAITS_PER_TASK),
    # The other cases pay for monitoring only a flag test; this one pays for a listening tool.
    Case("get_sync_source(3), futures, profiler on", FUTURES, driven(feedwells.get_sync_source, 3),
         driven(get_sync_source, 3), driven(strict_get_sync_source, 3), 20000, counted=False, profiled=True),
    Case("list_feedwells() of 8, completed futures", FUTURES, driven(feedwells.list_feedwells),
         driven(list_feedwells), driven(strict_list_feedwells), 20000),
    Case("list_sync_source_definitions() of 10", FUTURES, feedwells.list_sync_source_definitions,
         list_sync_source_definitions, strict_list_sync_source_definitions, 20000),
    Case("argument error", FUTURES, lambda: argument_error(feedwells.get_sync_source),
         lambda: argument_error(get_sync_source), lambda: argument_error(strict_get_sync_source), 20000),
    Case("records of 1000 lines", FUTURES, lambda: sum(1 for _ in logs._iter_log_records(LOG_LINES)),
         lambda: sum(1 for _ in iter_log_records(LOG_LINES)), None, 200, counted=False),
]


@contextlib.contextmanager
def profiler_listening():
    """A sys.monitoring tool that counts every start, resumption, yield and return, as a profiler
    would listen to them."""
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
        yield
    finally:
        monitoring.set_events(tool, 0)
        monitoring.free_tool_id(tool)


def measure(case, rounds=28):
    """Nanoseconds per call of each column: the best of `rounds` short timings, the columns
    interleaved so that a burst of load on the machine hits all of them alike."""
    with profiler_listening() if case.profiled else contextlib.nullcontext():
        return measure_columns(case, rounds)


def measure_columns(case, rounds):
    install(*STAND_INS[case.stand_ins])
    columns = {name: call for name, call in case.columns.items() if call}
    best = dict.fromkeys(columns, float("inf"))
    number = max(1, case.number // 4)
    for _ in range(rounds):
        for name, call in columns.items():
            seconds = timeit.timeit(call, number=number)
            best[name] = min(best[name], seconds / (number * case.calls_per_run) * 1e9)
    return best


def ratio(ours, theirs):
    return f"{ours / theirs:7.2f}" if theirs else f"{'-':>7}"


HEADER = f"{'case':48} {'module':>9} {'lean py':>9} {'strict py':>9} {'/lean':>7} {'/strict':>7}"


def row(name, module, lean, strict=None, unit="ns"):
    strict_text = f"{strict:9.0f}" if strict else f"{'-':>9}"
    return f"{name:48} {module:9.0f} {lean:9.0f} {strict_text} {ratio(module, lean)} {ratio(module, strict)}  {unit}"


def run_marked(number):
    """Each column of each counted case `number` calls after as many uncounted ones, each run
    preceded by an os.getppid() call.
    The collector is off, so that no collection lands in one column's count only."""
    gc.disable()
    for case in CASES:
        if not case.counted:
            continue
        install(*STAND_INS[case.stand_ins])
        runs = max(1, number // case.calls_per_run)
        for call in case.columns.values():
            if call:
                os.getppid()
                for _ in range(runs):  # warm up (specialised bytecode, free lists) outside the count
                    call()
                os.getppid()
                for _ in range(runs):
                    call()
    os.getppid()


def main():
    if sys.argv[1:2] == ["--marked"]:
        run_marked(int(sys.argv[2]))
        return
    print(HEADER)
    for case in CASES:
        best = measure(case)
        print(row(case.name, best["module"], best["lean"], best.get("strict")))


if __name__ == "__main__":
    main()
