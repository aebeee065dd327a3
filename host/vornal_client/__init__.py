"""Stand-in for the client package: user settings, folders, the bug-report endpoint, and the local
store and remote endpoints of API tokens."""
