"""The client's local store: the users who have logged in on this machine and their API tokens."""
