"""Wire values: Serializer.to_wire / from_wire."""

import base64
import binascii
import datetime as dt
import enum
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from tarvex_master.python_server.tarvex import vantrel
from tarvex_master.python_server.tarvex.vantrel import OfficeJsArray, OfficeJsDict, OfficeJsObject, Serializer
from vantrel_addin import addin  # noqa: F401  (fixture)

to_wire, from_wire = Serializer.to_wire, Serializer.from_wire


def w(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


class Color(enum.IntEnum):
    RED = 3


class Shown:
    def __str__(self):
        return "shown"


class ArrayRaises:
    """pandas' isna probes __array__; a failure there must not stop the rules."""

    def __array__(self, *args, **kwargs):
        raise ValueError("no array")

    def __str__(self):
        return "array raises"


PLUS2 = dt.timezone(dt.timedelta(hours=2))


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, w("Null", None)),
        (True, w("Bool", True)),
        (False, w("Bool", False)),
        (np.bool_(False), w("Bool", False)),
        (np.bool_(True), w("Bool", True)),
        (5, w("Int", 5)),
        (-(2**70), w("Int", -(2**70))),
        (Color.RED, w("Int", 3)),
        (np.int64(5), w("Int", 5)),
        (np.int32(-3), w("Int", -3)),
        (np.uint64(2**64 - 1), w("Int", 2**64 - 1)),
        (np.float32(1.5), w("Float", 1.5)),
        (np.float16(0.5), w("Float", 0.5)),
        (np.longdouble(2.5), w("Float", 2.5)),
        (np.timedelta64(5, "D"), w("String", "5 days")),
        (np.float64(1.5), w("Float", 1.5)),
        (1.25, w("Float", 1.25)),
        ("text", w("String", "text")),
        ("", w("String", "")),
        (dt.datetime(2024, 1, 2, 12, 0, tzinfo=PLUS2), w("Date", "2024-01-02T10:00:00+00:00")),
        (dt.datetime(2024, 1, 2, 12, 0), w("Date", "2024-01-02T12:00:00")),
        (dt.datetime(2024, 1, 2, 12, 0, 0, 500), w("Date", "2024-01-02T12:00:00.000500")),
        (pd.Timestamp("2024-01-02 12:00", tz=PLUS2), w("Date", "2024-01-02T10:00:00+00:00")),
        (pd.NaT, w("Date", "NaT")),
        (dt.date(2024, 1, 2), w("Date", "2024-01-02")),
        (np.datetime64("2024-01-02T03:04:05"), w("Date", "2024-01-02T03:04:05")),
        (np.datetime64("2024-01-02T03:04:05.250000000"), w("Date", "2024-01-02T03:04:05.250000")),
        (np.datetime64("2024-01-02T03:04:05.123456789"), w("Date", "2024-01-02T03:04:05.123456789")),
        (np.datetime64("2024-05", "M"), w("Date", "2024-05-01")),
        (np.datetime64("NaT"), w("Date", "NaT")),
        (b"", w("Bytes", "")),
        (b"\x00\xffab", w("Bytes", "AP9hYg==")),
        (bytearray(b"ab"), w("Bytes", "YWI=")),
        (memoryview(np.arange(6, dtype=np.uint8))[::2], w("Bytes", base64.b64encode(bytes([0, 2, 4])).decode())),
        ((1, "a"), w("Array", [w("Int", 1), w("String", "a")])),
        ([], w("Array", [])),
        ([[None]], w("Array", [w("Array", [w("Null", None)])])),
        ({1: "x", "k": [2.5]}, w("Dict", {1: w("String", "x"), "k": w("Array", [w("Float", 2.5)])})),
        ({1, 2}, w("String", "{1, 2}")),
        (pd.NA, w("Null", None)),
        (np.float32("nan"), w("Null", None)),
        (Shown(), w("String", "shown")),
        (ArrayRaises(), w("String", "array raises")),
        (np.array([1, 2]), w("String", "[1 2]")),
    ],
    ids=repr,
)
def test_to_wire_rules(value, expected):
    wire = to_wire(value)
    assert wire == expected
    assert list(wire) == ["type", "value", "isSpec"]
    assert type(wire["value"]) is type(expected["value"])


