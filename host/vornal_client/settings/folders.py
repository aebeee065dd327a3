"""Shared folders, read at each call: the log directory is $VORNAL_LOG_DIR and the service's own
virtual environment $VORNAL_SERVICE_ENV (defaults under the temp dir); the service runner program
lives in the host tree, or in the scripts directory of the environment the stand-ins are installed in."""
import os
import sysconfig
import tempfile
from pathlib import Path

_TREE_RUNNER = Path(__file__).resolve().parents[2] / "bin" / "vornal-service"


def get_log_dir() -> Path:
    return Path(os.environ.get("VORNAL_LOG_DIR") or os.path.join(tempfile.gettempdir(), "vornal_logs"))


def get_service_env_dir() -> Path:
    """The virtual environment whose packages the service runs with: where pip installs plug-in
    packages and where the registries look for them."""
    return Path(os.environ.get("VORNAL_SERVICE_ENV") or os.path.join(tempfile.gettempdir(), "vornal_service_env"))


def get_service_runner_path() -> Path:
    """The service runner program: `<runner> self pip ARGS...` runs pip in the service's environment."""
    if _TREE_RUNNER.is_file():
        return _TREE_RUNNER
    return Path(sysconfig.get_path("scripts")) / "vornal-service"
