"""Office.js proxies: OfficeJsObject, OfficeJsArray, OfficeJsDict."""

import gc
import sys
import traceback

import pytest

from tarvex_master.python_server.tarvex import vantrel
from tarvex_master.python_server.tarvex.vantrel import (
    Context,
    Excel,
    GetSetting,
    OfficeJsArray,
    OfficeJsDict,
    OfficeJsObject,
    Serializer,
    messaging,
)
from vantrel_addin import addin, kernel_send, ok  # noqa: F401  (fixtures)

STALE = "Excel Object used after messaging context was stopped"


def w(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


def sent(recorder):
    """The requests without the fields the channel adds."""
    return [{k: v for k, v in r.items() if k not in ("requestId", "kind")} for r in recorder.without_releases()]


def frame_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def test_roots_and_module_names():
    assert [(p._internal_id, p._internal_typeName) for p in (Context, Excel, GetSetting)] == [
        (0, "RequestContext"), (1, "Excel"), (2, "Function"),
    ]
    assert vantrel._internal_officejs_names == [
        "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__",
    ]
    assert not issubclass(OfficeJsArray, OfficeJsObject) and issubclass(OfficeJsArray, list)
    assert issubclass(OfficeJsDict, dict)


def test_attribute_read_is_a_request(addin):
    addin.answer = lambda request: ok(w("Range", 9, True))
    rng = Excel.Foo
    assert (type(rng), rng._internal_id, rng._internal_typeName) == (OfficeJsObject, 9, "Range")
    assert rng._msg_guid == messaging._guid and rng._typ == "officejs_object" and rng._internal_cache == {}
    assert sent(addin) == [{"method": "GET", "name": "Foo", "caller": 1}]


def test_attribute_write(kernel_send):
    proxy = OfficeJsObject(5, "Range")
    proxy.value = 5
    proxy._typ = "changed"
    proxy._internal_cache = {}
    assert proxy._typ == "changed"
    assert sent(kernel_send) == [
        {"method": "SET", "name": "value", "value": w("Int", 5), "caller": 5},
        {"method": "SET", "name": "_internal_cache", "value": w("Dict", {}), "caller": 5},
    ]


@pytest.mark.parametrize(
    "index, name",
    [(slice(1, 3), "1:3:"), (slice(None, None, 2), "::2"), (slice(0, None), "0::"), (-1, "-1"), (True, "True")],
)
def test_item_read_key_texts(kernel_send, index, name):
    kernel_send.respond = lambda req: ok(w("Int", 4))
    assert Excel[index] == 4
    assert sent(kernel_send) == [{"method": "GETITEM", "name": name, "caller": 1}]


def test_item_read_with_another_index_type_sends_nothing(kernel_send):
    with pytest.raises(TypeError, match="^Index must be an integer or a slice$"):
        Excel["A1"]
    assert sent(kernel_send) == []


def test_calls(kernel_send):
    function = OfficeJsObject(8, "Function")
    kernel_send.respond = lambda req: ok(w("String", "done"))
    assert function(1, x=[2]) == "done"
    assert sent(kernel_send) == [
        {
            "method": "CALL", "name": "__call__", "caller": 8,
            "args": [
                {"arg_type": "PLACED", "value": w("Int", 1)},
                {"arg_type": "NAMED", "name": "x", "value": w("Array", [w("Int", 2)])},
            ],
        }
    ]
    with pytest.raises(TypeError, match="^Only Function-typed SpecialObjects are callable$"):
        Excel()


@pytest.mark.parametrize(
    "operation, response, error, text",
    [
        (lambda: Excel.Foo, {"ok": False}, AttributeError, "GET failed for Foo"),
        (lambda: Excel.Foo, {"ok": False, "error": {"message": "nope"}}, AttributeError, "nope"),
        (lambda: setattr(Excel, "x", 1), {"ok": False}, AttributeError, "SET failed for x"),
        (lambda: Excel[1:3], {"ok": False}, AttributeError, "GET ITEM failed for slice(1, 3, None)"),
        (lambda: Excel[2], {"ok": 0, "error": {"message": "out of range"}}, AttributeError, "out of range"),
        (lambda: OfficeJsObject(8, "Function")(), {"ok": False}, RuntimeError, "CALL failed"),
        (lambda: OfficeJsObject(8, "Function")(), {"ok": False, "error": {"message": "bad"}}, RuntimeError, "bad"),
        (lambda: Excel.Foo, None, TypeError, "Office.js response must be a dict, got NoneType"),
    ],
)
def test_failed_operations(kernel_send, operation, response, error, text):
    kernel_send.respond = lambda req: response
    with pytest.raises(error) as info:
        operation()
    assert str(info.value) == text
    assert info.value.__cause__ is None and info.value.__suppress_context__
    assert not set(frame_names(info.value)) & set(vantrel._internal_officejs_names)


def test_failed_read_makes_hasattr_false(kernel_send):
    kernel_send.respond = lambda req: {"ok": False}
    assert hasattr(Excel, "Missing") is False
    assert getattr(Excel, "Missing", "default") == "default"
    assert len(sent(kernel_send)) == 2


def test_traceback_starts_outside_the_proxy_machinery(kernel_send):
    def _cw__getattr__(req):  # named like the machinery: trimmed
        raise LookupError("inside")

    def send(req):
        raise LookupError("outside")

    for fn, kept in ((_cw__getattr__, []), (send, ["send"])):
        messaging.send_request_sync = fn
        with pytest.raises(LookupError) as info:
            Excel.Foo
        assert frame_names(info.value)[1:] == kept  # [0] is this test's own frame


def test_stale_proxies_after_reset(kernel_send):
    old = OfficeJsObject(4, "Range")
    messaging.reset()
    for operation in (lambda: old.Foo, lambda: setattr(old, "x", 1), lambda: old[0],
                      lambda: OfficeJsObject.__call__(old), lambda: GetSetting()):
        with pytest.raises(RuntimeError) as info:
            operation()
        assert str(info.value) == STALE
    assert sent(kernel_send) == []
    assert (old._internal_id, old._internal_typeName, old._internal_cache) == (4, "Range", {})
    Excel.Foo
    Context.Bar
    assert sent(kernel_send) == [
        {"method": "GET", "name": "Foo", "caller": 1},
        {"method": "GET", "name": "Bar", "caller": 0},
    ]


def test_collection_proxies_are_local(kernel_send):
    array = OfficeJsArray(3)
    array.extend([1, 2])
    mapping = OfficeJsDict(None)
    mapping["k"] = "v"
    assert (len(array), array[1], array[-1:], mapping["k"], mapping._internal_id) == (2, 2, [2], "v", 0)
    assert (array._internal_typeName, array._typ, mapping._internal_typeName, mapping._typ) == (
        "Array", "officejs_array", "Dict", "officejs_dict")
    for proxy, name in ((array, "OfficeJsArray"), (mapping, "OfficeJsDict")):
        for attribute in ("value", "_typ", "_internal_id"):
            with pytest.raises(AttributeError) as info:
                setattr(proxy, attribute, 1)
            assert str(info.value) == f"Cannot set attributes on {name}"
    assert sent(kernel_send) == []
    array.address
    assert sent(kernel_send) == [{"method": "GET", "name": "address", "caller": 3}]


@pytest.mark.parametrize(
    "proxy, text",
    [
        (lambda: Excel, "<OfficeJsObject Excel id=1>"),
        (lambda: OfficeJsArray(3), "<OfficeJsArray id=3 len=0>"),
        (lambda: OfficeJsArray(None), "<OfficeJsArray id=0 len=0>"),
        (lambda: Serializer.from_wire({"type": "Dict", "value": {"a": w("Int", 1), 2: w("Null", None)}, "id": 5}),
         "<OfficeJsDict id=5 keys=['a', 2]>"),
    ],
)
def test_reprs(proxy, text):
    assert repr(proxy()) == text


@pytest.mark.parametrize(
    "args, error, text",
    [
        (("5", "Range"), TypeError, "object_id must be an int or a number that int() accepts, got str"),
        ((None, "Range"), TypeError, "object_id must be an int or a number that int() accepts, got NoneType"),
        ((float("nan"), "Range"), TypeError, "object_id must be an int or a number that int() accepts, got nan"),
        ((1, None), TypeError, "Argument 'type_name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_constructor_checks(args, error, text):
    with pytest.raises(error) as info:
        OfficeJsObject(*args)
    assert str(info.value) == text


def test_numbers_are_accepted_as_ids():
    assert OfficeJsObject(3.9, "Range")._internal_id == 3
    assert OfficeJsArray("7")._internal_id == 7
    assert OfficeJsDict(0)._internal_id == 0


def test_destroyed_proxies_release_their_objects(kernel_send):
    proxy = OfficeJsObject(11, "Range")
    messaging.reset()  # a proxy of an older generation still releases
    del proxy
    rows = Serializer.from_wire(
        {"type": "Array", "id": 20, "value": [{"type": "Array", "id": 21, "value": []}, {"type": "Dict", "id": 22}]}
    )
    del rows
    releases = [r for r in kernel_send.requests if r["method"] == "DEL"]
    assert sorted((r["name"], r["caller"]) for r in releases) == [
        ("__del__", 11), ("__del__", 20), ("__del__", 21), ("__del__", 22),
    ]


@pytest.mark.parametrize(
    "send",
    [
        lambda req: (_ for _ in ()).throw(TimeoutError("no answer")),
        lambda req: (_ for _ in ()).throw(RuntimeError("send_sys_request must not be called from the loop")),
        lambda req: None,
        None,  # the module's own path without a send handler
    ],
)
def test_release_failures_are_swallowed(kernel_send, monkeypatch, send):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    if send is None:
        del messaging.send_request_sync
    else:
        messaging.send_request_sync = send
    proxy = OfficeJsObject(12, "Range")
    del proxy
    gc.collect()
    assert unraisable == []