def test_to_wire_passes_nan_and_infinities_as_floats():
    for value in (math.nan, math.inf, -math.inf):
        wire = to_wire(value)
        assert wire["type"] == "Float"
        assert math.isnan(wire["value"]) if math.isnan(value) else wire["value"] == value


@pytest.mark.parametrize(
    "table, rows",
    [
        (pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}, index=[10, 20]), [["a", "b"], [1, "x"], [2, "y"]]),
        (pd.DataFrame({"a": [], "b": []}), [["a", "b"]]),
        (pd.Series([1.5, 2.5], name="s"), [["s"], [1.5], [2.5]]),
        (pd.Series([7]), [[0], [7]]),
        (pd.DataFrame({"when": [pd.Timestamp("2024-01-02")], "n": [1]}), [["when", "n"], ["2024-01-02T00:00:00", 1]]),
    ],
    ids=["frame", "empty frame", "named series", "unnamed series", "mixed with time stamps"],
)
def test_tables_go_out_as_header_and_rows(table, rows):
    wire = to_wire(table)
    assert wire["type"] == "Array"
    decoded = [[cell["value"] for cell in row["value"]] for row in wire["value"]]
    assert decoded == rows


def test_proxies_go_out_by_reference_and_collections_by_content(addin):
    assert to_wire(OfficeJsObject(1, "Excel")) == w("Excel", 1, True)
    array = OfficeJsArray(4)
    array.extend([1, "a"])
    assert to_wire(array) == w("Array", [w("Int", 1), w("String", "a")])
    mapping = OfficeJsDict(5)
    mapping["k"] = None
    assert to_wire(mapping) == w("Dict", {"k": w("Null", None)})
    # neither the missing-value test nor anything else asked the add-in
    assert addin.without_releases() == []


def test_callables_get_a_fresh_id_per_conversion():
    def fn():
        pass

    first, second = to_wire(fn), to_wire(fn)
    prefix = "pyfunc_" + vantrel.messaging._guid[:8] + "_"
    for wire in (first, second):
        assert wire["type"] == "Python_Function" and wire["isSpec"] is True
        assert wire["value"].startswith(prefix)
        assert vantrel.messaging.get_callable(wire["value"]) is fn
    assert first["value"] != second["value"]
    assert to_wire(Shown)["type"] == "Python_Function"  # classes are callable


def test_callable_list_is_sent_as_data():
    class CallableList(list):
        def __call__(self):
            pass

    assert to_wire(CallableList([1])) == w("Array", [w("Int", 1)])


@pytest.mark.parametrize(
    "wire, expected",
    [
        (w("Null", 5), None),
        (w("Bool", "false"), True),
        (w("Bool", 0), False),
        (w("Int", "12"), 12),
        (w("Int", 2.9), 2),
        (w("Float", "1.5"), 1.5),
        (w("Float", 2), 2.0),
        (w("String", 5), "5"),
        (w("Date", "2024-01-02"), dt.datetime(2024, 1, 2)),
        (w("Date", "2024-01-02T10:00:00+00:00"), dt.datetime(2024, 1, 2, 10, tzinfo=dt.timezone.utc)),
        (w("Date", "not a date"), "not a date"),
        (w("Date", 17), 17),
        (w("Bytes", None), b""),
        ({"type": "Bytes"}, b""),
        (w("Bytes", "YWI="), b"ab"),
        (w("Foo", 3), "3"),
        (w("int", 3), "3"),
        ({}, "None"),
    ],
    ids=repr,
)
def test_from_wire_rules(wire, expected):
    value = from_wire(wire)
    assert value == expected
    assert type(value) is type(expected)


def test_from_wire_builds_collection_proxies(addin):
    array = from_wire({"type": "Array", "value": None, "id": 7})
    assert type(array) is OfficeJsArray and array == [] and array._internal_id == 7

    nested = from_wire(w("Array", [w("Array", [w("Int", 1)]), w("Excel", 1, True)]))
    assert nested._internal_id == 0
    assert type(nested[0]) is OfficeJsArray and nested[0] == [1]
    assert type(nested[1]) is OfficeJsObject
    assert (nested[1]._internal_id, nested[1]._internal_typeName) == (1, "Excel")

    mapping = from_wire({"type": "Dict", "value": {"k": w("String", "v"), 1: w("Null", None)}, "id": "3"})
    assert type(mapping) is OfficeJsDict and mapping == {"k": "v", 1: None} and mapping._internal_id == 3
    assert from_wire(w("Dict", None)) == {}
    assert from_wire(w("Array", (w("Int", 1),))) == [1]
    assert addin.without_releases() == []


