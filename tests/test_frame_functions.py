"""Function objects of the feedwells module: attributes, docstrings, annotations, setters, and
the checking of arguments when a function is called."""
import ctypes
import decimal
import fractions
import gc
import inspect
import types
import warnings

import pytest

from fakes import (  # noqa: F401  (fixtures)
    CATALOGUE, MODULE_NAME, SOURCE_PATH, drive, env, feedwells)
from feedwells_fakes import FloatingText

# --- attributes -------------------------------------------------------------------------------

INTERFACE = [
    # name, signature line, first sentence, annotations
    ("list_feedwells", "list_feedwells()",
     "List all sync sources using the CRUD layer.", {}),
    ("get_sync_source", "get_sync_source(int source_id: int)",
     "Get a single sync source by id using the CRUD layer.", {"source_id": "int"}),
    ("get_sync_source_by_name", "get_sync_source_by_name(str name: str)",
     "Get a single sync source by name using the CRUD layer.", {"name": "str"}),
    ("delete_sync_source", "delete_sync_source(int source_id: int) -> None",
     "Delete a sync source using the CRUD layer.", {"source_id": "int", "return": "None"}),
]


@pytest.mark.parametrize("name, signature, first_sentence, annotations", INTERFACE,
                         ids=[row[0] for row in INTERFACE])
def test_docstring_and_annotations(feedwells, name, signature, first_sentence, annotations):
    func = getattr(feedwells, name)
    lines = func.__doc__.split("\n")
    assert lines[0] == signature
    assert lines[1] == ""
    # The prose may be wrapped and indented; compare it with runs of whitespace collapsed.
    prose = " ".join(" ".join(lines[2:]).split())
    assert prose.startswith(first_sentence)
    assert type(func.__annotations__) is dict
    assert func.__annotations__ == annotations


INTERFACE_ANNOTATIONS = {row[0]: row[3] for row in INTERFACE}


@pytest.mark.parametrize("name", list(CATALOGUE))
def test_function_attributes(feedwells, name):
    func = getattr(feedwells, name)
    assert callable(func)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == MODULE_NAME
    assert func.__defaults__ is None
    assert func.__kwdefaults__ is None
    assert func.__globals__ is vars(feedwells)
    assert type(func.__dict__) is dict


@pytest.mark.parametrize("name", list(CATALOGUE))
def test_code_object(feedwells, name):
    params = CATALOGUE[name]
    code = getattr(feedwells, name).__code__
    assert isinstance(code, types.CodeType)
    assert code.co_name == name
    assert code.co_filename == SOURCE_PATH
    assert code.co_flags == 0x83
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames[:len(params)] == params
    assert code.co_firstlineno > 0


def test_definitions_follow_source_order(feedwells):
    lines = [getattr(feedwells, name).__code__.co_firstlineno for name in CATALOGUE]
    assert lines == sorted(lines)
    assert len(set(lines)) == len(lines)


@pytest.mark.parametrize("name", list(CATALOGUE))
def test_standard_introspection(feedwells, name):
    func = getattr(feedwells, name)
    assert inspect.iscoroutinefunction(func)
    assert not inspect.isgeneratorfunction(func)
    signature = inspect.signature(func)
    assert list(signature.parameters) == list(CATALOGUE[name])
    annotations = dict(INTERFACE_ANNOTATIONS[name])
    for param in signature.parameters.values():
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert param.default is inspect.Parameter.empty
        assert param.annotation == annotations.pop(param.name)
    assert signature.return_annotation == annotations.pop("return", inspect.Signature.empty)


# --- setters ----------------------------------------------------------------------------------

SETTER_ERRORS = [
    ("__name__", 5, "__name__ must be set to a string object"),
    ("__name__", None, "__name__ must be set to a string object"),
    ("__qualname__", b"get", "__qualname__ must be set to a string object"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [("source_id", "int")], "__annotations__ must be set to a dict object"),
]


