"""Debug runs over the wire: run_module with "debug": true against a real
kernel process, driven by the editor's debugger commands."""

import textwrap
import uuid

import pytest

from kernel_wire import BusinessLayer

WB = "wb-test"

DBG = textwrap.dedent("""\
    import time
    RATE = 2

    def helper(x):
        doubled = x * RATE
        return doubled

    def compute(n):
        total = 0
        for i in range(n):
            total += helper(i)
        return total

    def gen(n):
        for i in range(n):
            yield i * 10

    def broken(x):
        y = x + 1
        return y / 0

    def forty_two():
        return 42

    def nothing():
        pass

    def spin():
        print("started")
        deadline = time.monotonic() + 20
        count = 0
        while time.monotonic() < deadline:
            count += 1
            time.sleep(0.01)
        return count
""")


def line_of(text, after="import time"):
    lines = DBG.splitlines()
    return lines.index(text, lines.index(after)) + 1


CALL_LINE = line_of("        total += helper(i)")
FOR_LINE = line_of("    for i in range(n):", after="def compute(n):")
HELPER_FIRST = line_of("    doubled = x * RATE")
HELPER_RETURN = line_of("    return doubled")
YIELD_LINE = line_of("        yield i * 10")
GEN_FOR_LINE = line_of("    for i in range(n):", after="def gen(n):")
BROKEN_LINE = line_of("    return y / 0")
SPIN_LINE = line_of("        count += 1")


def rid():
    return uuid.uuid4().hex[:10]


def wire(value):
    return {"type": "Int", "value": value, "isSpec": False}


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB, log_level="debug")
    layer.request({"type": "update_module", "module_name": "dbg", "code": DBG}, "module_updated")
    yield layer
    layer.close()


def debug_run(bl, function_name, args=(), breakpoints=(), **extra):
    r = extra.pop("request_id", rid())
    bl.send({"type": "run_module", "module_name": "dbg", "function_name": function_name,
             "args": [wire(a) for a in args], "debug": True, "breakpoints": list(breakpoints), "request_id": r,
             **extra})
    return r


def at(line, module="dbg"):
    return {"module": module, "line": line}


def paused(bl):
    return bl.expect("debug_paused")


def variables(scope):
    return {v["name"]: v["value"] for v in scope}


def until_terminated(bl, r):
    seen = bl.until(lambda m: m["type"] == "debug_terminated" and m.get("request_id") == r)
    return [m for m in seen if m.get("request_id") == r or m["type"].startswith("debug_")]


def no_debugger(bl):
    return settled(bl)[-1]["result"] == "False"


def settled(bl):
    """Everything that arrives up to the answer of a probe request asking
    whether a debugger is active (that answer last)."""
    probe = rid()
    bl.send({"type": "execution_request", "code": "tarvex._kernel_instance.has_active_debugger",
             "request_id": probe})
    return bl.until(lambda m: m["type"] == "execution_result" and m["request_id"] == probe)


@pytest.mark.parametrize("function_name, args, outputs", [
    ("forty_two", [], ["Out: 42\n"]),
    ("nothing", [], ["Out: None\n"]),
    ("compute", [3], ["Out: 6\n"]),
    ("gen", [3], ["Yield [1]: 0\n", "Yield [2]: 10\n", "Yield [3]: 20\n", "Out: Generator completed with 3 yields\n"]),
])
def test_run_without_stops_reports_its_result_then_ends(bl, function_name, args, outputs):
    r = debug_run(bl, function_name, args, breakpoints=[at(BROKEN_LINE)], source="addin")
    seen = until_terminated(bl, r)
    assert seen == [{"type": "result_output", "content": text, "request_id": r, "workbook_id": "", "source": "addin"}
                    for text in outputs] + [{"type": "debug_terminated", "request_id": r, "workbook_id": ""}]
    assert no_debugger(bl)


def test_breakpoint_pauses_with_line_locals_and_call_stack(bl):
    r = debug_run(bl, "compute", [3], breakpoints=[at(CALL_LINE)], workbook_id=WB)
    first = paused(bl)
    assert {k: first[k] for k in ("type", "workbook_id", "reason", "module", "line", "file", "function")} == {
        "type": "debug_paused", "workbook_id": WB, "reason": "breakpoint", "module": "dbg", "line": CALL_LINE,
        "file": "<virtual:dbg>", "function": "compute"}
    assert variables(first["locals"]) == {"n": "3", "total": "0", "i": "0"}
    assert variables(first["globals"])["RATE"] == "2"
    assert first["call_stack"] == [{"module": "dbg", "function": "compute", "line": CALL_LINE,
                                    "file": "<virtual:dbg>"}]
    bl.send({"type": "debug_continue"})
    assert bl.recv() == {"type": "debug_resumed"}
    assert variables(paused(bl)["locals"]) == {"n": "3", "total": "0", "i": "1"}
    # Breakpoints change while the run is paused; continuing then runs to the end.
    mark = bl.log_mark()
    bl.send({"type": "debug_update_breakpoints", "breakpoints": []})
    bl.wait_for_log("[Kernel] Updated breakpoints during debug session: 0 breakpoints", since=mark)
    bl.send({"type": "debug_continue"})
    seen = until_terminated(bl, r)
    assert seen[-2:] == [
        {"type": "result_output", "content": "Out: 6\n", "request_id": r, "workbook_id": WB, "source": "ide"},
        {"type": "debug_terminated", "request_id": r, "workbook_id": WB}]
    assert no_debugger(bl)


