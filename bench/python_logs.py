"""The log reader written in plain Python: the baseline of the log and import rows.

Same load-time names and the same reading pipeline as `vornal_api.python_api.admin.logs`."""
import re
from collections import deque
from enum import Enum
from pathlib import Path
from typing import Iterator, List

from vornal_api import LOG_FILE_NAME as API_LOG_FILE_NAME
from vornal_api.app.exceptions.admin.logs_handler import LogFileNotFoundError
from vornal_client.settings.folders import get_log_dir
from vornal_sync_agent import LOG_FILE_NAME as SYNC_AGENT_LOG_FILE_NAME


class LogService(str, Enum):
    api = "api"
    sync_agent = "sync_agent"


_LOG_FILE_NAMES = {LogService.api: API_LOG_FILE_NAME, LogService.sync_agent: SYNC_AGENT_LOG_FILE_NAME}
_RECORD_START = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} ")


def get_recent_log_lines(service: LogService, n: int) -> List[str]:
    """Return the most recent `n` log records from the given service's rotating log file."""
    if type(n) is not int:
        n = int(n)
    current = Path(get_log_dir()) / _LOG_FILE_NAMES[service]
    if not current.exists():
        raise LogFileNotFoundError(f"No log file found for service '{getattr(service, 'value', service)}' at {current}")
    if n == 0:
        return []
    return list(deque(_iter_log_records(_iter_rotated_and_current(current)), maxlen=None if n < 0 else n))


def _iter_rotated_and_current(current: Path) -> Iterator[str]:
    """Yield raw lines from the previous-rotation file (`.log.1`) first, then the current file."""
    backup = current.parent / (current.name + ".1")
    if backup.exists():
        with backup.open("r", encoding="utf-8", errors="replace") as file:
            yield from file
    with current.open("r", encoding="utf-8", errors="replace") as file:
        yield from file


def _iter_log_records(raw_lines: Iterator[str]) -> Iterator[str]:
    """Group physical lines into logical log records."""
    buffer = []
    for raw_line in raw_lines:
        line = raw_line.rstrip("\n")
        if _RECORD_START.match(line) and buffer:
            yield "\n".join(buffer)
            buffer = [line]
        else:
            buffer.append(line)
    if buffer:
        yield "\n".join(buffer)