@pytest.mark.parametrize("attr, value, message", SETTER_ERRORS,
                         ids=[f"{a}={v!r}" for a, v, _ in SETTER_ERRORS])
def test_setter_rejects_wrong_type(feedwells, attr, value, message):
    func = feedwells.get_sync_source
    before = getattr(func, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(TypeError) as info:
            setattr(func, attr, value)
    assert str(info.value) == message
    assert getattr(func, attr) == before


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_names_can_be_replaced(feedwells, attr):
    func = feedwells.get_sync_source
    try:
        setattr(func, attr, "renamed")
        assert getattr(func, attr) == "renamed"
    finally:
        setattr(func, attr, "get_sync_source")
    assert getattr(func, attr) == "get_sync_source"


def test_annotations_can_be_replaced(feedwells):
    func = feedwells.get_sync_source
    before = func.__annotations__
    replacement = {"source_id": "Any"}
    try:
        func.__annotations__ = replacement
        assert func.__annotations__ is replacement
    finally:
        func.__annotations__ = before
    assert func.__annotations__ == {"source_id": "int"}


@pytest.mark.parametrize("attr, value", [
    ("__defaults__", (5,)),
    ("__kwdefaults__", {"source_id": 5}),
])
def test_changed_defaults_warn_and_do_not_affect_calls(feedwells, env, attr, value):
    func = feedwells.get_sync_source
    try:
        with pytest.warns(RuntimeWarning):
            setattr(func, attr, value)
        assert getattr(func, attr) == value
        # Calls keep the defaults fixed at definition: the parameter is still required.
        with pytest.raises(TypeError) as info:
            func()
        assert str(info.value) == "get_sync_source() takes exactly 1 positional argument (0 given)"
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            setattr(func, attr, None)
    assert getattr(func, attr) is None
    assert env.events == []


def test_attribute_dictionary_is_writable(feedwells):
    func = feedwells.get_sync_source
    original = func.__dict__
    try:
        func.tag = "catalogue"
        assert func.__dict__["tag"] == "catalogue"
        del func.tag
        assert "tag" not in func.__dict__
        func.__dict__ = {"marker": 1}
        assert func.marker == 1
    finally:
        func.__dict__ = original
    assert not hasattr(func, "marker")


# --- argument parsing -------------------------------------------------------------------------

ARGUMENT_ERRORS = [
    # function, args, kwargs, message
    ("list_feedwells", (1,), {}, "list_feedwells() takes no arguments (1 given)"),
    ("list_feedwells", (1, 2), {}, "list_feedwells() takes no arguments (2 given)"),
    ("list_feedwells", (), {"limit": 1}, "list_feedwells() takes no keyword arguments"),
    ("list_feedwells", (1,), {"limit": 1}, "list_feedwells() takes no keyword arguments"),
    ("get_sync_source", (), {},
     "get_sync_source() takes exactly 1 positional argument (0 given)"),
    ("get_sync_source", (1, 2), {},
     "get_sync_source() takes exactly 1 positional argument (2 given)"),
    ("get_sync_source", (1, 2), {"source_id": 3},
     "get_sync_source() takes exactly 1 positional argument (2 given)"),
    ("get_sync_source", (1,), {"source_id": 2},
     "get_sync_source() got multiple values for keyword argument 'source_id'"),
    ("get_sync_source", (), {"id": 1},
     "get_sync_source() got an unexpected keyword argument 'id'"),
    ("get_sync_source", (1,), {"id": 1},
     "get_sync_source() got an unexpected keyword argument 'id'"),
    ("get_sync_source", (), {"source_id": 1, "extra": 2},
     "get_sync_source() got an unexpected keyword argument 'extra'"),
    ("get_sync_source_by_name", (), {},
     "get_sync_source_by_name() takes exactly 1 positional argument (0 given)"),
    ("get_sync_source_by_name", ("a", "b", "c"), {},
     "get_sync_source_by_name() takes exactly 1 positional argument (3 given)"),
    ("get_sync_source_by_name", ("a",), {"name": "b"},
     "get_sync_source_by_name() got multiple values for keyword argument 'name'"),
    ("get_sync_source_by_name", (), {"Name": "a"},
     "get_sync_source_by_name() got an unexpected keyword argument 'Name'"),
    ("delete_sync_source", (), {},
     "delete_sync_source() takes exactly 1 positional argument (0 given)"),
    ("delete_sync_source", (1, 2), {},
     "delete_sync_source() takes exactly 1 positional argument (2 given)"),
    # Type checks: not a number for an int parameter, not exactly str for a str parameter.
    ("get_sync_source", ("12",), {},
     "Argument 'source_id' has incorrect type (expected int, got str)"),
    ("get_sync_source", (), {"source_id": "12"},
     "Argument 'source_id' has incorrect type (expected int, got str)"),
    ("get_sync_source", (None,), {},
     "Argument 'source_id' has incorrect type (expected int, got NoneType)"),
    ("get_sync_source", ([3],), {},
     "Argument 'source_id' has incorrect type (expected int, got list)"),
    ("get_sync_source", (object(),), {},
     "Argument 'source_id' has incorrect type (expected int, got object)"),
    ("delete_sync_source", (b"1",), {},
     "Argument 'source_id' has incorrect type (expected int, got bytes)"),
    ("get_sync_source_by_name", (5,), {},
     "Argument 'name' has incorrect type (expected str, got int)"),
    ("get_sync_source_by_name", (), {"name": 5},
     "Argument 'name' has incorrect type (expected str, got int)"),
    ("get_sync_source_by_name", (None,), {},
     "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ("get_sync_source_by_name", (b"alpha",), {},
     "Argument 'name' has incorrect type (expected str, got bytes)"),
]


def _no_never_awaited(caught):
    return [w for w in caught if "never awaited" in str(w.message)] == []


@pytest.mark.parametrize("name, args, kwargs, message", ARGUMENT_ERRORS,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(ARGUMENT_ERRORS)])
def test_argument_error_raised_at_call(feedwells, env, name, args, kwargs, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            getattr(feedwells, name)(*args, **kwargs)
        gc.collect()
    assert str(info.value) == message
    # Only a subclass of the expected type earns the note on subclasses.
    assert getattr(info.value, "__notes__", []) == []
    # Raised by the call itself: no coroutine was made, so none is left unawaited,
    # and nothing outside was touched.
    assert _no_never_awaited(caught)
    assert env.events == []


def _vectorcall(func, keyword_names, values):
    """Calls `func` through the C calling convention, which lets a test pass keyword names
    that the language itself would refuse before the call."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                                        ctypes.c_size_t, ctypes.py_object]
    array = (ctypes.py_object * len(values))(*values)
    return api.PyObject_Vectorcall(func, array, 0, tuple(keyword_names))


@pytest.mark.parametrize("name, message", [
    ("get_sync_source", "get_sync_source() keywords must be strings"),
    ("get_sync_source_by_name", "get_sync_source_by_name() keywords must be strings"),
    ("list_feedwells", "list_feedwells() takes no keyword arguments"),
])
def test_non_string_keyword(feedwells, env, name, message):
    with pytest.raises(TypeError) as info:
        _vectorcall(getattr(feedwells, name), [1], [2])
    assert str(info.value) == message
    assert env.events == []


class Name(str):
    """A str subclass."""


class IntFromIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntFromInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntGivesBool:
    def __int__(self):
        return True


class IntFails:
    error = KeyError("no int today")

    def __int__(self):
        raise self.error


def _single_note(exc):
    notes = getattr(exc, "__notes__", None)
    assert notes is not None and len(notes) == 1, notes
    note = notes[0]
    assert "PEP 484" in note
    assert "subclass" in note.lower()


def test_str_subclass_rejected_with_note(feedwells, env):
    with pytest.raises(TypeError) as info:
        feedwells.get_sync_source_by_name(Name("alpha"))
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got Name)"
    _single_note(info.value)
    assert env.events == []


def test_int_conversion_giving_int_subclass_rejected_with_note(feedwells, env):
    # The converted value must itself be an exact int; here the conversion gives a bool.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError) as info:
            feedwells.get_sync_source(IntGivesBool())
    assert str(info.value) == "Argument 'source_id' has incorrect type (expected int, got bool)"
    _single_note(info.value)
    assert env.events == []


INT_CONVERSIONS = [
    (7, 7),
    (2 ** 70, 2 ** 70),
    (-3, -3),
    (3.9, 3),
    (-2.5, -2),
    (True, 1),
    (False, 0),
    (IntFromIndex(11), 11),
    (IntFromInt(12), 12),
    (fractions.Fraction(7, 2), 3),
    (decimal.Decimal("9.99"), 9),
]


@pytest.mark.parametrize("given, expected", INT_CONVERSIONS,
                         ids=[f"{type(g).__name__}-{e}" for g, e in INT_CONVERSIONS])
def test_int_parameter_converts_numbers(feedwells, env, given, expected):
    drive(feedwells.get_sync_source(given))
    (_, _, args, _), = env.of_kind("crud")
    passed = args[1]
    assert type(passed) is int
    assert passed == expected


class FloatOnly:
    def __float__(self):
        return 42.0


@pytest.mark.parametrize("given", [FloatingText("42"), FloatOnly(), complex(42, 0)],
                         ids=["str subclass", "object", "complex"])
def test_int_parameter_refuses_what_has_only_a_float_conversion(feedwells, env, given):
    with pytest.raises(TypeError) as info:
        feedwells.get_sync_source(given)
    assert str(info.value) == f"Argument 'source_id' has incorrect type (expected int, got {type(given).__name__})"
    assert env.events == []


@pytest.mark.parametrize("given, error", [
    (float("nan"), ValueError),
    (float("inf"), OverflowError),
    (IntFails(), KeyError),
], ids=["nan", "inf", "failing __int__"])
def test_int_conversion_errors_propagate(feedwells, env, given, error):
    with pytest.raises(error) as info:
        feedwells.get_sync_source(given)
    if isinstance(given, IntFails):
        assert info.value is IntFails.error
    assert env.events == []


@pytest.mark.parametrize("given, message", [
    (IntFromIndex("7"), "__index__ returned non-int (type str)"),
    (IntFromInt(7.5), "__int__ returned non-int (type float)"),
], ids=["__index__", "__int__"])
def test_int_conversion_giving_a_non_int_names_the_method(feedwells, env, given, message):
    # The interpreter's own conversion names the special method that gave the wrong type.
    with pytest.raises(TypeError) as info:
        feedwells.get_sync_source(given)
    assert str(info.value) == message
    assert env.events == []


@pytest.mark.parametrize("name, args, kwargs, passed", [
    ("get_sync_source", (), {"source_id": 4}, 4),
    ("get_sync_source_by_name", (), {"name": "beta"}, "beta"),
    ("get_sync_source_by_name", ("",), {}, ""),
    ("delete_sync_source", (), {"source_id": 9}, 9),
])
def test_arguments_by_keyword_or_position(feedwells, env, name, args, kwargs, passed):
    drive(getattr(feedwells, name)(*args, **kwargs))
    (_, _, crud_args, crud_kwargs), = env.of_kind("crud")
    assert crud_args[1:] == (passed,)
    assert type(crud_args[1]) is type(passed)
    assert crud_kwargs == {}


def test_no_parameters_accepts_empty_argument_lists(feedwells, env):
    assert drive(feedwells.list_feedwells(*(), **{})) == []
