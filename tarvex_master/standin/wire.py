"""Wire values as the workbook side writes and reads them.

A wire value is {"type", "value", "isSpec"}: plain data ("Null", "Bool",
"Int", "Float", "String", "Date", "Bytes", "Array", "Dict"), a reference
to a workbook object (its type name and integer id, "isSpec" true) or a
Python function registered by the kernel ("Python_Function" and its
callable id, "isSpec" true).
"""

import base64
import binascii
import datetime as dt
import math


class WireError(ValueError):
    """A wire value that cannot be read; the text says why."""


class PythonFunction:
    """A Python callable living in the kernel, known here by its callable id."""

    __slots__ = ("callable_id",)

    def __init__(self, callable_id):
        self.callable_id = callable_id

    def __eq__(self, other):
        return isinstance(other, PythonFunction) and other.callable_id == self.callable_id

    def __hash__(self):
        return hash(self.callable_id)

    def __repr__(self):
        return f"PythonFunction({self.callable_id!r})"


def to_wire(value, register):
    """The wire value of ``value``; ``register(obj)`` gives the id of a workbook object."""
    if value is None:
        return {"type": "Null", "value": None, "isSpec": False}
    if isinstance(value, bool):
        return {"type": "Bool", "value": value, "isSpec": False}
    if isinstance(value, int):
        return {"type": "Int", "value": value, "isSpec": False}
    if isinstance(value, float):
        return {"type": "Float", "value": value, "isSpec": False}
    if isinstance(value, str):
        return {"type": "String", "value": value, "isSpec": False}
    if isinstance(value, (dt.datetime, dt.date)):
        return {"type": "Date", "value": value.isoformat(), "isSpec": False}
    if isinstance(value, (bytes, bytearray)):
        return {"type": "Bytes", "value": base64.b64encode(bytes(value)).decode("ascii"), "isSpec": False}
    if isinstance(value, (list, tuple)):
        return {"type": "Array", "value": [to_wire(item, register) for item in value], "isSpec": False}
    if isinstance(value, dict):
        return {"type": "Dict", "value": {key: to_wire(item, register) for key, item in value.items()}, "isSpec": False}
    if isinstance(value, PythonFunction):
        return {"type": "Python_Function", "value": value.callable_id, "isSpec": True}
    type_name = getattr(value, "type_name", None)
    if isinstance(type_name, str):
        return {"type": type_name, "value": register(value), "isSpec": True}
    raise WireError(f"cannot send a value of type {type(value).__name__}")


def from_wire(wire, resolve):
    """The value a wire value stands for; ``resolve(id, type_name)`` gives a workbook object."""
    if not isinstance(wire, dict):
        raise WireError(f"a wire value must be an object, got {_json_type(wire)}")
    tag = wire.get("type")
    value = wire.get("value")
    if wire.get("isSpec"):
        if tag == "Python_Function":
            if not isinstance(value, str) or not value:
                raise WireError("a Python_Function value must carry its callable id as text")
            return PythonFunction(value)
        if type(value) is not int:
            raise WireError(f"an object reference must carry an integer id, got {_json_type(value)}")
        return resolve(value, tag)
    if tag == "Null":
        return None
    if tag == "Bool":
        return _expect(value, bool, tag)
    if tag == "Int":
        if isinstance(value, float) and value.is_integer():
            return int(value)
        if type(value) is not int:
            raise WireError(f"an Int value must be an integer, got {_json_type(value)}")
        return value
    if tag == "Float":
        if type(value) is int:
            return float(value)
        if not isinstance(value, float):
            raise WireError(f"a Float value must be a number, got {_json_type(value)}")
        return value
    if tag == "String":
        return _expect(value, str, tag)
    if tag == "Date":
        return _expect(value, str, tag)
    if tag == "Bytes":
        try:
            return base64.b64decode(_expect(value or "", str, tag), validate=True)
        except binascii.Error as e:
            raise WireError(f"a Bytes value must be base64 text: {e}") from None
    if tag == "Array":
        if value is None:
            return []
        return [from_wire(item, resolve) for item in _expect(value, list, tag)]
    if tag == "Dict":
        if value is None:
            return {}
        return {key: from_wire(item, resolve) for key, item in _expect(value, dict, tag).items()}
    raise WireError(f"unknown wire value type {tag!r}")


def display_text(value):
    """How a cell shows a value."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, float):
        if math.isnan(value):
            return "#NUM!"
        if math.isinf(value):
            return "#NUM!"
        return repr(value) if not value.is_integer() or abs(value) >= 1e16 else str(int(value))
    if isinstance(value, bytes):
        return f"<{len(value)} bytes>"
    return str(value)


def _expect(value, kind, tag):
    if type(value) is not kind:
        raise WireError(f"a {tag} value must be {_TYPE_WORDS[kind]}, got {_json_type(value)}")
    return value


_TYPE_WORDS = {bool: "true or false", str: "text", list: "an array", dict: "an object"}


def _json_type(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "text"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__
