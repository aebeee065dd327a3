"""Log-reader errors."""


class LogFileNotFoundError(Exception):
    pass
