"""The package modules end to end with the real installer: pip run by the service runner program
in a virtual environment made once for the test session, offline, with plug-in packages built from
local directories or served as wheels by a package index on the loopback interface; the registries
find what is installed through the packages' entry points."""
import asyncio
import base64
import functools
import hashlib
import http.server
import os
import subprocess
import textwrap
import threading
import zipfile

import pytest

from packages_fakes import CONNECTORS, CONVERTERS, load, run

pytestmark = pytest.mark.timeout(600)

# What a plug-in package registers, for each module: entry-point group and the object it names.
PLUGIN_KINDS = {
    "connectors": ("vornal_sync_agent.connectors",
                   "class Config:\n    pass\n\n\nclass Plugin:\n    name = {title!r}\n    config_class = Config\n"),
    "converters": ("vornal_sync_agent.converters", "class Plugin:\n    name = {title!r}\n"),
}


@pytest.fixture(scope="session")
def service_env(tmp_path_factory):
    """The service's virtual environment for this session: made by the runner on its first call."""
    env_dir = tmp_path_factory.mktemp("service") / "env"
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("VORNAL_SERVICE_ENV", str(env_dir))
        yield env_dir


def write_package(directory, short, distribution, version, title):
    """A plug-in package source: pyproject.toml and one module whose `Plugin` class is registered
    under the identifier "<distribution>"."""
    group, body = PLUGIN_KINDS[short]
    module_name = distribution.replace("-", "_")
    (directory / module_name).mkdir(parents=True, exist_ok=True)
    (directory / module_name / "__init__.py").write_text(body.format(title=title))
    (directory / "pyproject.toml").write_text(textwrap.dedent(f"""\
        [build-system]
        requires = ["setuptools"]
        build-backend = "setuptools.build_meta"

        [project]
        name = "{distribution}"
        version = "{version}"

        [project.entry-points."{group}"]
        {distribution} = "{module_name}:Plugin"
        """))
    return directory


def listed(module, twin):
    return {item.identifier: item.name for item in getattr(module, twin.functions[0])()}


@pytest.mark.parametrize("twin", [CONNECTORS, CONVERTERS], ids=lambda t: t.short)
def test_install_list_update_uninstall_from_a_local_directory(service_env, tmp_path, twin):
    module = load(twin)
    noun = twin.noun
    distribution = f"vornal-local-{noun}"
    source = write_package(tmp_path / "source", twin.short, distribution, "1.0", f"Local {noun} 1.0")
    assert distribution not in listed(module, twin)

    run(getattr(module, twin.fn("install_{}_from_local_path"))(str(source)))
    assert listed(module, twin)[distribution] == f"Local {noun} 1.0"

    write_package(source, twin.short, distribution, "1.1", f"Local {noun} 1.1")
    run(getattr(module, twin.fn("update_{}_from_local_path"))(str(source)))
    assert listed(module, twin)[distribution] == f"Local {noun} 1.1"

    run(getattr(module, twin.fn("uninstall_{}"))(distribution))
    assert distribution not in listed(module, twin)


def test_relative_path_is_installed_and_reported_as_absolute(service_env, tmp_path, monkeypatch):
    module = load(CONNECTORS)
    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "pyproject.toml").write_text("this is not toml [\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(module.ConnectorInstallError) as info:
        run(module.install_connector_from_local_path("broken"))
    assert str(info.value).startswith(f"Failed to install connector from '{broken}': ")
    assert isinstance(info.value.__cause__, subprocess.CalledProcessError)
    assert info.value.__cause__.cmd[-1] == str(broken)


@pytest.mark.parametrize("twin", [CONNECTORS, CONVERTERS], ids=lambda t: t.short)
def test_a_directory_without_pyproject_is_refused_before_pip_runs(service_env, tmp_path, twin):
    module = load(twin)
    with pytest.raises(getattr(module, f"{twin.prefix}InvalidPackagePathError")) as info:
        run(getattr(module, twin.fn("update_{}_from_local_path"))(str(tmp_path)))
    assert isinstance(info.value.__cause__, FileNotFoundError)
    assert str(tmp_path) in str(info.value)


def test_without_an_index_pip_finds_nothing_and_says_so(service_env):
    module = load(CONNECTORS)
    ticks = 0

    async def ticking():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.01)
            ticks += 1

    async def install_while_ticking():
        ticker = asyncio.create_task(ticking())
        try:
            await module.install_connector_from_pypi("vornal-nowhere", "1.0")
        finally:
            ticker.cancel()

    with pytest.raises(module.ConnectorInstallError) as info:
        asyncio.run(install_while_ticking())
    assert ticks > 3  # the event loop went on while pip ran
    message = str(info.value)
    assert message.startswith("Failed to install connector 'vornal-nowhere': ")
    assert "vornal-nowhere==1.0" in message and "ERROR" not in message
    failure = info.value.__cause__
    assert isinstance(failure, subprocess.CalledProcessError) and failure.returncode != 0
    assert "No matching distribution" in failure.stderr


