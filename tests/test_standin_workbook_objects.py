"""The simulated add-in answering the kernel's object requests, as the kernel's proxies send them."""

import asyncio

import pytest

from tarvex_master.standin.addin import WorkbookAddin
from tarvex_master.standin.wire import to_wire


def wire(value):
    return to_wire(value, register=None)


class Proxy:
    """What the kernel holds: an object id and its type name."""

    def __init__(self, wire_value):
        assert wire_value["isSpec"] is True
        self.id = wire_value["value"]
        self.type = wire_value["type"]


class Bridge:
    """Sends requests the way the kernel's proxies do and returns the responses."""

    def __init__(self, addin):
        self.addin = addin
        self.serial = 0

    async def request(self, method, caller, name, **fields):
        self.serial += 1
        payload = {"method": method, "name": name, "caller": caller, **fields,
                   "requestId": f"{self.serial:032x}", "kind": "request"}
        response = await self.addin.answer_sys_request(payload)
        assert response["requestId"] == payload["requestId"]
        return response

    async def value(self, method, caller, name, **fields):
        response = await self.request(method, caller, name, **fields)
        assert response["ok"], response
        result = response["result"]
        return Proxy(result) if result["isSpec"] else plain(result)

    async def get(self, obj, name):
        return await self.value("GET", obj if isinstance(obj, int) else obj.id, name)

    async def set(self, obj, name, value):
        return await self.request("SET", obj.id, name, value=wire(value))

    async def call(self, obj, method, *args, **named):
        function = await self.get(obj, method)
        assert function.type == "Function"
        records = [{"arg_type": "PLACED", "value": wire(a)} for a in args]
        records += [{"arg_type": "NAMED", "name": k, "value": wire(v)} for k, v in named.items()]
        return await self.value("CALL", function.id, "__call__", args=records)

    async def range(self, address, sheet="Sheet1"):
        workbook = await self.get(0, "workbook")
        worksheets = await self.get(workbook, "worksheets")
        worksheet = await self.call(worksheets, "getItem", sheet)
        return await self.call(worksheet, "getRange", address)


def plain(wire_value):
    kind, value = wire_value["type"], wire_value["value"]
    if kind == "Array":
        return [plain(item) for item in value]
    if kind == "Dict":
        return {key: plain(item) for key, item in value.items()}
    return value


@pytest.fixture
def addin():
    sent, notes, sources = [], [], {}
    addin = WorkbookAddin("wb", sent.append, notes.append, sources.get)
    addin.sent, addin.sources = sent, sources
    addin.kernel_connected()
    return addin


@pytest.fixture
def bridge(addin):
    return Bridge(addin)


async def test_values_of_a_range_read_back_what_was_written(bridge, addin):
    cells = await bridge.range("A1:B3")
    written = [[1, "two"], [3.5, True], [None, -7]]
    assert (await bridge.set(cells, "values", written))["ok"]
    assert await bridge.get(cells, "values") == [[1, "two"], [3.5, True], ["", -7]]
    assert addin.workbook.sheet("Sheet1").value(2, 1) == -7
    assert await bridge.get(cells, "address") == "Sheet1!A1:B3"
    assert (await bridge.get(cells, "rowCount"), await bridge.get(cells, "columnCount")) == (3, 2)


async def test_one_value_fills_the_whole_range(bridge):
    cells = await bridge.range("B2:C3")
    await bridge.set(cells, "values", 0)
    assert await bridge.get(cells, "values") == [[0, 0], [0, 0]]


async def test_a_write_of_the_wrong_shape_is_refused_and_changes_nothing(bridge, addin):
    cells = await bridge.range("A1:B2")
    response = await bridge.set(cells, "values", [[1, 2, 3]])
    assert response["ok"] is False
    assert "is 1x3, but the range A1:B2 is 2x2" in response["error"]["message"]
    assert addin.workbook.sheet("Sheet1").cells == {}


async def test_sheets_are_reached_added_and_activated(bridge, addin):
    workbook = await bridge.get(0, "workbook")
    worksheets = await bridge.get(workbook, "worksheets")
    active = await bridge.call(workbook, "getActiveWorksheet")
    assert await bridge.get(active, "name") == "Sheet1"
    added = await bridge.call(worksheets, "add", "Data")
    assert await bridge.get(added, "name") == "Data"
    assert await bridge.get(worksheets, "count") == 3
    await bridge.call(added, "activate")
    active = await bridge.call(worksheets, "getActiveWorksheet")
    assert await bridge.get(active, "name") == "Data"
    assert addin.workbook.active.name == "Data"
    unnamed = await bridge.call(worksheets, "add")
    assert await bridge.get(unnamed, "name") == "Sheet3"


