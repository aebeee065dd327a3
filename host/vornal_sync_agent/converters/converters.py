"""The converter registry: the converters that installed packages register under the entry-point
group "vornal_sync_agent.converters" (entry-point name: the identifier; object: the converter
class, with `name`)."""
from dataclasses import dataclass

from vornal_sync_agent.plugins import discover

GROUP = "vornal_sync_agent.converters"


@dataclass(frozen=True)
class ConverterEntry:
    identifier: str
    name: str
    converter_class: type


CONVERTERS: dict = {}


def get_converters(scan: bool = False, reload: bool = False) -> dict:
    """The registry: converter identifier -> entry; `scan` rediscovers the installed packages,
    `reload` imports their modules again."""
    if scan:
        found = discover(GROUP, reload)
        CONVERTERS.clear()
        for identifier, converter_class in found.items():
            CONVERTERS[identifier] = ConverterEntry(identifier, getattr(converter_class, "name", identifier),
                                                    converter_class)
    return CONVERTERS
