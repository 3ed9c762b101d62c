"""Cell formulas of the simulated workbook: what they send the kernel and what the cells show."""

import pytest

from tarvex_master.standin.a1 import AddressError, column_name, parse_range
from tarvex_master.standin.addin import WorkbookAddin
from tarvex_master.standin.formulas import FormulaError, Literal, Reference, parse_formula
from tarvex_master.standin.python_source import is_generator_function
from tarvex_master.standin.wire import to_wire
from tarvex_master.standin.workbook import parse_entry

MODULES = {
    "m": "def double(x):\n    return x * 2\n\ndef count(n):\n    yield from range(n)\n\ndef table():\n    return [[1, 2], [3, 4]]\n",
}


def wire(value):
    return to_wire(value, register=None)


@pytest.mark.parametrize("text, expected", [
    ("=m.f()", ("m", "f", [])),
    ('=pkg.mod.f(1, -2.5, "a""b", TRUE, false)', ("pkg.mod", "f", [Literal(1), Literal(-2.5), Literal('a"b'), Literal(True), Literal(False)])),
    ("=m.f(B2, Sheet2!A1:B3, 'My sheet'!$C$4)", ("m", "f", [Reference(None, 1, 1, 1, 1), Reference("Sheet2", 0, 0, 2, 1), Reference("My sheet", 3, 2, 3, 2)])),
    ("= abc1.f( 2 )", ("abc1", "f", [Literal(2)])),
])
def test_calls_are_read_into_module_function_and_arguments(text, expected):
    formula = parse_formula(text)
    assert (formula.module, formula.function, formula.args) == expected


def test_a_reference_alone_is_a_formula_too():
    assert parse_formula("=C3").reference == Reference(None, 2, 2, 2, 2)


@pytest.mark.parametrize("text, error", [
    ("=f(1)", "write module.function"),
    ("=m.f(1", r"expected '\)'"),
    ("=m.f(1) + 2", "expected the end of the formula"),
    ('=m.f("open)', "closing"),
    ("=m.f(x)", "a number"),
    ("=m.f(A0)", "not a range address"),
])
def test_unreadable_formulas_say_why(text, error):
    with pytest.raises(FormulaError, match=error):
        parse_formula(text)


@pytest.mark.parametrize("text, expected", [
    ("", (None, None)), ("  ", (None, None)), ("12", (12, None)), ("-1.5e3", (-1500.0, None)),
    ("true", (True, None)), ("FALSE", (False, None)), ("hello", ("hello", None)), ("=m.f()", (None, "=m.f()")),
    ("=", ("=", None)), ("007", (7, None)),
])
def test_typed_entries_become_values_or_formulas(text, expected):
    assert parse_entry(text) == expected


@pytest.mark.parametrize("address, expected", [
    ("A1", (None, 0, 0, 0, 0)), ("b3:a1", (None, 0, 0, 2, 1)), ("$AA$10", (None, 9, 26, 9, 26)),
    ("'It''s'!C2", ("It's", 1, 2, 1, 2)), ("XFD1048576", (None, 1048575, 16383, 1048575, 16383)),
])
def test_addresses(address, expected):
    assert parse_range(address) == expected


@pytest.mark.parametrize("address", ["", "A", "1", "A1:B2:C3", "XFE1", "A1048577", "A1 B2"])
def test_addresses_that_name_no_cells(address):
    with pytest.raises(AddressError):
        parse_range(address)


def test_column_names_round_the_alphabet():
    assert [column_name(i) for i in (0, 25, 26, 701, 702)] == ["A", "Z", "AA", "ZZ", "AAA"]


@pytest.mark.parametrize("source, name, expected", [
    (MODULES["m"], "count", True),
    (MODULES["m"], "double", False),
    ("def g():\n    def inner():\n        yield 1\n    return inner\n", "g", False),
    ("def g():\n    x = [(yield)]\n", "g", True),
    ("def g():\n    yield 1\ndef g():\n    return 1\n", "g", False),
    ("def g(:\n", "g", False),
    ("async def g():\n    yield 1\n", "g", False),
])
def test_generator_functions_are_recognised_from_the_source(source, name, expected):
    assert is_generator_function(source, name) is expected


