"""Per-call cost of the built modules against plain-Python equivalents measured in the same run.

Prints, for each case, nanoseconds per call of both and their ratio (module / Python; below 1 is
faster). Coroutines are driven with send(None), without an event loop, over awaitables that
finish at once, so the figures show the modules' own overhead."""
import os
import sys
import timeit

_top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
                os.path.join(_top, "host")]

from vornal_api.python_api.admin import logs  # noqa: E402
from vornal_api.python_api.sync import feedwells  # noqa: E402


class Session:
    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return False


class Crud:
    async def read_sync_source(self, session, source_id):
        return source_id

    async def list_feedwells(self, session):
        return [1, 2, 3, 4, 5, 6, 7, 8]


class ReadModel:
    @staticmethod
    def model_validate(record):
        return record


feedwells.get_db_session_context = Session
feedwells.crud_feedwells = Crud()
feedwells.SyncSourceReadV1 = ReadModel


# The same bodies written in Python, with the same lookups of module-level names.
get_db_session_context = Session
crud_feedwells = Crud()
SyncSourceReadV1 = ReadModel


async def get_sync_source(source_id: int):
    if type(source_id) is not int:
        source_id = int(source_id)
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
    ("argument error", lambda: argument_error(feedwells.get_sync_source),
     lambda: argument_error(lambda value: drive(get_sync_source(value)))),
    ("records of 1000 lines", lambda: sum(1 for _ in logs._iter_log_records(LOG_LINES)),
     lambda: sum(1 for _ in iter_log_records(LOG_LINES))),
]


def best_ns(function, number):
    return min(timeit.repeat(function, number=number, repeat=7)) / number * 1e9


def main():
    print(f"{'case':28} {'module ns':>10} {'python ns':>10} {'ratio':>7}")
    for name, module_call, python_call in CASES:
        number = 200 if "1000" in name else 20000
        ours, theirs = best_ns(module_call, number), best_ns(python_call, number)
        print(f"{name:28} {ours:10.0f} {theirs:10.0f} {ours / theirs:7.2f}")


if __name__ == "__main__":
    main()
