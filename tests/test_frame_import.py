"""Loading the feedwells module: failed imports of outside names, what a failed load leaves
behind, re-initialisation and loading into a second interpreter. Each case runs in a fresh
interpreter, since a module can be loaded only once per process."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from fakes import MODULE_NAME, SOURCE_PATH

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(TOP, "build")), "python")
HOST = os.path.join(TOP, "host")
INIT_ENTRY = f"init {MODULE_NAME}"


def run_python(code, cwd, first=()):
    """Runs `code` in a new interpreter with `first`, then the host stand-ins, then the built
    modules on the path (the order the test session uses), and returns its JSON output."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*first, HOST, BUILD])
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=env,
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.strip().splitlines()[-1])


def write_shadow(root, package, module, missing):
    """Writes under `root` a stand-in of `package` that is the host's one except that its
    submodule `module` lacks the name `missing`. The other submodules still come from the
    host, through the package path."""
    host_package = os.path.join(HOST, package)
    shadow_package = os.path.join(root, package)
    os.makedirs(shadow_package)
    with open(os.path.join(shadow_package, "__init__.py"), "w") as f:
        f.write(textwrap.dedent(f"""\
            import os as _os
            __path__.append({host_package!r})
            _init = _os.path.join({host_package!r}, "__init__.py")
            if _os.path.exists(_init):
                with open(_init) as _f:
                    exec(compile(_f.read(), _init, "exec"))
            """))
    source = os.path.join(host_package, module + ".py")
    assert os.path.exists(source), source
    with open(os.path.join(shadow_package, module + ".py"), "w") as f:
        f.write(textwrap.dedent(f"""\
            with open({source!r}) as _f:
                exec(compile(_f.read(), {source!r}, "exec"))
            del {missing}
            """))


REPORT_FAILURE = """
    import json, sys, traceback, importlib
    NAME = %r
    out = {}
    try:
        importlib.import_module(NAME)
    except ImportError as exc:
        out["type"] = type(exc).__name__
        out["message"] = str(exc)
        out["entries"] = [[e.name, e.filename, e.lineno]
                          for e in traceback.extract_tb(exc.__traceback__)]
    else:
        out["type"] = None
    out["left_in_sys_modules"] = NAME in sys.modules
""" % MODULE_NAME

REPORT_RETRY = """
    module = importlib.import_module(NAME)
    out["retry_binds_fixed_name"] = module.get_db_session_context is replacement
    print(json.dumps(out))
"""


def _init_entry(out):
    """The traceback entry that the failed load added; returns its line."""
    entries = [entry for entry in out["entries"] if entry[0] == INIT_ENTRY]
    assert entries, out["entries"]
    _, filename, lineno = entries[0]
    assert filename == SOURCE_PATH
    assert lineno > 0
    return lineno


@pytest.fixture(scope="module")
def missing_name(tmp_path_factory):
    """Loads the module while the sync agent's db module lacks get_db_session_context, then
    again after the name was put there."""
    root = tmp_path_factory.mktemp("missing_name")
    shadow = root / "shadow"
    write_shadow(str(shadow), "vornal_sync_agent", "db", "get_db_session_context")
    return run_python(REPORT_FAILURE + """
    import vornal_sync_agent.db as db
    out["shadow_used"] = not hasattr(db, "get_db_session_context")
    def replacement():
        pass
    db.get_db_session_context = replacement
    """ + REPORT_RETRY, cwd=root, first=[str(shadow)])


@pytest.fixture(scope="module")
def missing_module(tmp_path_factory):
    """Loads the module while the sync agent's crud module cannot be imported, then again
    after it can."""
    return run_python("""
    import sys
    sys.modules["vornal_sync_agent.crud.feedwells"] = None
    """ + REPORT_FAILURE + """
    del sys.modules["vornal_sync_agent.crud.feedwells"]
    import vornal_sync_agent.db as db
    replacement = db.get_db_session_context
    """ + REPORT_RETRY, cwd=tmp_path_factory.mktemp("missing_module"))


def test_missing_name_fails_import(missing_name):
    out = missing_name
    assert out["shadow_used"]
    assert out["type"] == "ImportError"
    assert out["message"] == "cannot import name get_db_session_context"
    assert out["left_in_sys_modules"] is False
    _init_entry(out)
    # The failed module was forgotten: the next import built a fresh one that has the name.
    assert out["retry_binds_fixed_name"] is True


def test_missing_module_fails_import_with_interpreters_error(missing_module):
    out = missing_module
    assert out["type"] == "ModuleNotFoundError"
    assert "vornal_sync_agent.crud.feedwells" in out["message"]
    assert out["left_in_sys_modules"] is False
    _init_entry(out)
    assert out["retry_binds_fixed_name"] is True


def test_entry_line_is_that_of_the_failing_statement(missing_name, missing_module):
    # crud_feedwells is imported just before get_db_session_context.
    assert _init_entry(missing_module) < _init_entry(missing_name)


def test_reinitialisation_with_another_module_object_fails(tmp_path):
    out = run_python("""
    import importlib.util, json, sys
    NAME = %r
    spec = importlib.util.find_spec(NAME)
    first = importlib.util.module_from_spec(spec)
    second = importlib.util.module_from_spec(spec)
    out = {"distinct": first is not second}
    spec.loader.exec_module(first)
    out["registered"] = sys.modules.get(NAME) is first
    out["test_dict"] = first.__test__ == {}
    marker = first.crud_feedwells = object()
    spec.loader.exec_module(first)
    out["same_object_exec_is_noop"] = first.crud_feedwells is marker
    out["create_returns_initialised"] = importlib.util.module_from_spec(spec) is first
    try:
        spec.loader.exec_module(second)
    except RuntimeError as exc:
        out["error"] = str(exc)
    print(json.dumps(out))
    """ % MODULE_NAME, cwd=tmp_path)
    assert out == {
        "distinct": True,
        "registered": True,
        "test_dict": True,
        "same_object_exec_is_noop": True,
        "create_returns_initialised": True,
        "error": "Module 'feedwells' has already been imported. "
                 "Re-initialisation is not supported.",
    }


def test_second_interpreter_cannot_load_module(tmp_path):
    out = run_python("""
    import json, _interpreters
    import %s
    interp = _interpreters.create("legacy")
    try:
        info = _interpreters.exec(interp, "import %s")
    finally:
        _interpreters.destroy(interp)
    print(json.dumps({"type": info.type.__name__, "message": info.msg}))
    """ % (MODULE_NAME, MODULE_NAME), cwd=tmp_path)
    assert out == {
        "type": "ImportError",
        "message": "Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.",
    }
