"""Serializer.to_wire_json: the JSON text of to_wire's result, written
straight from the value. It must be the bytes orjson makes of that result,
and where orjson refuses it, JSON that reads back as json.dumps' text."""

import ctypes
import datetime as dt
import enum
import json
import math

import numpy as np
import orjson
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from tarvex_master.python_server.tarvex import vantrel
from tarvex_master.python_server.tarvex.vantrel import OfficeJsArray, OfficeJsDict, Serializer

PLUS2 = dt.timezone(dt.timedelta(hours=2))


class Color(enum.IntEnum):
    RED = 3


class Shown:
    def __str__(self):
        return "shown"


def finite(value):
    """json.loads' reading with non-finite floats as null, as orjson writes them."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(v) for v in value]
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    return value


def assert_same_text(value):
    try:
        wire = Serializer.to_wire(value)
    except Exception as error:  # an aware date-time beyond the years UTC can show, say
        with pytest.raises(type(error)):
            Serializer.to_wire_json(value)
        return
    ours = Serializer.to_wire_json(value)
    try:
        expected = orjson.dumps(wire)
    except TypeError:  # ints beyond 64 bits, lone surrogates, keys that are not str
        assert json.loads(ours) == finite(json.loads(json.dumps(wire)))
    else:
        assert ours == expected


def frame(rows, **columns):
    """A frame of `rows` rows; each column repeats its values."""
    return pd.DataFrame({name: (list(values) * rows)[:rows] for name, values in columns.items()})


def numbers():
    return dict(f64=[0.1, -2.5e300, math.nan, 1e16, -0.0], f32=np.array([1.1, math.inf], np.float32),
                f16=np.array([0.3, 65504], np.float16), i64=np.array([-(2**63), 2**63 - 1, 0]),
                i8=np.array([-128, 7], np.int8), u64=np.array([2**64 - 1, 5], np.uint64),
                u16=np.array([65535], np.uint16))


def nested_list(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


OBJECTS = [None, "x", 1, 2.5, pd.NA, np.int64(3), math.nan, b"ab", "é😀\n", dt.date(2024, 1, 2), [1, "a"]]

CASES = {
    "none": None, "true": True, "numpy false": np.bool_(False),
    "int": 5, "int enum": Color.RED, "int64 edges": [-(2**63), 2**64 - 1], "huge ints": [2**64, -(2**70)],
    "floats": [0.0, -0.0, 0.1, 1.5, 1e15, 1e16, 1.2345e17, 1e-5, 1e-6, 2.5e-7, 5e-324, 1.7976931348623157e308],
    "non-finite": [math.nan, math.inf, -math.inf],
    "text": ["", "plain", 'q"b\\s/\x00\x1f\x7f\u2028', "é€😀 ünïcode"],
    "lone surrogates": ["a\ud800b", "\udfff", "\ud83d\ude00"],
    "dates": [dt.datetime(2024, 1, 2, 12, tzinfo=PLUS2), dt.datetime(2024, 1, 2, 12), dt.datetime(2024, 1, 2, 0, 0, 0, 500),
              pd.Timestamp("2024-01-02 12:00", tz=PLUS2), pd.NaT, dt.date(2024, 1, 2),
              np.datetime64("2024-01-02T03:04:05.123456789"), np.datetime64("2024-05", "M"), np.datetime64("NaT")],
    "bytes": [b"", b"\x00\xffab", bytearray(b"ab"), memoryview(np.arange(6, dtype=np.uint8))[::2]],
    "nested": (1, [2, (3, [])], {"k": {"j": [None]}}, {}),
    "nested deeper than orjson goes": nested_list(200),
    "keys not str": {1: "int", 2.5: "float", None: "none", True: "bool", "s": "str"},
    "missing": [pd.NA, np.float32("nan"), np.float16("nan")],
    "numpy scalars": [np.int64(5), np.int32(-3), np.uint64(2**64 - 1), np.float32(1.1), np.float16(0.3),
                      np.longdouble(2.5), np.timedelta64(5, "D"), np.str_("s")],
    "other objects": [{1, 2}, Shown(), np.array([1, 2])],
    "proxies": [vantrel.Excel, vantrel.Context],
    "collection proxies": [OfficeJsArray(4), OfficeJsDict(5)],
    "small frame": pd.DataFrame({"a": [1, 2], "b": ["x", None]}, index=[10, 20]),
    "empty frame": pd.DataFrame({"a": [], "b": []}),
    "series": [pd.Series([1.5, 2.5], name="s"), pd.Series([7] * 40)],
    "numeric frame beyond one batch": frame(5000, **numbers()),
    "int and float frame": frame(40, i=[1, 2**53 + 1], f=[0.5]),
    "int and uint64 frame": frame(40, i=[-1], u=np.array([2**64 - 1], np.uint64)),
    "bool and int frame": frame(40, b=[True, False], i=[3]),
    "bool frame": frame(40, b=[True, False], c=[False]),
    "small floats frame": frame(40, f16=np.array([0.3], np.float16), f32=np.array([1.1], np.float32),
                                i8=np.array([-3], np.int8)),
    "mixed frame": frame(40, **numbers(), o=OBJECTS, b=[True, False]),
    "mixed frame beyond one batch": frame(5000, f=[0.25, math.nan], i=[1, -2], o=OBJECTS),
    "object frame": frame(40, o=OBJECTS, p=["a", None]),
    "frame of dates and categories": frame(40, d=pd.date_range("2024-01-01", periods=3), n=[1.5],
                                           c=pd.Categorical(["a", "b"]), e=pd.array([1, None], dtype="Int64")),
    "wide frame": frame(20, **{f"c{i}": [i, 0.5] for i in range(30)}),
    "frame with odd labels": pd.DataFrame(np.ones((20, 3)), columns=[1, "b", None]),
}
CASES["collection proxies"][0].extend([1, "a"])
CASES["collection proxies"][1]["k"] = None


@pytest.mark.parametrize("value", CASES.values(), ids=CASES.keys())
def test_text_is_the_encoding_of_to_wire(value):
    assert_same_text(value)


@pytest.mark.parametrize("value, text", [
    (np.int64(5), b'{"type":"Int","value":5,"isSpec":false}'),
    (np.int32(-3), b'{"type":"Int","value":-3,"isSpec":false}'),
    (np.float32(1.5), b'{"type":"Float","value":1.5,"isSpec":false}'),
    (np.float32("nan"), b'{"type":"Null","value":null,"isSpec":false}'),
])
def test_numpy_scalars_are_numbers(value, text):
    assert Serializer.to_wire_json(value) == text


def test_callables_are_registered_once_each_in_order():
    def fn():
        pass

    wire = json.loads(Serializer.to_wire_json([fn, {"k": fn}]))
    first, second = wire["value"][0], wire["value"][1]["value"]["k"]
    assert first["type"] == second["type"] == "Python_Function" and first["isSpec"] is True
    assert int(first["value"].rsplit("_", 1)[1]) + 1 == int(second["value"].rsplit("_", 1)[1])
    assert vantrel.messaging.get_callable(first["value"]) is vantrel.messaging.get_callable(second["value"]) is fn


def float_to_text(value):
    return Serializer.to_wire(f"float {value!r}") if type(value) is float else ORIGINAL_TO_WIRE(value)


ORIGINAL_TO_WIRE = Serializer.to_wire


@pytest.mark.parametrize("value", [
    [1.5, {"k": (2.5, "x")}],
    frame(40, f=[0.5, 1.5], i=[1]),
    frame(40, f=[0.5], o=["x", None]),
    frame(3, f=[0.5], o=["x", None]),
], ids=["nested", "numeric frame", "mixed frame", "small frame"])
def test_a_replaced_to_wire_is_called_and_its_result_encoded(monkeypatch, value):
    monkeypatch.setattr(Serializer, "to_wire", staticmethod(float_to_text))
    assert_same_text(value)
    assert b"float " in Serializer.to_wire_json(value)


@pytest.mark.parametrize("rows", [3, 40], ids=["row path", "column path"])
def test_a_replacement_made_while_a_table_is_written_holds_from_the_next_row(monkeypatch, rows):
    class Replaces:
        def __str__(self):
            monkeypatch.setattr(Serializer, "to_wire", staticmethod(float_to_text))
            return "replaces"

    table = frame(rows, f=[0.5], o=["a", Replaces(), "b"])
    expected = orjson.dumps(Serializer.to_wire(table))
    monkeypatch.undo()
    assert Serializer.to_wire_json(table) == expected
    assert b"float 0.5" in expected


def test_failures_are_those_of_to_wire_and_the_encoder():
    looped = [1]
    looped.append(looped)
    with pytest.raises(RecursionError):
        Serializer.to_wire_json(looped)
    with pytest.raises(TypeError, match="keys must be str, int, float, bool or None, not tuple"):
        Serializer.to_wire_json({(1, 2): 3})


def test_other_modules_reach_the_writer_through_its_capsule():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    api = get_pointer(vantrel._wire_json_api, b"vantrel.wire_json")
    wire_json = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(ctypes.c_void_p.from_address(api).value)
    assert wire_json([1, "a"]) == Serializer.to_wire_json([1, "a"])
    with pytest.raises(TypeError):
        wire_json({(1,): 2})
    from_wire_list = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(
        ctypes.c_void_p.from_address(api + ctypes.sizeof(ctypes.c_void_p)).value)
    assert from_wire_list([{"type": "Int", "value": 3, "isSpec": False}]) == [3]
    with pytest.raises(TypeError):
        from_wire_list([["not a wire value"]])


scalars = (st.none() | st.booleans() | st.integers() | st.floats()
           | st.text(st.characters(codec=None, exclude_categories=()), max_size=8) | st.binary(max_size=8)
           | st.datetimes(timezones=st.none() | st.timezones()) | st.dates()
           | st.builds(np.int64, st.integers(-(2**63), 2**63 - 1)) | st.builds(np.float32, st.floats(width=32)))
keys = st.text(max_size=4) | st.integers() | st.floats() | st.none() | st.booleans()
nested = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4) | st.tuples(children, children)
    | st.dictionaries(keys, children, max_size=4),
    max_leaves=20,
)


@given(nested)
def test_generated_values_encode_as_to_wire(value):
    assert_same_text(value)
