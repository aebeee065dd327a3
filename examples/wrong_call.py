"""Mistakes that the modules' stubs let a type checker catch before the code runs. The type check
passes only if it reports an error on exactly the lines marked `# wrong`."""
from vornal_api.python_api.admin.logs import get_recent_log_lines
from vornal_api.python_api.sync.feedwells import generate_sync_source_report, start_sync_source


async def mistakes() -> None:
    await start_sync_source("3")  # wrong: the identifier is an int
    print(start_sync_source(3).status)  # wrong: the coroutine is not awaited
    title: int = await generate_sync_source_report(3, "stuck")  # wrong: the report is a str
    print(title, get_recent_log_lines("api", 5))  # wrong: the service is a LogService member
