"""Stand-in for the client package: user settings, folders and the bug-report endpoint."""
