"""Argument values for the fuzz suite and a model of how a module function parses its arguments,
which tells for any call the exact TypeError (or the converted values) to expect."""
import ctypes
import decimal
import fractions
import math

from hypothesis import strategies as st

SUBCLASS_NOTE = "rejects instances of its subclasses"


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


class _Special:
    """Instances whose special methods raise or return the wrong type; each raise is a new
    exception, so the model compares errors by type and text."""

    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return f"<{type(self).__name__} {self.label}>"


class IndexRaises(_Special):
    def __index__(self):
        raise ValueError("__index__ refused")


class IndexWrongType(_Special):
    def __index__(self):
        return "7"


class IntRaises(_Special):
    def __int__(self):
        raise ArithmeticError("__int__ refused")


class IntWrongType(_Special):
    def __int__(self):
        return 7.5


class IntGivesSubclass(_Special):
    def __int__(self):
        return IntSub(3)


class BoolRaises(_Special):
    def __bool__(self):
        raise LookupError("__bool__ refused")


class BoolWrongType(_Special):
    def __bool__(self):
        return 1


class StrRaises(_Special):
    def __str__(self):
        raise UnicodeError("__str__ refused")


class StrWrongType(_Special):
    def __str__(self):
        return 5


class FloatOnly(_Special):
    """A number only through __float__: not an integer argument."""

    def __float__(self):
        return 4.0


class FloatStr(str):
    def __float__(self):
        return 42.0


POOL = [
    0, 1, -1, 7, 2 ** 100, -(2 ** 70), True, False, IntSub(5), IntSub(-3), 3.9, -2.5, 0.0,
    math.nan, math.inf, -math.inf, decimal.Decimal("4.7"), decimal.Decimal("NaN"), decimal.Decimal("-Infinity"),
    fractions.Fraction(7, 2), "", "alpha", "42", StrSub("beta"), StrSub("42"), b"42", bytearray(b"7"), None,
    {}, {"path": "/data"}, DictSub(), DictSub(a=1), [], [1], (), object(),
    IndexRaises("index"), IndexWrongType("index"), IntRaises("int"), IntWrongType("int"), IntGivesSubclass("int"),
    BoolRaises("bool"), BoolWrongType("bool"), StrRaises("str"), StrWrongType("str"),
]

# Numbers only through __float__, and complex numbers: not integer arguments.
FLOAT_ONLY = [complex(1, 2), FloatOnly("float"), FloatStr("42")]

values = st.sampled_from(POOL)

# A value that passes each kind of check, with its converted form.
VALID = {
    "int": [7, True, IntSub(9), 3.9, fractions.Fraction(7, 2), decimal.Decimal("4.7"), 2 ** 100],
    "str": ["alpha", ""],
    "dict": [{}, {"path": "/data"}],
    "bool": [True, False, None],
    "truth": [True, [], "x", None, 0],
    None: [None, "alpha", 7, object()],
}


def _count_error(function, bound, expected, given):
    return (f"{function.name}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} "
            f"({given} given)")


def expected_outcome(function, args, kwargs):
    """What calling `function(*args, **kwargs)` must give before its body runs:
    ("type error", message, with_note), ("raises", exception type, text) for an error of a
    conversion, or ("accepted", converted values)."""
    params = function.params
    n, required = len(params), function.required
    if n == 0:
        if kwargs:
            return ("type error", f"{function.name}() takes no keyword arguments", False)
        if args:
            return ("type error", f"{function.name}() takes no arguments ({len(args)} given)", False)
        return ("accepted", [])
    if len(args) > n:
        return ("type error", _count_error(function, "exactly" if required == n else "at most", n, len(args)), False)
    slots = list(args) + [_MISSING] * (n - len(args))
    names = [p.name for p in params]
    for key, value in kwargs.items():
        if key not in names:
            return ("type error", f"{function.name}() got an unexpected keyword argument '{key}'", False)
        index = names.index(key)
        if slots[index] is not _MISSING:
            return ("type error", f"{function.name}() got multiple values for keyword argument '{key}'", False)
        slots[index] = value
    for i in range(required):
        if slots[i] is _MISSING:
            bound = "exactly" if required == n else "at least"
            return ("type error", _count_error(function, bound, required, len(args)), False)
    defaults = function.obj.__defaults__ or ()
    for i in range(required, n):
        if slots[i] is _MISSING:
            slots[i] = defaults[i - required]
    for i, (param, value) in enumerate(zip(params, slots)):
        if value is None and param.accepts_none:
            continue
        try:
            if param.kind == "int" and type(value) is not int:
                if not _is_number(value):
                    return ("type error", _incorrect(param.name, "int", value), False)
                slots[i] = _to_int(value)
            elif param.kind == "truth":
                slots[i] = bool(value)
        except Exception as error:
            return ("raises", type(error), str(error))
    for param, value in zip(params, slots):
        if value is None and param.accepts_none or param.kind in (None, "truth"):
            continue
        expected = {"str": str, "dict": dict, "bool": bool, "int": int}[param.kind]
        if type(value) is not expected:
            return ("type error", _incorrect(param.name, param.kind, value), isinstance(value, expected))
    return ("accepted", slots)


_MISSING = object()


def _to_int(value):
    """The interpreter's integer conversion, without its copy of an int subclass (which the
    exact test then refuses)."""
    for special in ("__int__", "__index__"):
        method = getattr(type(value), special, None)
        if method is not None:
            result = method(value)
            if not isinstance(result, int):
                raise TypeError(f"{special} returned non-int (type {type_name(result)})")
            return result
    return int(value)


def _is_number(value):
    return any(hasattr(type(value), special) for special in ("__index__", "__int__"))


def type_name(value):
    """The name the interpreter shows for the type of `value`: the type's tp_name, which for a
    type of an extension module includes its module ("decimal.Decimal"). It follows the
    object header (reference count, type, size) of the type object."""
    return ctypes.c_char_p.from_address(id(type(value)) + 3 * ctypes.sizeof(ctypes.c_ssize_t)).value.decode()


def _incorrect(name, expected, value):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {type_name(value)})"


def check_argument_error(error, expected):
    """`error` is the one the model expects, with the note on subclasses exactly when due."""
    if expected[0] == "type error":
        _, message, with_note = expected
        assert type(error) is TypeError and str(error) == message, (repr(error), message)
        notes = getattr(error, "__notes__", [])
        assert (len(notes) == 1 and SUBCLASS_NOTE in notes[0]) if with_note else not notes, notes
    else:
        _, kind, text = expected
        assert type(error) is kind and str(error) == text, (repr(error), kind, text)
