"""Authentication errors."""


class NoUserLoggedInError(Exception):
    pass
