"""Smoke test of an installed wheel: imports every module of vornal_api.python_api found in the
environment, checks that each comes from the environment (not a build tree) with its stub and
py.typed marker beside it, and runs one call of each through the application's packages on a
scratch store and log directory (a token against a platform served on the loopback interface;
plug-in registries read without installing anything). Run it with the environment's interpreter,
outside the checkout."""
import asyncio
import importlib
import importlib.machinery
import os
import pathlib
import pkgutil
import sys
import sysconfig
import tempfile


def installed_modules():
    """Dotted names of the extension modules under vornal_api.python_api, found on the path."""
    package = importlib.import_module("vornal_api.python_api")
    names = []
    for info in pkgutil.walk_packages(package.__path__, "vornal_api.python_api."):
        spec = info.module_finder.find_spec(info.name, None)
        if spec and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            names.append(info.name)
    return sorted(names)


async def feedwells_call(module, scratch):
    return [source.name for source in await module.list_feedwells()]


async def lotlings_call(module, scratch):
    from vornal_sync_agent.crud.feedwells import crud_feedwells
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import SyncItem

    async with get_db_session_context() as session:
        source = await crud_feedwells.create_sync_source(session, "smoke", "folder", {"path": scratch})
        session.add(SyncItem(sync_source_id=source.id, data_identifier="smoke.h5", attempts=1))
    return [item.data_identifier for item in await module.list_lotlings(source.id, is_synchronized=False)]


async def keychits_call(module, scratch):
    from loopback_platform import PlatformServer
    from vornal_client.local.database import get_db_session_context
    from vornal_client.local.model import Users

    os.environ["VORNAL_USER_SUB"] = "user-smoke"
    with get_db_session_context() as session:
        session.add(Users(username="user-smoke"))
    with PlatformServer() as platform:
        os.environ["VORNAL_SERVER_URL"] = platform.url
        created = await module.create_api_token("smoke")
        await module.delete_api_token(created.uid)
        return created.name, platform.knows(created.uid)


async def connectors_call(module, scratch):
    return [connector.identifier for connector in module.list_connectors()]


async def converters_call(module, scratch):
    return [converter.identifier for converter in module.list_converters()]


async def logs_call(module, scratch):
    pathlib.Path(scratch, "vornal_api.log").write_text("2026-12-10 09:00:00,000 INFO service started\n")
    return module.get_recent_log_lines(module.LogService.api, 1)


# One call per module, through the application's packages.
CALLS = {
    "vornal_api.python_api.sync.feedwells": feedwells_call,
    "vornal_api.python_api.sync.lotlings": lotlings_call,
    "vornal_api.python_api.auth.local.keychits": keychits_call,
    "vornal_api.python_api.sync.connectors": connectors_call,
    "vornal_api.python_api.sync.converters": converters_call,
    "vornal_api.python_api.admin.logs": logs_call,
}


def main():
    site_packages = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    names = installed_modules()
    missing = sorted(CALLS.keys() - set(names))
    if missing:
        sys.exit(f"smoke: {', '.join(missing)} not installed")
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_CLIENT_DB"] = os.path.join(scratch, "client.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
        os.environ["VORNAL_SERVICE_ENV"] = os.path.join(scratch, "service-env")
        for name in names:
            module = importlib.import_module(name)
            path = pathlib.Path(module.__file__).resolve()
            if not path.is_relative_to(site_packages):
                sys.exit(f"smoke: {name} comes from {path}, not from {site_packages}")
            stub = path.with_name(name.rpartition(".")[2] + ".pyi")
            if not stub.is_file() or not path.with_name("py.typed").is_file():
                sys.exit(f"smoke: {name} is installed without its stub or py.typed marker")
            call = CALLS.get(name)
            if call is None:
                sys.exit(f"smoke: {name} is installed, but has no smoke call")
            print(f"smoke: {name}: {asyncio.run(call(module, scratch))!r}")


if __name__ == "__main__":
    main()