def test_stepping_into_over_and_out(bl):
    r = debug_run(bl, "compute", [2], breakpoints=[at(CALL_LINE)])
    assert paused(bl)["line"] == CALL_LINE
    steps = []
    for command in ("debug_step_into", "debug_step_over", "debug_step_out", "debug_step_over"):
        bl.send({"type": command})
        where = paused(bl)
        steps.append((where["function"], where["line"], where["reason"]))
    assert steps == [("helper", HELPER_FIRST, "step"), ("helper", HELPER_RETURN, "step"),
                     ("compute", CALL_LINE, "step"), ("compute", FOR_LINE, "step")]
    bl.send({"type": "debug_update_breakpoints", "breakpoints": []})
    bl.send({"type": "debug_continue"})
    assert until_terminated(bl, r)[-2]["content"] == "Out: 2\n"
    assert no_debugger(bl)


def test_evaluation_in_the_paused_frame(bl):
    r = debug_run(bl, "compute", [3], breakpoints=[at(CALL_LINE)])
    paused(bl)
    results = []
    for expression in ("n * 10 + i", "nope", "total = 100"):
        e = rid()
        bl.send({"type": "debug_evaluate", "expression": expression, "request_id": e})
        results.append(bl.expect("debug_evaluate_result", request_id=e))
    assert results[0] == {"type": "debug_evaluate_result", "workbook_id": WB, "request_id": results[0]["request_id"],
                          "expression": "n * 10 + i", "result": "30", "result_type": "int"}
    assert results[1]["error"] == "NameError: name 'nope' is not defined"
    assert results[2]["result"] == "None"
    # The assignment changed the paused function's variable.
    bl.send({"type": "debug_update_breakpoints", "breakpoints": []})
    bl.send({"type": "debug_continue"})
    assert until_terminated(bl, r)[-2]["content"] == "Out: 106\n"


@pytest.mark.parametrize("function_name, args, expected", [
    ("broken", [1], {"module": "dbg", "line": BROKEN_LINE, "file": "<virtual:dbg>",
                     "exception_type": "ZeroDivisionError", "exception_message": "division by zero"}),
    ("absent", [], {"module": "dbg", "line": 1, "file": "",
                    "exception_type": "AttributeError",
                    "exception_message": "Function 'absent' not found in module 'dbg'"}),
])
def test_exception_is_shown_where_it_happened(bl, function_name, args, expected):
    r = debug_run(bl, function_name, args)
    seen = until_terminated(bl, r)
    assert [m["type"] for m in seen] == ["debug_exception", "debug_terminated"]
    shown = seen[0]
    assert list(shown) == ["type", "workbook_id", "module", "line", "file", "exception_type", "exception_message",
                           "exception_traceback", "locals", "globals", "call_stack"]
    assert {k: shown[k] for k in expected} == expected
    assert shown["exception_traceback"].rstrip("\n").endswith(
        f"{expected['exception_type']}: {expected['exception_message']}")
    assert (shown["workbook_id"], shown["locals"], shown["globals"], shown["call_stack"]) == ("", [], [], [])
    assert "runcall" not in shown["exception_traceback"]  # starts at the user's code
    assert no_debugger(bl)


def test_generator_debugged_through_its_yields(bl):
    r = debug_run(bl, "gen", [3], breakpoints=[at(YIELD_LINE)])
    first = paused(bl)
    assert (first["function"], first["line"], variables(first["locals"])["i"]) == ("gen", YIELD_LINE, "0")
    bl.send({"type": "debug_step_over"})
    # The value goes out, and the step lands on the loop line when the
    # generator is resumed.
    assert bl.expect("result_output", request_id=r)["content"] == "Yield [1]: 0\n"
    stepped = paused(bl)
    assert (stepped["line"], stepped["reason"]) == (GEN_FOR_LINE, "step")
    bl.send({"type": "debug_continue"})
    again = paused(bl)
    assert (again["line"], variables(again["locals"])["i"]) == (YIELD_LINE, "1")
    bl.send({"type": "debug_update_breakpoints", "breakpoints": []})
    bl.send({"type": "debug_continue"})
    seen = until_terminated(bl, r)
    assert [m["content"] for m in seen if m["type"] == "result_output"] == [
        "Yield [2]: 10\n", "Yield [3]: 20\n", "Out: Generator completed with 3 yields\n"]
    assert no_debugger(bl)


