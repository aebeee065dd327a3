"""Stand-in for the sync agent package: its log file name and the subpackages the modules import."""

LOG_FILE_NAME = "vornal_sync_agent.log"
