"""Connector package errors; each is raised with its message."""


class ConnectorInstallError(Exception):
    pass


class ConnectorInvalidPackagePathError(Exception):
    pass


class ConnectorUninstallError(Exception):
    pass


class ConnectorUpdateError(Exception):
    pass
