"""The log reader reads the most recent records backwards from the end of the files while its
pipeline's names are as loaded: the results must be those of the pipeline, which runs as soon as
any of the names is replaced.

The pipeline is forced by replacing `_iter_log_records` with a wrapper that calls the original,
which changes which way the files are read but not what comes out.
"""
import collections
import contextlib
import functools
import importlib
import io
import os
import sys
import tempfile
import types
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

MODULE = "vornal_api.python_api.admin.logs"

# The reader takes 64 KiB blocks from the end of a file; the generated logs put block boundaries
# inside the interesting bytes.
BLOCK = 64 * 1024

TS = "2024-05-06 07:08:09,123 "


@pytest.fixture(scope="module")
def logs():
    return importlib.import_module(MODULE)


@pytest.fixture
def api_files(logs, tmp_path, monkeypatch):
    """(current, backup) paths of the API service's log in a fresh directory, neither created yet."""
    monkeypatch.setattr(logs, "get_log_dir", lambda: str(tmp_path))
    current = tmp_path / logs.API_LOG_FILE_NAME
    return current, tmp_path / (current.name + ".1")


def through_pipeline(logs, service, n):
    """The result of the pipeline itself, for the same files."""
    original = logs._iter_log_records
    logs._iter_log_records = functools.partial(original)
    try:
        return logs.get_recent_log_lines(service, n)
    finally:
        logs._iter_log_records = original


@contextlib.contextmanager
def read_from_the_end():
    """Fails a read that goes through file objects, as the pipeline's does."""
    def refuse(*args, **kwargs):
        raise AssertionError(f"opened as a file object: {args[0]}")
    real_open, io.open = io.open, refuse
    try:
        yield
    finally:
        io.open = real_open


def filler(size):
    """`size` bytes of whole one-line records (the last line shorter when it has to be)."""
    line = (TS + "INFO filler\n").encode()
    count, rest = divmod(size, len(line))
    return line * count + (b"x" * (rest - 1) + b"\n" if rest else b"")


def around_a_block_boundary(front, back, cut):
    """front + filler + back, with the last block boundary `cut` bytes into `front`."""
    return front + filler(max(0, BLOCK + cut - len(front) - len(back))) + back


# --- generated logs ------------------------------------------------------------

DECIMAL_DIGITS = "0123456789\u0660\u0663\u0669\u0966\u096f\uff10\uff19\U0001d7ce\U0001d7ff"
NOT_DECIMAL = "\u00b2\u2460\u216b\u00bdx "
TEXT = st.text(st.characters(exclude_categories=["Cs"], exclude_characters="\r\n"), max_size=30)


@st.composite
def record_start(draw):
    """A line the record-start pattern matches, with ASCII or other decimal digits."""
    digits = iter(draw(st.lists(st.sampled_from(DECIMAL_DIGITS), min_size=17, max_size=17)))
    shape = "dddd-dd-dd dd:dd:dd,ddd "
    return "".join(next(digits) if c == "d" else c for c in shape) + draw(TEXT)


@st.composite
def near_miss(draw):
    """A record-start line with one character changed, or cut short."""
    line = draw(record_start())
    position = draw(st.integers(0, 23))
    if draw(st.booleans()):
        return line[:position]
    return line[:position] + draw(st.sampled_from(NOT_DECIMAL + "-: ,\t")) + line[position + 1:]


BAD_BYTES = st.sampled_from([b"\xff", b"\xe2\x82", b"\xed\xa0\x80", b"\xc0\x80", b"\xf4\x90\x80\x80",
                             b"\xf0\x9f\x98", b"\x80\x80", b"\xe0\x80\xaf"])
LINE = st.one_of(
    record_start().map(str.encode), near_miss().map(str.encode), TEXT.map(str.encode), st.just(b""),
    st.tuples(TEXT, BAD_BYTES, TEXT).map(lambda p: p[0].encode() + p[1] + p[2].encode()),
    st.tuples(record_start(), BAD_BYTES).map(lambda p: p[0].encode() + p[1]))
ENDING = st.sampled_from([b"\n", b"\n", b"\r\n", b"\r"])


@st.composite
def log_bytes(draw, max_lines=12):
    lines = draw(st.lists(st.tuples(LINE, ENDING), max_size=max_lines))
    data = b"".join(line + ending for line, ending in lines)
    if lines and draw(st.booleans()):
        data = data[:-len(lines[-1][1])]  # no line ending after the last line
    return data


@st.composite
def log_file(draw):
    """A small log, or one that crosses a block boundary inside its generated start."""
    front = draw(log_bytes())
    if not draw(st.booleans()):
        return front
    return around_a_block_boundary(front, draw(log_bytes(max_lines=4)), draw(st.integers(0, len(front))))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(backup=st.one_of(st.none(), log_file()), current=log_file(), data=st.data())