@pytest.mark.parametrize("function_name, line, after_stop", [
    ("compute", CALL_LINE, []),
    ("gen", YIELD_LINE, ["Out: Generator stoped before ending\n"]),
])
def test_stop_while_paused_ends_the_run_once(bl, function_name, line, after_stop):
    r = debug_run(bl, function_name, [3], breakpoints=[at(line)])
    paused(bl)
    mark = bl.log_mark()
    bl.send({"type": "debug_stop"})
    assert bl.expect("debug_terminated") == {"type": "debug_terminated", "workbook_id": WB}
    bl.wait_for_log("[Kernel] Debug execution stopped before its end; debug_terminated was already sent", since=mark)
    # No result of a function that never returned, and no second end.
    rest = settled(bl)
    assert [m["content"] for m in rest if m["type"] == "result_output" and m.get("request_id") == r] == after_stop
    assert not [m for m in rest if m["type"] == "debug_terminated"]
    assert rest[-1]["result"] == "False"


def test_breakpoint_added_while_running(bl):
    r = debug_run(bl, "spin")
    assert bl.expect("stdout", request_id=r)["content"].startswith("started")
    bl.send({"type": "debug_update_breakpoints", "breakpoints": [at(SPIN_LINE)]})
    where = paused(bl)
    assert (where["function"], where["line"], where["reason"]) == ("spin", SPIN_LINE, "breakpoint")
    mark = bl.log_mark()
    bl.send({"type": "debug_update_breakpoints", "breakpoints": {"not": "a list"}})
    bl.wait_for_log("[Kernel] Invalid breakpoints data type: <class 'dict'>", since=mark)
    bl.send({"type": "debug_stop"})
    bl.expect("debug_terminated")
    bl.wait_for_log("[Kernel] Debug execution stopped before its end", since=mark)
    assert no_debugger(bl)


def test_other_requests_run_while_a_debug_run_is_paused(bl):
    bl.request({"type": "update_module", "module_name": "plain", "code": "def add(a, b):\n    return a + b\n"},
               "module_updated")
    r = debug_run(bl, "compute", [3], breakpoints=[at(CALL_LINE)])
    paused(bl)
    assert bl.execute("sum(range(10))", rid())[1]["result"] == "45"
    c = rid()
    bl.send({"type": "custom_function_call", "module_name": "plain", "function_name": "add",
             "args": [wire(2), wire(3)], "request_id": c})
    assert bl.expect("function_execution_result", request_id=c)["result"] == wire(5)
    bl.send({"type": "debug_update_breakpoints", "breakpoints": []})
    bl.send({"type": "debug_continue"})
    assert until_terminated(bl, r)[-2]["content"] == "Out: 6\n"
    assert no_debugger(bl)


def test_new_debug_run_stops_a_paused_one(bl):
    first = debug_run(bl, "compute", [3], breakpoints=[at(CALL_LINE)])
    paused(bl)
    second = debug_run(bl, "forty_two")
    seen = until_terminated(bl, second)
    assert seen == [
        {"type": "debug_terminated", "workbook_id": WB},  # the first session's end
        {"type": "result_output", "content": "Out: 42\n", "request_id": second, "workbook_id": "", "source": "ide"},
        {"type": "debug_terminated", "request_id": second, "workbook_id": ""},
    ]
    rest = settled(bl)
    assert not [m for m in rest if m.get("request_id") == first] and rest[-1]["result"] == "False"


@pytest.mark.parametrize("field, value, text", [
    ("breakpoints", None, "Argument 'breakpoints' has incorrect type (expected list, got NoneType)"),
    ("module_name", 5, "Argument 'module_name' has incorrect type (expected str, got int)"),
])
def test_debug_run_with_a_field_of_the_wrong_type_is_answered(bl, field, value, text):
    r = rid()
    message = {"type": "run_module", "module_name": "dbg", "function_name": "forty_two", "debug": True,
               "request_id": r, field: value}
    bl.send(message)
    reply = bl.expect("execution_error", request_id=r)
    assert list(reply) == ["type", "success", "error", "request_id", "workbook_id", "source"]
    assert (reply["error"]["type"], reply["error"]["message"]) == ("TypeError", text)
    assert no_debugger(bl)