async def test_sync_and_load_are_answered_without_changing_anything(bridge):
    cells = await bridge.range("A1")
    sync = await bridge.get(0, "sync")
    assert sync.type == "Function"
    assert await bridge.value("CALL", sync.id, "__call__", args=[]) is None
    loaded = await bridge.call(cells, "load", "values, address")
    assert await bridge.get(loaded, "address") == "Sheet1!A1"


async def test_the_setting_function_reads_workbook_settings(bridge):
    found = await bridge.value("CALL", 2, "__call__", args=[{"arg_type": "PLACED", "value": wire("workbook_id")}])
    assert found == "wb"
    assert await bridge.value("CALL", 2, "__call__", args=[{"arg_type": "PLACED", "value": wire("nope")}]) is None


@pytest.mark.parametrize("request_fields, message", [
    ({"method": "GET", "caller": 0, "name": "nothing"}, "The property 'nothing' does not exist on type 'RequestContext'."),
    ({"method": "GET", "caller": 99, "name": "x"}, "object id 99 is unknown or was released"),
    ({"method": "GET", "caller": "0", "name": "x"}, "caller must be an integer id"),
    ({"method": "GET", "caller": 0, "name": "a b"}, "'a b' is not a property name"),
    ({"method": "SET", "caller": 0, "name": "workbook", "value": wire(1)}, "cannot be set"),
    ({"method": "SET", "caller": 0, "name": "workbook"}, "SET needs a value"),
    ({"method": "CALL", "caller": 0, "name": "__call__", "args": []}, "Type 'RequestContext' is not a function."),
    ({"method": "GETITEM", "caller": 0, "name": "0"}, "Type 'RequestContext' cannot be indexed."),
    ({"method": "PATCH", "caller": 0, "name": "x"}, "unknown request method 'PATCH'"),
    ({"method": "CALL", "caller": 2, "name": "__call__", "args": [{"arg_type": "PLACED", "value": {"type": "Int", "value": "x", "isSpec": False}}]},
     "an Int value must be an integer, got text"),
    ({"method": "CALL", "caller": 2, "name": "__call__", "args": [{"arg_type": "SPLAT", "value": wire(1)}]},
     "must be PLACED, or NAMED with a name"),
    ({"method": "CALL", "caller": 2, "name": "__call__", "args": [{"arg_type": "PLACED", "value": {"type": "Range", "value": 50, "isSpec": True}}]},
     "object id 50 is unknown"),
])
async def test_bad_requests_get_an_error_response(bridge, request_fields, message):
    response = await bridge.request(request_fields.pop("method"), request_fields.pop("caller"),
                                    request_fields.pop("name"), **request_fields)
    assert response["ok"] is False
    assert message in response["error"]["message"]


@pytest.mark.parametrize("method, args, named, message", [
    ("getRange", [], {}, "needs an address"),
    ("getRange", ["A1:"], {}, "is not a range address"),
    ("getRange", ["Nope!A1"], {}, "The worksheet 'Nope' does not exist."),
    ("getRange", ["A1", "B2"], {}, "getRange(): too many positional arguments"),
    ("getCell", [0], {"col": 1}, "getCell(): "),
    ("getCell", [-1, 0], {}, "row must be a whole number from 0."),
])
async def test_method_arguments_are_checked(bridge, method, args, named, message):
    worksheet = await bridge.call(await bridge.get(await bridge.get(0, "workbook"), "worksheets"), "getItem", "Sheet1")
    function = await bridge.get(worksheet, method)
    records = [{"arg_type": "PLACED", "value": wire(a)} for a in args]
    records += [{"arg_type": "NAMED", "name": k, "value": wire(v)} for k, v in named.items()]
    response = await bridge.request("CALL", function.id, "__call__", args=records)
    assert response["ok"] is False and message in response["error"]["message"]


async def test_released_objects_are_forgotten_but_roots_stay(bridge, addin):
    cells = await bridge.range("A1")
    before = addin.bridge.live_objects
    assert (await bridge.request("DEL", cells.id, "__del__"))["ok"]
    assert addin.bridge.live_objects == before - 1
    assert (await bridge.request("GET", cells.id, "address"))["ok"] is False
    for root in (0, 1, 2):
        assert (await bridge.request("DEL", root, "__del__"))["ok"]
    assert await bridge.get(0, "workbook")


