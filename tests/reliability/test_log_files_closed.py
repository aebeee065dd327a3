"""The log reader over real files, driven in every way: however its generators are resumed,
thrown into, closed or dropped half-read, no file of the log directory stays open afterwards."""
import os
import pathlib

import pytest
from hypothesis import strategies as st

import discovery
from fuzzing import fuzz

LOGS = "vornal_api.python_api.admin.logs"
pytestmark = pytest.mark.skipif(LOGS not in discovery.module_names(), reason="the logs module is not built")

ACTIONS = st.lists(st.sampled_from(["next", "throw", "close", "send value"]), max_size=6)


def files_open_under(directory):
    opened = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue  # the listing's own descriptor, closed already
        if target.startswith(str(directory)):
            opened.append(target)
    return opened


@pytest.fixture
def log_dir(tmp_path, monkeypatch):
    logs = __import__(LOGS, fromlist=["_"])
    current = tmp_path / logs.API_LOG_FILE_NAME
    pathlib.Path(f"{current}.1").write_text("2026-12-10 09:00:00,000 INFO started\nsecond line\n")
    current.write_text("continued\n2026-12-10 09:00:02,500 INFO served\nlast\n")
    monkeypatch.setenv("VORNAL_LOG_DIR", str(tmp_path))
    return logs, current


def test_generators_driven_any_way_close_their_files(log_dir):
    logs, current = log_dir

    @fuzz(ACTIONS, st.booleans())
    def run(actions, grouped):
        lines = logs._iter_rotated_and_current(current)
        made = logs._iter_log_records(lines) if grouped else lines
        del lines
        for action in actions:
            try:
                if action == "next":
                    next(made)
                elif action == "send value":
                    made.send("value")
                elif action == "throw":
                    made.throw(KeyError("thrown"))
                else:
                    made.close()
            except (StopIteration, KeyError, TypeError, AttributeError):  # a file has no send
                break
        del made  # dropped, half-read or not
        assert files_open_under(current.parent) == []

    run()


@pytest.mark.parametrize("n", [0, 1, 2, 3, 100, -1, 2 ** 100])
def test_reading_the_tail_closes_its_files(log_dir, n):
    logs, current = log_dir
    logs.get_recent_log_lines(logs.LogService.api, n)
    assert files_open_under(current.parent) == []
