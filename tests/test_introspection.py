"""What documentation tools show of the modules: help() and pydoc list the functions with their
signatures (async for coroutine functions) and docstrings, inspect.signature reads parameters,
defaults and annotations, and a module function read through a class stays itself."""
import importlib
import inspect
import pydoc
import re

import pytest

FEEDWELLS = "vornal_api.python_api.sync.feedwells"
LOGS = "vornal_api.python_api.admin.logs"

SIGNATURES = [
    (FEEDWELLS, "list_feedwells", "()"),
    (FEEDWELLS, "read_sync_source_errors",
     "(source_id: 'int', skip: 'int' = 0, limit: 'int' = 100, viewed: 'Optional[bool]' = None)"
     " -> 'List[SyncSourceError]'"),
    (FEEDWELLS, "reset_sync_source_lotlings",
     "(source_id: 'int', include_successful: 'bool' = False) -> 'int'"),
    (LOGS, "get_recent_log_lines", "(service: 'LogService', n: 'int') -> 'List[str]'"),
    (LOGS, "_iter_log_records", "(raw_lines: 'Iterator[str]') -> 'Iterator[str]'"),
]


@pytest.mark.parametrize("module_name, name, expected", SIGNATURES, ids=[row[1] for row in SIGNATURES])
def test_signature(module_name, name, expected):
    function = getattr(importlib.import_module(module_name), name)
    signature = inspect.signature(function)
    assert str(signature) == expected
    bound = signature.bind(*[object() for p in signature.parameters.values() if p.default is p.empty])
    bound.apply_defaults()
    assert list(bound.arguments) == list(signature.parameters)


def public_functions(module):
    return {name: value for name, value in vars(module).items()
            if not name.startswith("_") and inspect.isroutine(value) and value.__module__ == module.__name__}


@pytest.mark.parametrize("module_name, heading", [
    (FEEDWELLS, "    async get_sync_source(source_id: int)\n"),
    (LOGS, "    get_recent_log_lines(service: LogService, n: int) -> List[str]\n"),
])
def test_help_lists_every_public_function_with_signature_and_docstring(module_name, heading, capsys):
    module = importlib.import_module(module_name)
    help(module)
    shown = capsys.readouterr().out
    functions = shown[shown.index("\nFUNCTIONS\n"):shown.index("\nDATA\n")]
    assert functions in pydoc.plain(pydoc.render_doc(module))
    assert heading in functions
    listed = re.findall(r"^    (async )?(\w+)\(", functions, re.M)
    public = sorted(public_functions(module).items())
    assert listed == [("async " if inspect.iscoroutinefunction(f) else "", name) for name, f in public]
    for name, function in public:
        signature_line, _, first_prose = function.__doc__.splitlines()[:3]
        assert f"\n        {signature_line}\n\n        {first_prose}\n" in functions, name


def test_function_read_through_a_class_stays_itself():
    logs = importlib.import_module(LOGS)
    function = logs.get_recent_log_lines

    class Service:
        read = function

    assert Service.read is function
    assert Service().read is function
    assert inspect.isroutine(function) and not inspect.ismethod(Service().read)
