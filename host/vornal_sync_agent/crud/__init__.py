"""Data-access objects of the stand-in sync agent and the errors they raise."""


class NotFound(LookupError):
    """A requested row does not exist."""


class AlreadyExists(ValueError):
    """A row with the same unique key exists already."""
