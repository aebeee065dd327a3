"""The connector registry with plug-ins: the built-in connectors, then those that installed
packages register under the entry-point group "vornal_sync_agent.connectors" (entry-point name:
the identifier; object: the sync class, with its `config_class` and optionally a display `name`;
a class without a configuration class is no connector and is left out). A scan rebuilds the
package's registry in place, so every reader of it sees the installed connectors."""
from vornal_sync_agent.connectors import SYNC_CONNECTORS, ConnectorEntry
from vornal_sync_agent.plugins import discover

GROUP = "vornal_sync_agent.connectors"
_BUILT_IN = dict(SYNC_CONNECTORS)


def get_sync_connectors(scan: bool = False, reload: bool = False) -> dict:
    """The registry: connector identifier -> entry; `scan` rediscovers the installed packages,
    `reload` imports their modules again."""
    if scan:
        found = discover(GROUP, reload)
        SYNC_CONNECTORS.clear()
        SYNC_CONNECTORS.update(_BUILT_IN)
        for identifier, sync_class in found.items():
            if hasattr(sync_class, "config_class"):
                SYNC_CONNECTORS.setdefault(identifier, ConnectorEntry(
                    identifier, getattr(sync_class, "name", identifier), sync_class.config_class, sync_class))
    return SYNC_CONNECTORS
