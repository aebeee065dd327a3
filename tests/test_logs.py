"""Tests of the service log reader `vornal_api.python_api.admin.logs`.

Real log files are written under `tmp_path`; the module is pointed at that
directory by replacing its `get_log_dir` (every outside name is looked up when
a call runs) or, in one test, through the client settings' VORNAL_LOG_DIR.
"""
import collections
import enum
import gc
import importlib
import inspect
import io
import math
import os
import re
import sys
import typing
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

MODULE = "vornal_api.python_api.admin.logs"

TS = "2024-05-06 07:08:09,123 "
A = TS + "INFO first"
B = TS + "WARNING second"
C = TS + "ERROR third"

OPEN_ARGS = (("r",), {"encoding": "utf-8", "errors": "replace"})


def write(path, data):
    """Writes text as UTF-8 bytes, unchanged (no newline translation)."""
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))


def record(i):
    return f"{TS}INFO record {i}\n  detail {i}"


@pytest.fixture(scope="module")
def logs():
    return importlib.import_module(MODULE)


@pytest.fixture
def log_dir(logs, tmp_path, monkeypatch):
    """An empty log directory that the module reads from."""
    monkeypatch.setattr(logs, "get_log_dir", lambda: str(tmp_path))
    return tmp_path


@pytest.fixture
def api_files(logs, log_dir):
    """(current, backup) paths of the API service's log, neither created yet."""
    current = log_dir / logs.API_LOG_FILE_NAME
    return current, log_dir / (current.name + ".1")


@pytest.fixture
def no_log_dir(logs, monkeypatch):
    """Makes any lookup of the log directory fail the test: the body must not run."""
    def fail():
        raise AssertionError("get_log_dir called")
    monkeypatch.setattr(logs, "get_log_dir", fail)


# --- load-time namespace -----------------------------------------------------

LOAD_ORDER = [
    "re", "deque", "Enum", "Path", "Iterator", "List", "API_LOG_FILE_NAME",
    "LogFileNotFoundError", "get_log_dir", "SYNC_AGENT_LOG_FILE_NAME", "LogService",
    "_LOG_FILE_NAMES", "_RECORD_START",
]
FUNCTIONS = ["get_recent_log_lines", "_iter_rotated_and_current", "_iter_log_records"]


def test_names_are_bound_in_load_order(logs):
    keys = list(vars(logs))
    positions = [keys.index(name) for name in LOAD_ORDER]
    assert positions == sorted(positions)
    last_statement = max(keys.index(name) for name in LOAD_ORDER + FUNCTIONS)
    assert keys.index("__test__") > last_statement
    assert type(logs.__test__) is dict and logs.__test__ == {}


def test_outside_names_are_the_imported_objects(logs):
    import vornal_api
    import vornal_sync_agent
    from vornal_api.app.exceptions.admin import logs_handler
    from vornal_client.settings import folders

    assert logs.re is re
    assert logs.deque is collections.deque
    assert logs.Enum is enum.Enum
    assert logs.Path is Path
    assert logs.Iterator is typing.Iterator
    assert logs.List is typing.List
    assert logs.API_LOG_FILE_NAME is vornal_api.LOG_FILE_NAME
    assert logs.SYNC_AGENT_LOG_FILE_NAME is vornal_sync_agent.LOG_FILE_NAME
    assert logs.LogFileNotFoundError is logs_handler.LogFileNotFoundError
    assert logs.get_log_dir is folders.get_log_dir


def test_log_service_enumeration_and_file_map(logs):
    service = logs.LogService
    assert service.__name__ == "LogService"
    assert service.__bases__ == (str, enum.Enum)
    assert [(m.name, m.value) for m in service] == [("api", "api"), ("sync_agent", "sync_agent")]
    assert isinstance(service.api, str) and service.api == "api"
    assert service.sync_agent == "sync_agent"
    assert service("sync_agent") is service.sync_agent

    names = logs._LOG_FILE_NAMES
    assert type(names) is dict
    assert [type(key) for key in names] == [service, service]
    assert list(names) == [service.api, service.sync_agent]
    assert names[service.api] is logs.API_LOG_FILE_NAME
    assert names[service.sync_agent] is logs.SYNC_AGENT_LOG_FILE_NAME


def test_record_start_pattern(logs):
    pattern = logs._RECORD_START
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} "
    assert pattern.flags == re.UNICODE


