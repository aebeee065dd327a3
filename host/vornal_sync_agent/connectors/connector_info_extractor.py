"""Describes a connector as a plain dict that `ConnectorDefinition.model_validate` accepts."""
import dataclasses


def get_sync_source_info(identifier: str, sync_class: type, config_class: type) -> dict:
    fields = [
        {"name": f.name,
         "type": getattr(f.type, "__name__", str(f.type)),
         "required": f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING}
        for f in dataclasses.fields(config_class)
    ]
    return {"identifier": identifier, "config_class": config_class.__name__,
            "has_owner": bool(sync_class.has_owner), "config_fields": fields}
