"""Converters of the sync agent: plug-ins of installed packages (see .converters)."""