DOCSTRINGS = {
    "get_recent_log_lines": [
        "get_recent_log_lines(service: LogService, int n: int) -> List[str]",
        "",
        "Return the most recent `n` log records from the given service's rotating log file.",
        "",
        "Each element of the returned list is one logical log record. Multi-line payloads",
        "(e.g. stack traces) are returned as a single string with embedded `\\n`, so `n` always",
        "counts records, not physical lines \u2014 a request for the last 500 records will never slice",
        "mid-stack-trace.",
        "",
        "Reads across rotation: if the backup file (`.log.1`) exists, its contents are joined with",
        "the current file so results are continuous across the 10 MB boundary.",
        "",
        "Args:",
        "    service: Which service's log to read.",
        "    n: Number of tail records to return. Pass a negative value to get everything",
        "       available (current file plus backup). Zero returns an empty list.",
        "",
        "Raises:",
        "    LogFileNotFoundError: If the current log file does not exist (e.g. the service has not",
        "        yet run or logged anything since the shared data dir was reset).",
    ],
    "_iter_rotated_and_current": [
        "_iter_rotated_and_current(current: Path) -> Iterator[str]",
        "",
        "Yield raw lines from the previous-rotation file (`.log.1`) first, then the current file.",
        "",
        "Preserves chronological order across a rotation: `.log.1` holds the older entries,",
        "`.log` holds the newer ones. Without this, a caller asking for the tail right after a",
        "rotation would only see the handful of lines written since the fresh file was opened.",
    ],
    "_iter_log_records": [
        "_iter_log_records(raw_lines: Iterator[str]) -> Iterator[str]",
        "",
        "Group physical lines into logical log records.",
        "",
        "A record starts at a line matching `_RECORD_START`. Any following lines that don't match",
        "(stack trace continuations, multi-line messages, etc.) are joined to the preceding record",
        "with embedded `\\n`. Orphan content before the first timestamp becomes its own record",
        "rather than being silently dropped.",
    ],
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstrings(logs, name):
    assert getattr(logs, name).__doc__.split("\n") == DOCSTRINGS[name]


@pytest.mark.parametrize("name, params, flags, annotations", [
    ("get_recent_log_lines", ("service", "n"), 0x03,
     {"service": "LogService", "n": "int", "return": "List[str]"}),
    ("_iter_rotated_and_current", ("current",), 0x23,
     {"current": "Path", "return": "Iterator[str]"}),
    ("_iter_log_records", ("raw_lines",), 0x23,
     {"raw_lines": "Iterator[str]", "return": "Iterator[str]"}),
])
def test_function_objects(logs, name, params, flags, annotations):
    func = getattr(logs, name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == MODULE
    assert func.__annotations__ == annotations
    assert func.__defaults__ is None
    assert func.__kwdefaults__ is None
    assert func.__globals__ is vars(logs)

    code = func.__code__
    assert code.co_name == name
    assert code.co_filename == "src/vornal_api/python_api/admin/logs"
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames[:len(params)] == params
    assert code.co_flags == flags

    assert inspect.isgeneratorfunction(func) is (flags == 0x23)
    assert inspect.iscoroutinefunction(func) is False


# --- grouping physical lines into records ------------------------------------

@pytest.mark.parametrize("line, starts", [
    ("2024-05-06 07:08:09,123 INFO x", True),
    ("2024-05-06 07:08:09,123 ", True),
    ("9999-99-99 99:99:99,999 not a real date", True),
    ("\u0662\u0660\u0662\u0664-\u0660\u0665-\u0660\u0666 \u0660\u0667:\u0660\u0668:\u0660\u0669,"
     "\u0661\u0662\u0663 Arabic-Indic digits", True),
    ("\u0968\u0966\u0968\u096a-\u0966\u096b-\u0966\u096c \u0966\u096d:\u0966\u096e:\u0966\u096f,"
     "\u0967\u0968\u0969 Devanagari digits", True),
    ("\uff12\uff10\uff12\uff14-\uff10\uff15-\uff10\uff16 \uff10\uff17:\uff10\uff18:\uff10\uff19,"
     "\uff11\uff12\uff13 fullwidth digits", True),
    ("2024-05-06 07:08:09,123", False),
    ("2024-05-06 07:08:09,123x", False),
    ("2024-05-06 07:08:09,123\tINFO tab instead of space", False),
    ("2024-05-06 07:08:09,1234 four-digit milliseconds", False),
    ("2024-05-06 07:08:09.123 point before milliseconds", False),
    ("2024-05-06T07:08:09,123 T separator", False),
    (" 2024-05-06 07:08:09,123 leading space", False),
    ("at 2024-05-06 07:08:09,123 inside the line", False),
    ("\u00b2024-05-06 07:08:09,123 superscript is not a decimal digit", False),
])
def test_record_start_detection(logs, line, starts):
    records = list(logs._iter_log_records(["before\n", line + "\n"]))
    assert records == (["before", line] if starts else ["before\n" + line])


@pytest.mark.parametrize("lines, records", [
    pytest.param([], [], id="no-lines"),
    pytest.param(["\n"], [""], id="single-blank-line"),
    pytest.param([A + "\n", B + "\n", C + "\n"], [A, B, C], id="one-line-records"),
    pytest.param(
        [A + "\n", "Traceback (most recent call last):\n", '  File "job.py", line 3, in run\n',
         "ValueError: bad\n", B + "\n"],
        [A + '\nTraceback (most recent call last):\n  File "job.py", line 3, in run\nValueError: bad', B],
        id="stack-trace"),
    pytest.param(["orphan 1\n", "orphan 2\n", A + "\n", "more\n"],
                 ["orphan 1\norphan 2", A + "\nmore"], id="orphans-before-first-record"),
    pytest.param(["\n", A + "\n"], ["", A], id="leading-blank-line-is-an-orphan-record"),
    pytest.param([A + "\n", "\n", "detail\n", "\n", B + "\n"], [A + "\n\ndetail\n", B],
                 id="blank-lines-kept"),
    pytest.param([A + " \t\n", "  indented\t \n"], [A + " \t\n  indented\t "],
                 id="trailing-spaces-and-tabs-kept"),
    pytest.param([A + "\r\n", "x\r\n"], [A + "\r\nx\r"], id="only-newline-stripped"),
    pytest.param([A + "\n\n\n"], [A], id="all-trailing-newlines-stripped"),
    pytest.param(["\nfirst\n"], ["\nfirst"], id="leading-newline-kept"),
    pytest.param([A + "\n", "tail"], [A + "\ntail"], id="last-line-without-newline"),
])
def test_grouping(logs, lines, records):
    assert list(logs._iter_log_records(lines)) == records
    assert list(logs._iter_log_records(raw_lines=iter(lines))) == records


def test_records_are_yielded_once_the_next_record_starts(logs):
    consumed = []

    def feed():
        for line in [A + "\n", "trace\n", B + "\n", "more\n", C + "\n"]:
            consumed.append(line)
            yield line

    records = logs._iter_log_records(feed())
    assert consumed == []
    assert next(records) == A + "\ntrace"
    assert consumed == [A + "\n", "trace\n", B + "\n"]
    assert next(records) == B + "\nmore"
    assert next(records) == C
    with pytest.raises(StopIteration):
        next(records)


def test_replaced_record_start_pattern_is_used(logs, monkeypatch):
    monkeypatch.setattr(logs, "_RECORD_START", re.compile("> "))
    assert list(logs._iter_log_records([A + "\n", "> a\n", "b\n", "> c\n"])) == [A, "> a\nb", "> c"]


# --- reading files -------------------------------------------------------------

@pytest.mark.parametrize("data, records", [
    pytest.param(f"{A}\n  at x\n{B}\n", [A + "\n  at x", B], id="lf"),
    pytest.param(f"{A}\r\n  at x\r\n{B}\r\n", [A + "\n  at x", B], id="crlf"),
    pytest.param(f"{A}\r  at x\r{B}\r", [A + "\n  at x", B], id="lone-cr"),
    pytest.param(f"{A}\r\n  at x\r{B}\n", [A + "\n  at x", B], id="mixed"),
    pytest.param(f"{A}\n  at x\n{B}", [A + "\n  at x", B], id="no-final-newline"),
    pytest.param(f"{A} \t\r\n\r\n\tpayload \r\n", [A + " \t\n\n\tpayload "],
                 id="blank-lines-and-trailing-whitespace"),
    pytest.param(A.encode() + b" \xff\xfe end\n" + b"tail \xe2\x82",
                 [A + " \ufffd\ufffd end\ntail \ufffd"], id="undecodable-bytes"),
    pytest.param(f"{A} caf\u00e9 \u2014 \u0663\n", [A + " caf\u00e9 \u2014 \u0663"], id="utf-8"),
    pytest.param("", [], id="empty"),
    pytest.param("\n", [""], id="single-blank-line"),
])
def test_reading_the_current_file(logs, api_files, data, records):
    current, _ = api_files
    write(current, data)
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == records


def test_stack_traces_count_as_one_record(logs, api_files):
    current, _ = api_files
    write(current, "startup banner\n"
                   f"{A}\n"
                   f"{C}\nTraceback (most recent call last):\n  File \"x.py\", line 1\nKeyError: 'k'\n"
                   f"{B}\n")
    trace = C + "\nTraceback (most recent call last):\n  File \"x.py\", line 1\nKeyError: 'k'"
    assert logs.get_recent_log_lines(logs.LogService.api, 2) == [trace, B]
    assert logs.get_recent_log_lines(logs.LogService.api, 10) == ["startup banner", A, trace, B]


def test_backup_is_read_before_current(logs, api_files):
    current, backup = api_files
    write(backup, f"{record(0)}\n{record(1)}\n")
    write(current, f"{record(2)}\n{record(3)}\n")
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == [record(i) for i in range(4)]
    assert logs.get_recent_log_lines(logs.LogService.api, 3) == [record(i) for i in (1, 2, 3)]


def test_record_split_across_rotation_is_joined(logs, api_files):
    current, backup = api_files
    write(backup, f"orphan in backup\n{A}\nTraceback (most recent call last):\n  line in backup")
    write(current, f"  line in current\nValueError: x\n{B}\n")
    split = A + "\nTraceback (most recent call last):\n  line in backup\n  line in current\nValueError: x"
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == ["orphan in backup", split, B]
    assert logs.get_recent_log_lines(logs.LogService.api, 2) == [split, B]


def test_only_the_dot_1_backup_is_read(logs, api_files):
    current, backup = api_files
    write(current, f"{B}\n")
    decoys = {current.with_suffix(".1"), current.parent / (current.name + ".2"),
              current.parent / (current.stem + ".1" + current.suffix)} - {backup}
    for decoy in decoys:
        write(decoy, "decoy\n")
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == [B]
    write(backup, f"{A}\n")
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == [A, B]


@pytest.mark.parametrize("backup_data, current_data, records", [
    pytest.param(None, "", [], id="no-backup-empty-current"),
    pytest.param("", "", [], id="both-empty"),
    pytest.param(f"{A}\n", "", [A], id="empty-current-after-backup"),
    pytest.param("", f"{B}\n", [B], id="empty-backup"),
])
def test_empty_files(logs, api_files, backup_data, current_data, records):
    current, backup = api_files
    write(current, current_data)
    if backup_data is not None:
        write(backup, backup_data)
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == records


@pytest.mark.parametrize("as_member", [True, False], ids=["member", "plain-key"])
def test_each_service_reads_its_own_files(logs, log_dir, as_member):
    for name, tag in ((logs.API_LOG_FILE_NAME, "api"), (logs.SYNC_AGENT_LOG_FILE_NAME, "agent")):
        write(log_dir / (name + ".1"), f"{TS}{tag} old\n")
        write(log_dir / name, f"{TS}{tag} new\n")
    api = logs.LogService.api if as_member else "api"
    agent = logs.LogService.sync_agent if as_member else "sync_agent"
    assert logs.get_recent_log_lines(api, -1) == [TS + "api old", TS + "api new"]
    assert logs.get_recent_log_lines(agent, -1) == [TS + "agent old", TS + "agent new"]


def test_large_file_keeps_only_the_tail(logs, api_files):
    current, _ = api_files
    with current.open("w", encoding="utf-8") as out:
        for i in range(50_000):
            out.write(record(i) + "\n")
    assert logs.get_recent_log_lines(logs.LogService.api, 3) == [record(i) for i in (49_997, 49_998, 49_999)]


# --- the log directory ---------------------------------------------------------

def test_log_dir_comes_from_the_client_settings_at_each_call(logs, tmp_path, monkeypatch):
    for sub in ("one", "two"):
        (tmp_path / sub).mkdir()
        write(tmp_path / sub / logs.API_LOG_FILE_NAME, f"{TS}{sub}\n")
    monkeypatch.setenv("VORNAL_LOG_DIR", str(tmp_path / "one"))
    assert logs.get_recent_log_lines(logs.LogService.api, 1) == [TS + "one"]
    monkeypatch.setenv("VORNAL_LOG_DIR", str(tmp_path / "two"))
    assert logs.get_recent_log_lines(logs.LogService.api, 1) == [TS + "two"]


@pytest.mark.parametrize("wrap", [str, Path])
def test_get_log_dir_is_called_without_arguments(logs, tmp_path, monkeypatch, wrap):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return wrap(tmp_path)

    monkeypatch.setattr(logs, "get_log_dir", fake)
    write(tmp_path / logs.API_LOG_FILE_NAME, f"{A}\n")
    assert logs.get_recent_log_lines(logs.LogService.api, 5) == [A]
    assert calls == [((), {})]


def test_log_dir_failure_propagates(logs, monkeypatch):
    error = RuntimeError("no log directory")

    def fail():
        raise error

    monkeypatch.setattr(logs, "get_log_dir", fail)
    with pytest.raises(RuntimeError) as exc:
        logs.get_recent_log_lines(logs.LogService.api, 1)
    assert exc.value is error


# --- missing files and unknown services ---------------------------------------

@pytest.mark.parametrize("n", [0, 3, -1])
@pytest.mark.parametrize("key", ["api", "sync_agent"])
@pytest.mark.parametrize("as_member", [True, False], ids=["member", "plain-key"])
def test_missing_current_file(logs, log_dir, key, as_member, n):
    member = logs.LogService[key]
    current = log_dir / logs._LOG_FILE_NAMES[member]
    write(log_dir / (current.name + ".1"), f"{A}\n")  # a backup alone is not enough
    with pytest.raises(logs.LogFileNotFoundError) as exc:
        logs.get_recent_log_lines(member if as_member else key, n)
    assert type(exc.value) is logs.LogFileNotFoundError
    assert exc.value.args == (f"No log file found for service '{key}' at {current}",)


def test_replaced_file_map_is_used_and_plain_keys_show_as_they_are(logs, log_dir, monkeypatch):
    monkeypatch.setattr(logs, "_LOG_FILE_NAMES", {7: "seven.log"})
    with pytest.raises(logs.LogFileNotFoundError) as exc:
        logs.get_recent_log_lines(7, 1)
    assert exc.value.args == (f"No log file found for service '7' at {log_dir / 'seven.log'}",)
    write(log_dir / "seven.log", f"{A}\n")
    assert logs.get_recent_log_lines(7, 1) == [A]
    with pytest.raises(KeyError):
        logs.get_recent_log_lines(logs.LogService.api, 1)


@pytest.mark.parametrize("service", ["API", "api ", "", "sync-agent", 0, None, ("api",)])
def test_unknown_service_is_a_key_error_before_any_file_check(logs, log_dir, service):
    # No file exists: a KeyError (not LogFileNotFoundError) shows the lookup comes first.
    for n in (0, 1):
        with pytest.raises(KeyError) as exc:
            logs.get_recent_log_lines(service, n)
        assert type(exc.value) is KeyError
        assert exc.value.args == (service,)


@pytest.mark.parametrize("broken", ["current", "backup"])
def test_open_failure_propagates(logs, api_files, broken):
    current, backup = api_files
    write(current, f"{A}\n")
    write(backup, f"{B}\n")
    target = current if broken == "current" else backup
    target.unlink()
    target.mkdir()  # exists, but opening it fails even for root
    with pytest.raises(IsADirectoryError):
        logs.get_recent_log_lines(logs.LogService.api, 1)
    assert logs.get_recent_log_lines(logs.LogService.api, 0) == []


# --- the tail size n -------------------------------------------------------------

@pytest.mark.parametrize("n, count", [
    (1, 1), (2, 2), (5, 5), (6, 5), (100, 5), (sys.maxsize, 5),
    pytest.param(2**63, 5, id="2**63"), pytest.param(2**70, 5, id="2**70"),
    (-1, 5), (-5, 5), (-6, 5), pytest.param(-2**70, 5, id="-2**70"),
])
def test_tail_size(logs, api_files, n, count):
    current, backup = api_files
    write(backup, f"{record(0)}\n{record(1)}\n")
    write(current, "".join(record(i) + "\n" for i in range(2, 5)))
    result = logs.get_recent_log_lines(logs.LogService.api, n)
    assert type(result) is list
    assert result == [record(i) for i in range(5 - count, 5)]


def test_zero_returns_a_new_empty_list_without_reading(logs, api_files, monkeypatch):
    current, _ = api_files
    write(current, f"{A}\n")

    def fail(*args, **kwargs):
        raise AssertionError("log read although n is 0")

    monkeypatch.setattr(logs, "_iter_rotated_and_current", fail)
    monkeypatch.setattr(logs, "_iter_log_records", fail)
    first = logs.get_recent_log_lines(logs.LogService.api, 0)
    second = logs.get_recent_log_lines(logs.LogService.api, 0)
    assert type(first) is list and first == [] and second == []
    assert first is not second


@pytest.mark.parametrize("n, count", [
    (3.9, 3), (True, 1), (False, 0), (0.5, 0), (-0.5, 0), (-1.5, 5),
    (Fraction(7, 2), 3), (Decimal("2.7"), 2),
])
def test_n_is_converted_to_int(logs, api_files, n, count):
    current, _ = api_files
    write(current, "".join(record(i) + "\n" for i in range(5)))
    assert logs.get_recent_log_lines(logs.LogService.api, n) == [record(i) for i in range(5 - count, 5)]


@pytest.mark.parametrize("n, type_name", [("2", "str"), (None, "NoneType"), (b"2", "bytes"), ([2], "list")])
def test_n_that_is_not_a_number(logs, no_log_dir, n, type_name):
    for call in (lambda: logs.get_recent_log_lines(logs.LogService.api, n),
                 lambda: logs.get_recent_log_lines(service="no such service", n=n)):
        with pytest.raises(TypeError) as exc:
            call()
        assert str(exc.value) == f"Argument 'n' has incorrect type (expected int, got {type_name})"
        assert not getattr(exc.value, "__notes__", None)


@pytest.mark.parametrize("n", [math.nan, math.inf, -math.inf])
def test_n_conversion_errors_propagate(logs, no_log_dir, n):
    with pytest.raises(Exception) as expected:
        int(n)
    with pytest.raises(type(expected.value)) as exc:
        logs.get_recent_log_lines(logs.LogService.api, n)
    assert str(exc.value) == str(expected.value)


# --- argument parsing ------------------------------------------------------------

@pytest.mark.parametrize("name, args, kwargs, message", [
    ("get_recent_log_lines", (), {},
     "get_recent_log_lines() takes exactly 2 positional arguments (0 given)"),
    ("get_recent_log_lines", ("api",), {},
     "get_recent_log_lines() takes exactly 2 positional arguments (1 given)"),
    ("get_recent_log_lines", (), {"n": 1},
     "get_recent_log_lines() takes exactly 2 positional arguments (0 given)"),
    ("get_recent_log_lines", ("api", 1, 2), {},
     "get_recent_log_lines() takes exactly 2 positional arguments (3 given)"),
    ("get_recent_log_lines", ("api",), {"n": 1, "lines": 2},
     "get_recent_log_lines() got an unexpected keyword argument 'lines'"),
    ("get_recent_log_lines", ("api", 1), {"service": "api"},
     "get_recent_log_lines() got multiple values for keyword argument 'service'"),
    ("_iter_log_records", (), {},
     "_iter_log_records() takes exactly 1 positional argument (0 given)"),
    ("_iter_log_records", ([], []), {},
     "_iter_log_records() takes exactly 1 positional argument (2 given)"),
    ("_iter_rotated_and_current", (), {"path": "x"},
     "_iter_rotated_and_current() got an unexpected keyword argument 'path'"),
])
def test_argument_errors(logs, no_log_dir, name, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        getattr(logs, name)(*args, **kwargs)
    assert str(exc.value) == message


def test_arguments_by_keyword(logs, api_files):
    current, _ = api_files
    write(current, f"{A}\n{B}\n")
    assert logs.get_recent_log_lines(service=logs.LogService.api, n=1) == [B]
    assert logs.get_recent_log_lines(n=-1, service="api") == [A, B]
    assert list(logs._iter_rotated_and_current(current=current)) == [A + "\n", B + "\n"]
    assert list(logs._iter_log_records(raw_lines=[A + "\n"])) == [A]


# --- the rotation reader generator ---------------------------------------------

class FakeFile:
    """File-like context manager over given lines; an exception among them is raised when reached."""

    def __init__(self, events, name, lines):
        self.events, self.name, self.closed = events, name, False
        self._lines = iter(lines)

    def __enter__(self):
        self.events.append(("enter", self.name))
        return self

    def __exit__(self, typ, value, tb):
        self.events.append(("exit", self.name, typ))
        self.closed = True
        return False

    def __iter__(self):
        return self

    def __next__(self):
        line = next(self._lines)
        if isinstance(line, BaseException):
            raise line
        return line

    def close(self):
        self.events.append(("close", self.name))
        self.closed = True


class FakePath:
    """Just enough of a Path for the reader: parent, name, '/', exists() and open()."""

    def __init__(self, files, events, name, parent=None):
        self.files, self.events, self.name, self.parent = files, events, name, parent

    def __truediv__(self, name):
        return FakePath(self.files, self.events, name, self)

    def exists(self):
        self.events.append(("exists", self.name))
        return self.name in self.files

    def open(self, *args, **kwargs):
        self.events.append(("open", self.name, args, kwargs))
        if self.name not in self.files:
            raise FileNotFoundError(self.name)
        return FakeFile(self.events, self.name, self.files[self.name])

    def __str__(self):
        return "/fake/" + self.name


def fake_current(files):
    events = []
    return FakePath(files, events, "svc.log", FakePath(files, events, "logs")), events


def file_events(events):
    return [event for event in events if event[0] != "exists"]


def test_rotation_reader_opens_backup_then_current(logs):
    current, events = fake_current({"svc.log.1": ["old 1\n", "old 2"], "svc.log": ["new\n"]})
    lines = logs._iter_rotated_and_current(current)
    assert events == []  # nothing runs before the first advance
    assert list(lines) == ["old 1\n", "old 2", "new\n"]
    assert events[0] == ("exists", "svc.log.1")
    assert file_events(events) == [
        ("open", "svc.log.1", *OPEN_ARGS), ("enter", "svc.log.1"), ("exit", "svc.log.1", None),
        ("open", "svc.log", *OPEN_ARGS), ("enter", "svc.log"), ("exit", "svc.log", None),
    ]


def test_rotation_reader_skips_a_missing_backup(logs):
    current, events = fake_current({"svc.log": ["new\n"]})
    assert list(logs._iter_rotated_and_current(current)) == ["new\n"]
    assert ("exists", "svc.log.1") in events
    assert file_events(events) == [
        ("open", "svc.log", *OPEN_ARGS), ("enter", "svc.log"), ("exit", "svc.log", None)]


class TracedPath(FakePath):
    """A FakePath whose reads of `parent` and `name` show among the events."""

    def __init__(self, files, events, name, parent):
        self.files, self.events, self._name, self._parent = files, events, name, parent

    @property
    def parent(self):
        self.events.append(("read", "parent"))
        return self._parent

    @property
    def name(self):
        self.events.append(("read", "name"))
        return self._name


def test_backup_path_reads_parent_then_name(logs):
    events = []
    files = {"svc.log.1": ["old\n"], "svc.log": ["new\n"]}
    current = TracedPath(files, events, "svc.log", FakePath(files, events, "logs"))
    assert list(logs._iter_rotated_and_current(current)) == ["old\n", "new\n"]
    # `current.parent / (current.name + ".1")`, evaluated left to right, before any file check.
    assert events[:3] == [("read", "parent"), ("read", "name"), ("exists", "svc.log.1")]


def test_abandoned_rotation_reader_leaves_the_file_context(logs):
    current, events = fake_current({"svc.log.1": ["old 1\n", "old 2\n"], "svc.log": ["new\n"]})
    lines = logs._iter_rotated_and_current(current)
    assert next(lines) == "old 1\n"
    backup_file = lines.gi_yieldfrom
    assert isinstance(backup_file, FakeFile) and backup_file.name == "svc.log.1"
    assert lines.close() is None
    assert backup_file.closed
    assert events[-2:] == [("close", "svc.log.1"), ("exit", "svc.log.1", GeneratorExit)]
    assert not any(event[:2] == ("open", "svc.log") for event in events)


def test_read_error_propagates_and_files_are_released(logs, monkeypatch):
    name = logs.API_LOG_FILE_NAME
    error = OSError(5, "read failed")
    files = {name + ".1": [A + "\n"], name: ["trace\n", error]}
    events = []
    monkeypatch.setattr(logs, "get_log_dir", lambda: "/nowhere")
    monkeypatch.setattr(logs, "Path", lambda directory: FakePath(files, events, "logs"))

    with pytest.raises(OSError) as exc:
        logs.get_recent_log_lines(logs.LogService.api, 5)
    assert exc.value is error
    assert [e for e in events if e[0] == "exit"] == [("exit", name + ".1", None), ("exit", name, OSError)]

    files[name] = ["trace\n", B + "\n"]
    events.clear()
    assert logs.get_recent_log_lines(logs.LogService.api, 5) == [A + "\ntrace", B]
    assert [e[:2] for e in events if e[0] in ("open", "exit")] == [
        ("open", name + ".1"), ("exit", name + ".1"), ("open", name), ("exit", name)]


def test_rotation_reader_yields_physical_lines(logs, api_files):
    current, backup = api_files
    write(backup, "b1\r\nb2")
    write(current, "c1\rc2\n\n")
    assert list(logs._iter_rotated_and_current(current)) == ["b1\n", "b2", "c1\n", "c2\n", "\n"]
    backup.unlink()
    assert list(logs._iter_rotated_and_current(current)) == ["c1\n", "c2\n", "\n"]


def test_rotation_reader_delegates_to_each_open_file(logs, api_files):
    current, backup = api_files
    write(backup, "b1\nb2\n")
    write(current, "c1\n")
    lines = logs._iter_rotated_and_current(current)
    assert lines.gi_yieldfrom is None
    assert next(lines) == "b1\n"
    backup_file = lines.gi_yieldfrom
    assert isinstance(backup_file, io.TextIOWrapper)
    assert os.fspath(backup_file.name) == str(backup)
    assert (backup_file.mode, backup_file.encoding, backup_file.errors) == ("r", "utf-8", "replace")
    assert not backup_file.closed
    assert next(lines) == "b2\n"
    assert next(lines) == "c1\n"
    current_file = lines.gi_yieldfrom
    assert os.fspath(current_file.name) == str(current)
    assert backup_file.closed and not current_file.closed
    with pytest.raises(StopIteration):
        next(lines)
    assert current_file.closed
    assert lines.gi_yieldfrom is None


@pytest.mark.parametrize("how", ["close", "throw", "collect"])
def test_abandoned_rotation_reader_closes_the_open_file(logs, api_files, how):
    current, _ = api_files
    write(current, "c1\nc2\n")
    lines = logs._iter_rotated_and_current(current)
    assert next(lines) == "c1\n"
    open_file = lines.gi_yieldfrom
    if how == "close":
        assert lines.close() is None
    elif how == "throw":
        error = KeyError("stop")
        with pytest.raises(KeyError) as exc:
            lines.throw(error)
        assert exc.value is error
    else:
        del lines
        gc.collect()
    assert open_file.closed
    if how != "collect":
        assert lines.gi_yieldfrom is None
        with pytest.raises(StopIteration):
            next(lines)


def test_stop_iteration_thrown_into_the_reading_of_a_file_ends_only_that_file(logs, api_files):
    current, backup = api_files
    write(backup, "b1\nb2\n")
    write(current, "c1\n")
    lines = logs._iter_rotated_and_current(current)
    assert next(lines) == "b1\n"
    backup_file = lines.gi_yieldfrom
    # As with `yield from file`: the delegation ends and the generator goes on to the next file.
    assert lines.throw(StopIteration("v")) == "c1\n"
    assert backup_file.closed
    with pytest.raises(StopIteration):
        next(lines)


# --- generator protocol ------------------------------------------------------------

def test_generator_object(logs):
    records = logs._iter_log_records([A + "\n", B + "\n"])
    assert records.__name__ == records.__qualname__ == "_iter_log_records"
    assert records.gi_code is logs._iter_log_records.__code__
    assert iter(records) is records
    assert records.gi_running is False and records.gi_yieldfrom is None
    assert records.send(None) == A
    assert records.gi_running is False and records.gi_yieldfrom is None
    assert next(records) == B
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(records)

    lines = logs._iter_rotated_and_current(Path("unused"))
    assert lines.__name__ == lines.__qualname__ == "_iter_rotated_and_current"
    assert lines.gi_code is logs._iter_rotated_and_current.__code__


def test_resuming_a_running_generator(logs):
    seen = []

    def feed():
        yield "first\n"
        seen.append(records.gi_running)
        next(records)

    records = logs._iter_log_records(feed())
    with pytest.raises(ValueError) as exc:
        next(records)
    assert str(exc.value) == "generator already executing"
    assert seen == [True]
    assert records.gi_running is False
    with pytest.raises(StopIteration):
        next(records)


def test_first_send_must_be_none(logs):
    records = logs._iter_log_records([A + "\n"])
    with pytest.raises(TypeError) as exc:
        records.send("line")
    assert str(exc.value) == "can't send non-None value to a just-started generator"
    with pytest.raises(StopIteration):
        next(records)


def test_throw_and_close(logs):
    error = KeyError("k")
    records = logs._iter_log_records([A + "\n"])
    with pytest.raises(KeyError) as exc:
        records.throw(error)
    assert exc.value is error
    with pytest.raises(StopIteration):
        next(records)

    records = logs._iter_log_records([A + "\n", B + "\n", C + "\n"])
    assert next(records) == A
    with pytest.raises(ValueError):
        records.throw(ValueError("stop"))
    with pytest.raises(StopIteration):
        next(records)

    for args in ((), (KeyError, KeyError("k"), None, 4)):
        with pytest.raises(TypeError) as exc:
            logs._iter_log_records([]).throw(*args)
        assert str(exc.value) == "throw takes between 1 and 3 positional arguments"

    records = logs._iter_log_records([A + "\n"])
    assert records.close() is None
    with pytest.raises(StopIteration):
        next(records)

    records = logs._iter_log_records([A + "\n", B + "\n", C + "\n"])
    assert next(records) == A
    assert records.close() is None
    with pytest.raises(StopIteration):
        next(records)