def test_the_runner_takes_only_self_pip(service_env):
    from vornal_client.settings.folders import get_service_runner_path

    result = subprocess.run([str(get_service_runner_path()), "pip", "list"], capture_output=True, text=True)
    assert result.returncode == 2 and "usage" in result.stderr


# ---- a package index on the loopback interface ---------------------------------------------

class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture
def package_index(tmp_path):
    """A simple package index (PEP 503 layout: /simple/<project>/ lists its files) served over HTTP
    from a thread; `publish(project, wheel)` adds a file, the index URL is `.url`."""
    root = tmp_path / "index"
    (root / "simple").mkdir(parents=True)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(QuietHandler, directory=str(root)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()

    class Index:
        url = f"http://127.0.0.1:{server.server_address[1]}/simple/"

        @staticmethod
        def publish(project, wheel):
            project_dir = root / "simple" / project
            project_dir.mkdir(exist_ok=True)
            os.replace(wheel, project_dir / wheel.name)
            links = "".join(f'<a href="{f.name}">{f.name}</a>\n' for f in sorted(project_dir.glob("*.whl")))
            (project_dir / "index.html").write_text(f"<!DOCTYPE html>\n<html><body>\n{links}</body></html>\n")

    try:
        yield Index
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def build_wheel(directory, short, distribution, version, title):
    """A wheel of the plug-in package that `write_package` describes, zipped here: its module, and
    the metadata, entry points and record that pip reads."""
    group, body = PLUGIN_KINDS[short]
    module_name = distribution.replace("-", "_")
    info = f"{module_name}-{version}.dist-info"
    files = {
        f"{module_name}/__init__.py": body.format(title=title),
        f"{info}/METADATA": f"Metadata-Version: 2.1\nName: {distribution}\nVersion: {version}\n",
        f"{info}/WHEEL": "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
        f"{info}/entry_points.txt": f"[{group}]\n{distribution} = {module_name}:Plugin\n",
    }
    record = [f"{name},sha256={_digest(text.encode())},{len(text.encode())}" for name, text in files.items()]
    files[f"{info}/RECORD"] = "\n".join(record + [f"{info}/RECORD,,"]) + "\n"
    wheel = directory / f"{module_name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, text in files.items():
            archive.writestr(name, text)
    return wheel


def _digest(data):
    return base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


@pytest.mark.parametrize("twin", [CONNECTORS, CONVERTERS], ids=lambda t: t.short)
def test_install_and_upgrade_from_an_index(service_env, tmp_path, package_index, twin):
    module = load(twin)
    distribution = f"vornal-indexed-{twin.noun}"
    package_index.publish(distribution, build_wheel(tmp_path, twin.short, distribution, "1.0", "Indexed 1.0"))

    run(getattr(module, twin.fn("install_{}_from_pypi"))(distribution, index_url=package_index.url))
    assert listed(module, twin)[distribution] == "Indexed 1.0"

    package_index.publish(distribution, build_wheel(tmp_path, twin.short, distribution, "2.0", "Indexed 2.0"))
    run(getattr(module, twin.fn("update_{}_from_pypi"))(distribution, package_index.url))
    assert listed(module, twin)[distribution] == "Indexed 2.0"

    if twin is CONNECTORS:
        # A version with its own comparison goes to pip as a requirement it understands.
        run(module.install_connector_from_pypi(distribution, "<2.0", package_index.url))
        assert listed(module, twin)[distribution] == "Indexed 1.0"

    run(getattr(module, twin.fn("uninstall_{}"))(distribution))
    assert distribution not in listed(module, twin)


def test_missing_version_on_the_index_is_reported(service_env, tmp_path, package_index):
    module = load(CONNECTORS)
    distribution = "vornal-indexed-missing"
    package_index.publish(distribution, build_wheel(tmp_path, "connectors", distribution, "1.0", "Only 1.0"))
    with pytest.raises(module.ConnectorInstallError) as info:
        run(module.install_connector_from_pypi(distribution, "3.0", package_index.url))
    assert str(info.value).startswith(f"Failed to install connector '{distribution}': ")
    assert "(from versions: 1.0)" in str(info.value)
    assert distribution not in listed(module, CONNECTORS)

