"""Report template and formatters shared by the sync modules."""
from typing import Optional, Sequence

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
