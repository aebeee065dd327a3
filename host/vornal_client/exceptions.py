"""Errors of the client package."""


class APIKeyInvalidException(Exception):
    """The remote platform rejects an API key."""