class Sheet:
    """The add-in with a connected kernel that the test answers by hand."""

    def __init__(self, modules=MODULES, connected=True):
        self.sent, self.notes = [], []
        self.modules = dict(modules)
        self.addin = WorkbookAddin("wb", self.sent.append, self.notes.append, self.modules.get)
        if connected:
            self.addin.kernel_connected()

    def enter(self, address, text, sheet="Sheet1"):
        self.addin.enter_cell(sheet, address, text)

    def cell(self, address, sheet="Sheet1"):
        _, row, column, _, _ = parse_range(address)
        found = self.addin.workbook.sheet(sheet).cell(row, column)
        return found.to_json() if found else None

    def text(self, address):
        cell = self.cell(address)
        return cell["text"] if cell else ""

    def last(self, kind):
        return [m for m in self.sent if m["type"] == kind][-1]

    def answer(self, request, value=None, error=None):
        if error:
            self.addin.handle_kernel_message({"type": "function_execution_result", "request_id": request["request_id"],
                                              "status": "error", "result": None, "logs": "", "error": error})
        else:
            self.addin.handle_kernel_message({"type": "function_execution_result", "request_id": request["request_id"],
                                              "status": "success", "result": wire(value), "logs": ""})

    def stream(self, request, value=None, done=False, **extra):
        message = {"type": "streaming_function_result", "request_id": request["request_id"], "done": done, **extra}
        if not done:
            message["result"] = wire(value)
        self.addin.handle_kernel_message(message)


def test_a_formula_calls_its_function_and_shows_the_result():
    sheet = Sheet()
    sheet.enter("A1", "21")
    sheet.enter("B1", "=m.double(A1)")
    call = sheet.last("custom_function_call")
    assert call == {"type": "custom_function_call", "module_name": "m", "function_name": "double",
                    "args": [wire(21)], "request_id": call["request_id"], "workbook_id": "wb", "source": "addin"}
    assert sheet.cell("B1")["error"] == "#BUSY!"
    sheet.answer(call, 42)
    assert sheet.cell("B1") == {"text": "42", "value": 42, "formula": "=m.double(A1)"}


def test_ranges_arrive_as_rows_and_empty_cells_as_null():
    sheet = Sheet()
    sheet.enter("A1", "1")
    sheet.enter("B2", "x")
    sheet.enter("D1", "=m.double(A1:B2)")
    assert sheet.last("custom_function_call")["args"] == [wire([[1, None], [None, "x"]])]


def test_changing_an_input_recalculates_interrupting_the_running_call_whose_late_answer_is_ignored():
    sheet = Sheet()
    sheet.enter("A1", "1")
    sheet.enter("B1", "=m.double(A1)")
    first = sheet.last("custom_function_call")
    sheet.enter("A1", "5")
    second = sheet.last("custom_function_call")
    assert second["args"] == [wire(5)] and second["request_id"] != first["request_id"]
    assert sheet.last("interrupt_request") == {"type": "interrupt_request", "request_id": first["request_id"],
                                               "workbook_id": "wb"}
    sheet.answer(first, 2)
    assert sheet.cell("B1")["error"] == "#BUSY!"
    sheet.answer(second, 10)
    assert sheet.text("B1") == "10"


def test_a_chain_of_formulas_recalculates_in_order():
    sheet = Sheet()
    sheet.enter("A1", "1")
    sheet.enter("B1", "=m.double(A1)")
    sheet.enter("C1", "=m.double(B1)")
    assert sheet.text("C1") == "#BUSY!"  # waits for B1
    sheet.answer(sheet.last("custom_function_call"), 2)
    call = sheet.last("custom_function_call")
    assert call["args"] == [wire(2)]
    sheet.answer(call, 4)
    assert (sheet.text("B1"), sheet.text("C1")) == ("2", "4")


def test_a_failed_function_shows_value_error_with_the_exception():
    sheet = Sheet()
    sheet.enter("A1", "=m.double(1)")
    sheet.answer(sheet.last("custom_function_call"), error="Traceback ...\nZeroDivisionError: division by zero\n")
    assert sheet.cell("A1")["error"] == "#VALUE!"
    assert sheet.cell("A1")["detail"] == "ZeroDivisionError: division by zero"


