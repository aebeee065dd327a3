"""A module loaded in the main interpreter is refused by every other interpreter of the process,
and keeps working in the main one."""
import importlib
import sys

import _interpreters
import pytest
from concurrent import interpreters

import discovery
from hostile import Fixed, install, restore, run_to_end

IMPORT = """
import sys
sys.path[:0] = {path!r}
try:
    import {name}
    queue.put("imported")
except ImportError as error:
    queue.put(str(error))
"""


def _import_in(interpreter, name):
    queue = interpreters.create_queue()
    try:
        interpreter.prepare_main(queue=queue)
        interpreter.exec(IMPORT.format(path=sys.path, name=name))
        return queue.get(timeout=30)
    finally:
        interpreter.close()


def _isolated():
    return interpreters.create()


def _sharing_the_main_lock():
    # An interpreter of the older kind: one lock with the main one, no check of the module's
    # declared support for subinterpreters, so that the module's own create step decides.
    return interpreters.Interpreter(_interpreters.create(_interpreters.new_config("legacy")))


def _outcome(module):
    """Every function of the module run once against well-behaved stand-ins."""
    script = Fixed()
    saved = install(module, script)
    try:
        return [run_to_end(function, script) for function in discovery.functions(module)]
    finally:
        restore(module, saved)


@pytest.mark.parametrize("name", discovery.module_names())
@pytest.mark.parametrize("make, refusal", [
    (_sharing_the_main_lock, "Interpreter change detected - this module can only be loaded into one interpreter per "
                             "process."),
    (_isolated, "module {name} does not support loading in subinterpreters"),
], ids=["legacy", "isolated"])
def test_second_interpreter_is_refused_and_the_main_module_keeps_working(name, make, refusal):
    module = importlib.import_module(name)
    before = _outcome(module)
    assert _import_in(make(), name) == refusal.format(name=name)
    assert sys.modules[name] is module
    assert _outcome(module) == before
