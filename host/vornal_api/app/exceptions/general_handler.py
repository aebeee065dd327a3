"""Errors of operations on the remote platform."""


class ServerOperationError(Exception):
    pass


class ServerUnreachableError(Exception):
    pass