@pytest.mark.parametrize("formula, error, detail", [
    ("=nomodule.f(1)", "#NAME?", "There is no module 'nomodule' in this workbook."),
    ("=m.double(", "#NAME?", "The formula cannot be read"),
    ("=m.double(AB1)", "#CYCLE!", "circular reference"),
    ("=m.double(Gone!A1)", "#REF!", "There is no worksheet 'Gone'."),
    ("=m.double(A1:Z9999)", "#VALUE!", "at most 100000 can be passed"),
])
def test_formulas_that_cannot_run_say_why_without_asking_the_kernel(formula, error, detail):
    sheet = Sheet()
    sheet.enter("AB1", formula)
    assert sheet.cell("AB1")["error"] == error
    assert detail in sheet.cell("AB1")["detail"]
    assert not any(m["type"] == "custom_function_call" for m in sheet.sent)


def test_two_formulas_reading_each_other_are_a_cycle():
    sheet = Sheet()
    sheet.enter("A1", "=m.double(B1)")
    sheet.enter("B1", "=m.double(A1)")
    assert sheet.cell("B1")["error"] == "#CYCLE!"


def test_without_a_kernel_formulas_show_connect_and_run_once_it_connects():
    sheet = Sheet(connected=False)
    sheet.enter("A1", "=m.double(2)")
    assert sheet.cell("A1")["error"] == "#CONNECT!"
    sheet.addin.kernel_connected()
    assert sheet.last("custom_function_call")["args"] == [wire(2)]


def test_losing_the_kernel_marks_running_formulas():
    sheet = Sheet()
    sheet.enter("A1", "=m.double(2)")
    sheet.addin.kernel_lost()
    assert sheet.cell("A1")["error"] == "#CONNECT!"


def test_array_results_spill_and_are_blocked_by_cells_in_the_way():
    sheet = Sheet()
    sheet.enter("A1", "=m.table()")
    sheet.answer(sheet.last("custom_function_call"), [[1, 2], [3, 4]])
    assert [sheet.text(a) for a in ("A1", "B1", "A2", "B2")] == ["1", "2", "3", "4"]
    assert sheet.cell("B2")["spill_from"] == "A1"
    sheet.enter("B2", "x")
    assert sheet.cell("A1")["error"] == "#SPILL!" and sheet.text("A2") == ""
    sheet.enter("B2", "")
    assert [sheet.text(a) for a in ("A1", "B1", "A2", "B2")] == ["1", "2", "3", "4"]
    sheet.enter("D1", "=m.double(B1:C2)")  # reads part of the array, and empty cells beside it
    assert sheet.last("custom_function_call")["args"] == [wire([[2, None], [4, None]])]


def test_pages_get_an_array_result_whole_with_its_formula_cell():
    sheet = Sheet()
    sheet.enter("A1", "=m.table()")
    sheet.notes.clear()
    sheet.answer(sheet.last("custom_function_call"), [["x", 1.5], [True, None], ["a\tb", 7]])
    assert [n for n in sheet.notes if n["type"] == "cells_updated"] == [{"type": "cells_updated", "sheets": {"Sheet1": {
        "A1": {"text": "x", "value": "x", "formula": "=m.table()", "spill": {
            "rows": 3, "columns": 2, "texts": ["x\t1.5", "TRUE\t", ["a\tb", "7"]], "numeric": ["01", "00", "01"]}}}}}]


def test_streaming_formulas_update_live_and_are_cancelled_when_removed():
    sheet = Sheet()
    sheet.enter("C1", "=m.count(1000)")
    request = sheet.last("execute_streaming_function")
    assert request == {"type": "execute_streaming_function", "request_id": request["request_id"], "module_name": "m",
                       "function_name": "count", "args": [wire(1000)], "workbook_id": "wb", "source": "addin"}
    shown = []
    for value in (0, 1, 2):
        sheet.stream(request, value)
        shown.append(sheet.cell("C1"))
    assert [c["text"] for c in shown] == ["0", "1", "2"] and all(c["streaming"] for c in shown)
    sheet.enter("C1", "")
    assert sheet.last("cancel_streaming_function") == {
        "type": "cancel_streaming_function", "request_id": request["request_id"], "workbook_id": "wb"}
    sheet.stream(request, 3)  # already on its way: ignored
    assert sheet.cell("C1") is None
    sheet.stream(request, done=True, result="Canceled")
    assert sheet.notes[-2:] == [
        {"type": "addin_log", "level": "info", "request_id": request["request_id"],
         "text": "Sheet1!C1 =m.count(1000): the stream stopped."},
        {"type": "addin_request_done", "request_id": request["request_id"], "status": "stopped"}]


