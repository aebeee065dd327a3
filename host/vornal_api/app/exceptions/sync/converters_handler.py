"""Converter package errors; each is raised with its message."""


class ConverterInstallError(Exception):
    pass


class ConverterInvalidPackagePathError(Exception):
    pass


class ConverterUninstallError(Exception):
    pass


class ConverterUpdateError(Exception):
    pass
