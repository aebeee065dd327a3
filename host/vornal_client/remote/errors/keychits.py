"""Errors of the remote token endpoints."""


class APITokenNotFound(Exception):
    """The platform knows no token with the given uid."""