def test_backwards_reading_gives_the_pipelines_records(logs, backup, current, data):
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / logs.API_LOG_FILE_NAME
        path.write_bytes(current)
        if backup is not None:
            path.with_name(path.name + ".1").write_bytes(backup)
        original = logs.get_log_dir
        logs.get_log_dir = lambda: directory
        try:
            every = through_pipeline(logs, logs.LogService.api, -1)
            n = data.draw(st.one_of(st.integers(-2, len(every) + 2), st.just(2**70)), label="n")
            expected = every if n < 0 else through_pipeline(logs, logs.LogService.api, n)
            with read_from_the_end():
                assert logs.get_recent_log_lines(logs.LogService.api, n) == expected
        finally:
            logs.get_log_dir = original


# --- what a block boundary can cut ------------------------------------------------

ARABIC_TS = ("\u0662\u0660\u0662\u0664-\u0660\u0665-\u0660\u0666 \u0660\u0667:\u0660\u0668:\u0660\u0669,"
             "\u0661\u0662\u0663 ")


@pytest.mark.parametrize("front, cut", [
    pytest.param(f"{TS}a\r\nb\r\n".encode(), len(TS) + 2, id="between-cr-and-lf"),
    pytest.param(f"{TS}a\r{TS}b\r".encode(), len(TS) + 2, id="after-lone-cr"),
    pytest.param(f"x\n{ARABIC_TS}a\n".encode(), 3, id="inside-a-digit-of-a-record-start"),
    pytest.param(f"x\n{TS}caf\u00e9 \u2014\n".encode(), len(TS) + 6, id="inside-a-character"),
    pytest.param(f"x\n{TS}bad ".encode() + b"\xe2\x82\xff\n", len(TS) + 8, id="inside-an-invalid-sequence"),
])
def test_block_boundaries(logs, api_files, front, cut):
    current, backup = api_files
    current.write_bytes(around_a_block_boundary(front, f"{TS}last\n".encode(), cut))
    backup.write_bytes(f"{TS}older\n  trace".encode())
    for n in (1, 2, 3, 5000, -1):
        expected = through_pipeline(logs, logs.LogService.api, n)
        with read_from_the_end():
            assert logs.get_recent_log_lines(logs.LogService.api, n) == expected


# --- replaced names ------------------------------------------------------------------

def equal_wrapper(logs, name):
    """An object that does what the one bound to `name` does, but is another object."""
    original = getattr(logs, name)
    if name == "Path":
        return lambda *args: Path(*args)
    if name == "deque":
        return type("deque", (collections.deque,), {})
    if name == "_RECORD_START":
        return types.SimpleNamespace(match=original.match)
    return functools.partial(original)


@pytest.mark.parametrize("name", ["Path", "deque", "_iter_log_records", "_iter_rotated_and_current",
                                  "_RECORD_START"])
def test_a_replaced_name_runs_the_pipeline(logs, api_files, monkeypatch, name):
    current, backup = api_files
    backup.write_text(f"{TS}a\n  trace\n")
    current.write_text(f"{TS}b\n{TS}c\n")
    opened = []
    real_open = io.open
    monkeypatch.setattr(io, "open", lambda *args, **kwargs: opened.append(args[0]) or real_open(*args, **kwargs))

    expected = [f"{TS}a\n  trace", f"{TS}b", f"{TS}c"]
    assert logs.get_recent_log_lines(logs.LogService.api, 5) == expected
    assert opened == []  # read from the end, without file objects

    monkeypatch.setattr(logs, name, equal_wrapper(logs, name))
    assert logs.get_recent_log_lines(logs.LogService.api, 5) == expected
    assert opened == [backup, current]


def test_a_replaced_pattern_is_the_one_used(logs, api_files, monkeypatch):
    import re
    current, _ = api_files
    current.write_text(f"{TS}a\n> b\nc\n")
    monkeypatch.setattr(logs, "_RECORD_START", re.compile("> "))
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == [f"{TS}a", "> b\nc"]


# --- resources ------------------------------------------------------------------

def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_files_are_closed_on_every_path(logs, api_files):
    current, backup = api_files
    current.write_text("".join(f"{TS}record {i}\n" for i in range(20000)))
    backup.write_text(f"{TS}old\n")
    before = open_descriptors()
    assert len(logs.get_recent_log_lines(logs.LogService.api, 3)) == 3  # the backup is not needed
    assert len(logs.get_recent_log_lines(logs.LogService.api, -1)) == 20001
    backup.unlink()
    backup.mkdir()
    with pytest.raises(IsADirectoryError):
        logs.get_recent_log_lines(logs.LogService.api, 3)
    backup.rmdir()
    current.unlink()
    with pytest.raises(logs.LogFileNotFoundError):
        logs.get_recent_log_lines(logs.LogService.api, 3)
    assert open_descriptors() == before


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_total_references_stay_level(logs, api_files):
    current, backup = api_files
    backup.write_bytes(f"{TS}old\n  trace \xff".encode("latin-1"))
    current.write_bytes(b"\r\n".join(f"{TS}record {i}\n  \u2014 detail".encode() for i in range(3000)))

    def batch():
        for n in (1, 500, 5000, -1):
            logs.get_recent_log_lines(logs.LogService.api, n)

    batch()
    growth = []
    for _ in range(3):
        before = sys.gettotalrefcount()
        batch()
        growth.append(sys.gettotalrefcount() - before)
    assert min(growth) < 10, growth
