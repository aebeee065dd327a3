"""Smoke test of an installed wheel: imports every module of vornal_api.python_api found in the
environment, checks that each comes from the environment (not a build tree) with its stub and
py.typed marker beside it, and runs one call of each through the application's packages on a
scratch store and log directory. Run it with the environment's interpreter, outside the checkout."""
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


async def logs_call(module, scratch):
    pathlib.Path(scratch, "vornal_api.log").write_text("2026-12-10 09:00:00,000 INFO service started\n")
    return module.get_recent_log_lines(module.LogService.api, 1)


# One call per module, through the application's packages.
CALLS = {
    "vornal_api.python_api.sync.feedwells": feedwells_call,
    "vornal_api.python_api.admin.logs": logs_call,
}


def main():
    site_packages = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    names = installed_modules()
    if not names:
        sys.exit("smoke: no modules installed")
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["VORNAL_SYNC_DB"] = os.path.join(scratch, "sync_agent.sqlite3")
        os.environ["VORNAL_LOG_DIR"] = scratch
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
                print(f"smoke: {name} imported; it has no smoke call yet")
                continue
            print(f"smoke: {name}: {asyncio.run(call(module, scratch))!r}")


if __name__ == "__main__":
    main()
