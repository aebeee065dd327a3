"""Errors of the local API-token store."""


class TokenNotFoundError(Exception):
    pass


class UserAlreadyHasTokenError(Exception):
    pass