async def test_a_lost_kernel_takes_its_objects_with_it(bridge, addin):
    cells = await bridge.range("A1")
    addin.kernel_lost()
    assert addin.bridge.live_objects == 0
    assert (await bridge.request("GET", cells.id, "address"))["ok"] is False


async def test_ranges_of_a_deleted_sheet_say_so(bridge):
    worksheets = await bridge.get(await bridge.get(0, "workbook"), "worksheets")
    sheet = await bridge.call(worksheets, "add", "Temp")
    cells = await bridge.call(sheet, "getRange", "A1")
    await bridge.call(sheet, "delete")
    response = await bridge.request("GET", cells.id, "values")
    assert response["ok"] is False and "was deleted" in response["error"]["message"]


async def test_worksheets_are_indexed_by_position(bridge):
    worksheets = await bridge.get(await bridge.get(0, "workbook"), "worksheets")
    second = await bridge.value("GETITEM", worksheets.id, "1")
    assert await bridge.get(second, "name") == "Sheet2"
    response = await bridge.request("GETITEM", worksheets.id, "1:3:")
    assert response["ok"] is False


async def test_formulas_written_by_code_are_calculated(bridge, addin):
    addin.sources["m"] = "def f(x):\n    return x\n"
    cells = await bridge.range("A1:B1")
    await bridge.set(cells, "formulas", [[5, "=m.f(A1)"]])
    call = addin.sent[-1]
    assert call["type"] == "custom_function_call"
    assert (call["module_name"], call["function_name"], call["args"]) == ("m", "f", [wire(5)])
    assert await bridge.get(cells, "formulas") == [[5, "=m.f(A1)"]]
    assert await bridge.get(cells, "values") == [[5, "#BUSY!"]]


async def test_event_handlers_added_by_code_are_called_with_the_change(bridge, addin):
    worksheet = await bridge.call(await bridge.get(await bridge.get(0, "workbook"), "worksheets"), "getItem", "Sheet1")
    on_changed = await bridge.get(worksheet, "onChanged")
    function = await bridge.get(on_changed, "add")
    handler = {"type": "Python_Function", "value": "pyfunc_abcd1234_1", "isSpec": True}
    registration = await bridge.value("CALL", function.id, "__call__", args=[{"arg_type": "PLACED", "value": handler}])
    addin.enter_cell("Sheet1", "B2", "42")
    call = addin.sent[-1]
    assert call["type"] == "python_function_call" and call["callable_id"] == "pyfunc_abcd1234_1"
    event = plain(call["args"][0])
    assert event["address"] == "B2" and event["type"] == "WorksheetChanged"
    assert event["details"] == {"valueBefore": None, "valueAfter": 42}
    await bridge.call(registration, "remove")
    count = len(addin.sent)
    addin.enter_cell("Sheet1", "B3", "1")
    assert len(addin.sent) == count


@pytest.mark.parametrize("reply, expected", [
    ({"success": True, "result": {"type": "Int", "value": 7, "isSpec": False}}, {"ok": True, "value": 7}),
    ({"success": False, "error": "Traceback ...\nValueError: no\n"}, {"ok": False, "value": "The Python function failed: ValueError: no"}),
])
async def test_excel_run_calls_the_python_function_with_a_context(bridge, addin, reply, expected):
    run = await bridge.get(1, "run")
    batch = {"type": "Python_Function", "value": "pyfunc_abcd1234_2", "isSpec": True}
    pending = asyncio.ensure_future(bridge.request("CALL", run.id, "__call__", args=[{"arg_type": "PLACED", "value": batch}]))
    for _ in range(100):
        if any(m["type"] == "python_function_call" for m in addin.sent):
            break
        await asyncio.sleep(0)
    call = [m for m in addin.sent if m["type"] == "python_function_call"][-1]
    assert call["callable_id"] == "pyfunc_abcd1234_2"
    assert call["args"][0]["type"] == "RequestContext" and call["args"][0]["isSpec"] is True
    assert addin.handle_kernel_message({"type": "python_function_result", "request_id": call["request_id"],
                                        "logs": "", "workbook_id": "wb", **reply})
    response = await pending
    assert response["ok"] is expected["ok"]
    if expected["ok"]:
        assert response["result"]["value"] == expected["value"]
    else:
        assert response["error"]["message"] == expected["value"]
