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
