"""Shared folders: the log directory is $VORNAL_LOG_DIR, read at each call (default under the temp dir)."""
import os
import tempfile
from pathlib import Path


def get_log_dir() -> Path:
    return Path(os.environ.get("VORNAL_LOG_DIR") or os.path.join(tempfile.gettempdir(), "vornal_logs"))
