"""Plug-ins of installed packages: the entry points that the distributions in the service's
environment register under a group, found through importlib.metadata."""
import importlib
import importlib.metadata
import site
import sys
import sysconfig
from pathlib import Path

from vornal_client.settings.folders import get_service_env_dir


def service_site_packages() -> Path:
    env = str(get_service_env_dir())
    return Path(sysconfig.get_path("purelib", scheme="venv", vars={"base": env, "platbase": env}))


def _forget(entry_point: importlib.metadata.EntryPoint) -> None:
    """Drops the entry point's top-level package, and everything below it, from the imported
    modules when the package is one of its distribution's files, so that loading imports the
    installed version afresh."""
    top = entry_point.module.partition(".")[0]
    root = Path(entry_point.dist.locate_file("")).resolve()
    module = sys.modules.get(top)
    path = getattr(module, "__file__", None)
    if path is None or not Path(path).resolve().is_relative_to(root):
        return
    for name in [name for name in sys.modules if name == top or name.startswith(top + ".")]:
        del sys.modules[name]


def discover(group: str, reload: bool) -> dict:
    """Entry-point name -> loaded object, for every installed distribution that registers one
    under `group`; with `reload`, plug-in modules loaded before are imported again."""
    site_dir = service_site_packages()
    if site_dir.is_dir():
        site.addsitedir(str(site_dir))  # also reads its .pth files (editable installs)
    importlib.invalidate_caches()
    found = {}
    for entry_point in importlib.metadata.entry_points(group=group):
        if reload:
            _forget(entry_point)
        found[entry_point.name] = entry_point.load()
    return found
