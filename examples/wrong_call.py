"""Mistakes that the modules' stubs let a type checker catch before the code runs. The type check
passes only if it reports an error on exactly the lines marked `# wrong`."""
from vornal_api.python_api.admin.logs import get_recent_log_lines
from vornal_api.python_api.auth.local.keychits import create_api_token, delete_api_token
from vornal_api.python_api.sync.connectors import install_connector_from_local_path, list_connectors
from vornal_api.python_api.sync.converters import uninstall_converter
from vornal_api.python_api.sync.feedwells import generate_sync_source_report, start_sync_source
from vornal_api.python_api.sync.lotlings import get_sync_item, list_lotlings


async def mistakes() -> None:
    await start_sync_source("3")  # wrong: the identifier is an int
    print(start_sync_source(3).status)  # wrong: the coroutine is not awaited
    title: int = await generate_sync_source_report(3, "stuck")  # wrong: the report is a str
    print(title, get_recent_log_lines("api", 5))  # wrong: the service is a LogService member
    await list_lotlings(1, order_by="attempts")  # wrong: the sort key is a SyncItemSortKey member
    print((await get_sync_item(2)).uid)  # wrong: a sync item has no uid
    await delete_api_token(await create_api_token())  # wrong: the uid is a str, not the created token
    await install_connector_from_local_path("./plugin", True, "extra")  # wrong: two parameters at most
    for connector in await list_connectors():  # wrong: list_connectors is not a coroutine function
        print(connector)
    uninstall_converter("bench-converter")  # wrong: the coroutine is not awaited
