"""Report template and formatters shared by the sync modules, and running the package installer."""
import asyncio
import subprocess
from pathlib import Path
from typing import List, Optional, Sequence

REPORT_TEMPLATE_SYNC_SOURCE = """\
{message}

Sync source {sync_source_id}: {sync_source_name}
  connector:     {sync_source_connector}
  status:        {sync_source_status}
  owner:         {sync_source_owner}
  default scope: {sync_source_default_scope}
  config data:   {sync_source_config_data}
  items:         {items_total} total, {items_synchronized} synchronized, {items_failed} failed
  last update:   {last_update}

Connector:
{connector_info}

Errors:
{errors}
"""

REPORT_TEMPLATE_SYNC_ITEM = """\
{message}

Sync item {sync_item_id}: {data_identifier}
  dataset:       {dataset_uuid}
  priority:      {sync_priority} (prioritised: {has_priority})
  attempts:      {attempts}
  status:        {status}
  last update:   {last_update}

Sync source: {sync_source_name}
  connector:     {sync_source_connector}
  status:        {sync_source_status}
  owner:         {sync_source_owner}
  default scope: {sync_source_default_scope}
  config data:   {sync_source_config_data}

Connector:
{connector_info}

Sync record:
{logs}
"""


def format_connector_info(connector) -> str:
    """One line about a `ConnectorRead`, or a note when the connector is not registered."""
    if connector is None:
        return "  (connector not registered)"
    return f"  {connector.identifier}: {connector.name}"


def format_sync_source_errors(errors: Sequence) -> str:
    """One line per `SyncSourceError`, or a note when there are none."""
    if not errors:
        return "  (no errors)"
    return "\n".join(f"  [{e.id}]{'' if e.viewed else ' (new)'} {e.message}" for e in errors)


def format_sync_record_logs(sync_record: Optional[Sequence[str]]) -> str:
    """The lines of a sync item's log, or a note when it has none."""
    if not sync_record:
        return "  (no sync record)"
    return "\n".join(f"  {line}" for line in sync_record)


async def run_pip_command(cmd: List[str]) -> str:
    """Runs the installer command (the service runner with "self", "pip" and pip's arguments) as a
    subprocess without blocking the event loop; its output when it succeeds.

    Raises:
        subprocess.CalledProcessError: If it exits with a non-zero status; carries the output.
    """
    process = await asyncio.create_subprocess_exec(*cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                   stderr=subprocess.PIPE)
    try:
        out, err = await process.communicate()
    except BaseException:
        # Cancelled (or interrupted) while pip runs: pip does not go on alone.
        process.kill()
        await process.wait()
        raise
    stdout = out.decode(errors="replace")
    stderr = err.decode(errors="replace")
    if process.returncode != 0:
        raise subprocess.CalledProcessError(process.returncode, cmd, output=stdout, stderr=stderr)
    return stdout


def format_subprocess_error(error: subprocess.CalledProcessError) -> str:
    """What went wrong, in pip's words: its "ERROR:" lines; else the last line the command wrote;
    else the exit status."""
    lines = []
    for text in (error.stderr, error.output):
        if isinstance(text, bytes):
            text = text.decode(errors="replace")
        lines += [line.strip() for line in (text or "").splitlines() if line.strip()]
    reported = [line.removeprefix("ERROR:").strip() for line in lines if line.startswith("ERROR:")]
    if reported:
        return "\n".join(reported)
    if lines:
        return lines[-1]
    return f"the installer exited with status {error.returncode}"


def validate_local_package_path(package_path: str) -> Optional[str]:
    """The absolute path of a package directory that holds a pyproject.toml file.

    Raises:
        FileNotFoundError: If the path is not a directory or has no pyproject.toml.
    """
    directory = Path(package_path).expanduser()
    if not directory.is_dir():
        raise FileNotFoundError(f"Package path is not a directory: {package_path}")
    if not (directory / "pyproject.toml").is_file():
        raise FileNotFoundError(f"No pyproject.toml in package directory: {package_path}")
    return str(directory.resolve())