@pytest.mark.parametrize(
    "wire, error, text",
    [
        (OfficeJsDict(0), TypeError, "Argument 'wire' has incorrect type (expected dict, got OfficeJsDict)"),
        (None, TypeError, "Argument 'wire' has incorrect type (expected dict, got NoneType)"),
        (w("Array", [5]), TypeError, "Argument 'wire' has incorrect type (expected dict, got int)"),
        (w("Int", None), TypeError, None),
        (w("Float", None), TypeError, None),
        (w("Int", "x"), ValueError, None),
        (w("Python_Function", "pyfunc_1a2b3c4d_1", True), ValueError, None),
        (w(5, 1, True), TypeError, "Argument 'type_name' has incorrect type (expected str, got int)"),
        (w("Bytes", "abc"), binascii.Error, None),
    ],
    ids=repr,
)
def test_from_wire_failures(wire, error, text):
    with pytest.raises(error) as info:
        from_wire(wire)
    if text is not None:
        assert str(info.value) == text


def test_replaced_class_methods_are_used_for_elements(monkeypatch):
    original_to, original_from = Serializer.to_wire, Serializer.from_wire
    seen = []

    def to_wire_ints_as_text(value):
        seen.append(value)
        if type(value) is int:
            return w("String", f"int {value}")
        return original_to(value)

    def from_wire_counting(wire):
        seen.append(wire["type"])
        return original_from(wire)

    monkeypatch.setattr(Serializer, "to_wire", staticmethod(to_wire_ints_as_text))
    monkeypatch.setattr(Serializer, "from_wire", staticmethod(from_wire_counting))
    assert original_to([1, {"k": (2,)}]) == w(
        "Array", [w("String", "int 1"), w("Dict", {"k": w("Array", [w("String", "int 2")])})]
    )
    assert seen == [1, {"k": (2,)}, (2,), 2]
    seen.clear()
    assert original_from(w("Array", [w("Int", 1), w("Dict", {"k": w("Null", None)})])) == [1, {"k": None}]
    assert seen == ["Int", "Dict", "Null"]


def test_containers_changed_during_conversion():
    items = []

    class Clears:
        def __str__(self):
            items.clear()
            return "cleared"

    items.extend([Clears(), 1, 2])
    assert to_wire(items) == w("Array", [w("String", "cleared")])


@pytest.mark.parametrize("convert", [to_wire, Serializer.to_wire_json], ids=["to_wire", "to_wire_json"])
def test_a_dict_changed_during_conversion_fails(convert):
    mapping = {}

    class Grows:
        def __str__(self):
            mapping["new"] = 1
            return "grown"

    mapping["a"] = Grows()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        convert(mapping)


@pytest.mark.parametrize("change, expected", [
    (lambda payload: payload.clear(), [1]),
    (lambda payload: payload.append(w("Int", 9)), [1, 2, 3, 9]),
], ids=["shrinks", "grows"])
def test_payload_changed_while_from_wire_converts_it(monkeypatch, change, expected):
    payload = [w("Int", 1), w("Int", 2), w("Int", 3)]
    original = Serializer.from_wire
    changes = [change]

    def changing(wire):
        if changes:
            changes.pop()(payload)
        return original(wire)

    monkeypatch.setattr(Serializer, "from_wire", staticmethod(changing))
    assert original(w("Array", payload)) == expected


def test_deep_and_self_containing_values_raise_recursion_error():
    looped = [1]
    looped.append(looped)
    with pytest.raises(RecursionError):
        to_wire(looped)
    deep = None
    for _ in range(100_000):
        deep = {"type": "Array", "value": [deep] if deep else []}
    with pytest.raises(RecursionError):
        from_wire(deep)


json_like = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=5), children, max_size=4),
    max_leaves=20,
)


@given(json_like)
def test_plain_data_survives_the_round_trip(value):
    back = from_wire(to_wire(value))
    assert back == value
    assert type(back) is {list: OfficeJsArray, dict: OfficeJsDict}.get(type(value), type(value))