@pytest.mark.parametrize("ending, text, error, status", [
    ({}, "2", None, "ok"),
    ({"error": "boom"}, "#VALUE!", "#VALUE!", "failed"),
])
def test_a_stream_that_ends_keeps_its_last_value_or_shows_its_error(ending, text, error, status):
    sheet = Sheet()
    sheet.enter("C1", "=m.count(3)")
    request = sheet.last("execute_streaming_function")
    for value in (0, 1, 2):
        sheet.stream(request, value)
    sheet.stream(request, done=True, **ending)
    cell = sheet.cell("C1")
    assert cell["text"] == text and cell.get("error") == error and "streaming" not in cell
    assert {"type": "addin_request_done", "request_id": request["request_id"], "status": status} in sheet.notes


def test_a_stream_without_values_shows_na():
    sheet = Sheet()
    sheet.enter("C1", "=m.count(0)")
    sheet.stream(sheet.last("execute_streaming_function"), done=True)
    assert sheet.cell("C1")["error"] == "#N/A"


def test_a_saved_module_recalculates_the_formulas_that_call_it():
    sheet = Sheet()
    sheet.enter("A1", "=m.double(1)")
    sheet.enter("A2", "=m.count(3)")
    stream = sheet.last("execute_streaming_function")
    count = len(sheet.sent)
    sheet.addin.module_saved("m")
    kinds = [m["type"] for m in sheet.sent[count:]]
    assert sorted(kinds) == ["cancel_streaming_function", "custom_function_call", "execute_streaming_function",
                            "interrupt_request"]
    assert sheet.last("cancel_streaming_function")["request_id"] == stream["request_id"]


def test_a_saved_module_recalculates_the_formulas_of_modules_that_import_it():
    sheet = Sheet({"kit": "RATE = 2\n", "mid": "from kit import RATE\n",
                   "main": "import mid\ndef price(x):\n    return x * mid.RATE\n",
                   "loop": "import loop, main\ndef price(x):\n    return main.price(x)\n",
                   "other": "import json\ndef price(x):\n    return x\n"})
    for address, module in (("A1", "main"), ("A2", "loop"), ("A3", "other")):
        sheet.enter(address, f"={module}.price(1)")
    count = len(sheet.sent)
    sheet.addin.module_saved("kit")
    calls = [m for m in sheet.sent[count:] if m["type"] == "custom_function_call"]
    assert sorted(m["module_name"] for m in calls) == ["loop", "main"]


def test_page_registered_handlers_run_through_event_execution_unless_events_are_off():
    sheet = Sheet()
    sheet.addin.register_handler("onChanged", "Sheet1", "m", "double")
    sheet.enter("A1", "7")
    call = sheet.last("event_execution")
    assert {k: call[k] for k in ("module_name", "function_name", "object_name", "event_type", "object_type")} == {
        "module_name": "m", "function_name": "double", "object_name": "Sheet1",
        "event_type": "onChanged", "object_type": "Worksheet"}
    assert call["args"][0]["type"] == "Dict"
    sheet.addin.set_events_enabled(False)
    count = len(sheet.sent)
    sheet.enter("A1", "8")
    assert len(sheet.sent) == count
    assert {"type": "events_enabled", "enabled": False} in sheet.notes


def test_a_failed_handler_is_reported_to_the_pages():
    sheet = Sheet()
    sheet.addin.register_handler("onChanged", None, "m", "double")
    sheet.enter("A1", "7")
    call = sheet.last("event_execution")
    sheet.addin.handle_kernel_message({"type": "event_execution_result", "status": "error", "logs": "",
                                       "error": "Traceback\nTypeError: bad\n", "request_id": call["request_id"]})
    log = [n for n in sheet.notes if n.get("type") == "addin_log"][-1]
    assert log["level"] == "error" and log["text"].endswith("failed: TypeError: bad")
