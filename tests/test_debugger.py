import asyncio
import concurrent.futures
import contextlib
import functools
import json
import sys
import threading

import pytest

from debugger_harness import (DebugSession, kernel_function, load_virtual_module,
                              monitoring_slot_taken)
from tarvex_master.python_server import debugger as debugger_module
from tarvex_master.python_server.debugger import TarvexDebugger, parse_breakpoints

CALC = """\
def helper(x):
    y = x * 2
    return y

def main(n):
    total = 0
    for i in range(n):
        total += helper(i)
    return total
"""

NUMBERS = """\
def numbers(n):
    for i in range(n):
        value = i * 10
        yield value

def consume():
    total = 0
    for v in numbers(3):
        total += v
    return total
"""

ITERATE = kernel_function("""
def iterate(gen):
    values = [item for item in gen]
    return values, len(values)
""", "iterate")


@pytest.fixture(params=["monitoring", "settrace"])
def backend(request):
    """Runs a test on sys.monitoring and on the settrace fallback."""
    with monitoring_slot_taken() if request.param == "settrace" else contextlib.nullcontext():
        yield request.param


@pytest.fixture
def calc():
    return load_virtual_module("wb_calc", CALC)


@pytest.fixture(autouse=True)
def forget_virtual_modules():
    yield
    for name in [name for name in sys.modules if name.startswith("wb_")]:
        del sys.modules[name]


def names_and_values(variables):
    return {v["name"]: v["value"] for v in variables}


async def test_breakpoint_pause_message(calc, backend):
    session = DebugSession([{"module": "wb_calc", "line": 2}], in_memory_modules=["wb_calc"])
    session.start(calc.main, 3)
    message = await session.paused()
    assert {k: message[k] for k in ("workbook_id", "reason", "module", "line", "file", "function")} == {
        "workbook_id": "wb-test", "reason": "breakpoint", "module": "wb_calc", "line": 2,
        "file": "<virtual:wb_calc>", "function": "helper"}
    assert message["locals"] == [{"name": "x", "value": "0", "type": "int"}]
    assert [g["name"] for g in message["globals"]] == ["helper", "main"]
    assert message["call_stack"] == [
        {"module": "wb_calc", "function": "helper", "line": 2, "file": "<virtual:wb_calc>"},
        {"module": "wb_calc", "function": "main", "line": 8, "file": "<virtual:wb_calc>"}]
    session.debugger.set_breakpoints([])
    session.debugger.continue_execution()
    assert await session.finish() == 6


async def test_second_run_of_the_same_code_stops_at_its_breakpoint(calc, backend):
    # The first run disables every location of main it cannot stop in; those
    # must not stay disabled for the next run.
    first = DebugSession([{"module": "wb_calc", "line": 3}], in_memory_modules=["wb_calc"])
    first.debugger.set_breakpoints([{"module": "wb_calc", "line": 100}])
    assert await first.start(calc.main, 3) == 6
    second = DebugSession([{"module": "wb_calc", "line": 8}], in_memory_modules=["wb_calc"])
    second.start(calc.main, 3)
    assert (await second.paused())["line"] == 8
    second.debugger.stop_debugging()
    assert await second.finish() is None


@pytest.mark.parametrize("commands, lines", [
    (["step_over", "step_over"], [(7, "main"), (8, "main")]),
    (["step_into", "step_over", "step_over"], [(2, "helper"), (3, "helper"), (8, "main")]),
    (["step_into", "step_out", "step_over"], [(2, "helper"), (8, "main"), (7, "main")]),
    (["continue_execution"], [(8, "main")]),
], ids=["over", "into-then-return", "out", "continue"])
async def test_stepping(calc, backend, commands, lines):
    session = DebugSession(["wb_calc:8"])
    session.start(calc.main, 3)
    assert (await session.paused())["line"] == 8
    seen = []
    for command in commands:
        message = await session.step(command)
        seen.append((message["line"], message["function"]))
    assert seen == lines
    session.debugger.stop_debugging()
    assert await session.finish() is None


@pytest.mark.parametrize("expression, expected", [
    ("total + i + 1", {"result": "1", "result_type": "int"}),
    ("[n * k for k in range(3)]", {"result": "[0, 3, 6]", "result_type": "list"}),
    ("missing", {"error": "NameError: name 'missing' is not defined"}),
    ("1/0", {"error": "ZeroDivisionError: division by zero"}),
    ("  ", {"error": "No expression given"}),
    ("raise SystemExit(3)", {"error": "SystemExit: 3"}),
])
async def test_evaluate_in_paused_frame(calc, expression, expected):
    session = DebugSession(["wb_calc:8"])
    assert session.debugger.evaluate_expression("1") == {"error": "The debugger is not paused"}
    session.start(calc.main, 3)
    await session.paused()
    # The kernel merges this mapping into its reply: it must not carry the
    # reply's own keys ("type" would replace the message type).
    assert session.debugger.evaluate_expression(expression) == expected
    session.debugger.stop_debugging()
    assert await session.finish() is None


async def test_assignment_while_paused_changes_the_run(calc):
    session = DebugSession(["wb_calc:8"])
    session.start(calc.main, 3)
    await session.paused()
    assert session.debugger.evaluate_expression("total = 100") == {"result": "None", "result_type": "NoneType"}
    session.debugger.set_breakpoints([])
    session.debugger.continue_execution()
    assert await session.finish() == 106


async def test_breakpoints_replaced_while_paused(calc):
    session = DebugSession([{"module": "wb_calc", "line": 8, "condition": "i == 1"}])
    session.start(calc.main, 3)
    assert names_and_values((await session.paused())["locals"])["i"] == "1"
    session.debugger.set_breakpoints([{"module": "wb_calc", "line": 3}])
    message = await session.step("continue_execution")
    assert (message["line"], names_and_values(message["locals"])) == (3, {"x": "1", "y": "2"})
    session.debugger.set_breakpoints([])
    session.debugger.continue_execution()
    assert await session.finish() == 6


FAILING = """\
def fail():
    raise ValueError("bad input")

def caught():
    try:
        fail()
    except ValueError:
        return "caught"

def uncaught():
    return fail()
"""


async def test_exceptions_while_debugging(backend):
    module = load_virtual_module("wb_failing", FAILING)
    session = DebugSession(["wb_failing:2"])
    session.start(module.caught)
    await session.paused()
    # The exception leaves fail() without stopping at the call it unwinds.
    assert (await session.step("step_over"))["line"] == 7
    session.debugger.continue_execution()
    assert await session.finish() == "caught"
    session = DebugSession()
    session.start(module.uncaught)
    with pytest.raises(ValueError, match="bad input"):
        await session.finish()


SPIN = """\
def spin():
    n = 0
    started.set()
    while state["go"]:
        n += 1
    return n
"""


@pytest.mark.parametrize("action", ["add breakpoint", "stop"])
async def test_change_while_running(backend, action):
    started = threading.Event()
    state = {"go": True}
    module = load_virtual_module("wb_spin", SPIN, started=started, state=state)
    session = DebugSession()
    session.start(module.spin)
    await asyncio.to_thread(started.wait, 20)
    if action == "stop":
        session.debugger.stop_debugging()
        assert await session.finish() is None
        return
    session.debugger.set_breakpoints(["wb_spin:5"])
    message = await session.paused()
    assert message["line"] == 5
    session.debugger.set_breakpoints([])
    state["go"] = False
    session.debugger.continue_execution()
    assert await session.finish() > 0


GUARDED = """\
def guarded(n):
    try:
        for i in range(n):
            done.append(i)
    except Exception:
        done.append("swallowed")
    done.append("after")
    return done
"""


async def test_stop_while_paused_is_not_swallowed_by_user_code():
    done = []
    module = load_virtual_module("wb_guarded", GUARDED, done=done)
    session = DebugSession(["wb_guarded:4"])
    session.start(module.guarded, 3)
    await session.paused()
    session.debugger.stop_debugging()
    assert await session.finish() is None
    assert done == [] and session.debugger.stopped
    # Once stopped, the debugger does not run anything again.
    assert session.debugger.runcall(module.guarded, 3) is None
    assert done == []


async def test_generator_stepped_through_its_yields(backend):
    module = load_virtual_module("wb_numbers", NUMBERS)
    session = DebugSession(["wb_numbers:3"])
    session.start(module.numbers, 3)
    generator = await asyncio.wait_for(session.run, 20)
    session.start(ITERATE, generator)
    seen = [(await session.paused())["line"]]
    for _ in range(3):
        seen.append((await session.step("step_over"))["line"])
    message = await session.step("continue_execution")
    assert seen == [3, 4, 2, 3]
    assert names_and_values(message["locals"]) == {"n": "3", "i": "2", "value": "10"}
    session.debugger.continue_execution()
    assert await session.finish() == ([0, 10, 20], 3)


async def test_step_out_of_generator_lands_in_its_consumer():
    module = load_virtual_module("wb_numbers", NUMBERS)
    session = DebugSession(["wb_numbers:3"])
    session.start(module.consume)
    await session.paused()
    message = await session.step("step_out")
    assert (message["function"], message["line"], names_and_values(message["locals"])) == (
        "consume", 8, {"total": "0"})
    session.debugger.set_breakpoints([])
    session.debugger.continue_execution()
    assert await session.finish() == 30


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr today")


SHOW = """\
def show():
    bad = BadRepr()
    text = "x" * 10000
    big = list(range(1000000))
    return len(big)
"""


async def test_values_are_bounded_reprs():
    module = load_virtual_module("wb_show", SHOW, BadRepr=BadRepr)
    session = DebugSession(["wb_show:5"])
    session.start(module.show)
    shown = {v["name"]: v for v in (await session.paused())["locals"]}
    assert shown["bad"] == {"name": "bad", "value": "<repr raised ValueError: no repr today>", "type": "BadRepr"}
    assert shown["text"]["value"].startswith("'xxx") and len(shown["text"]["value"]) <= 200
    assert shown["big"]["value"].startswith("[0, 1, 2,") and shown["big"]["value"].endswith("...]")
    assert session.debugger.evaluate_expression("bad") == {
        "result": "<repr raised ValueError: no repr today>", "result_type": "BadRepr"}
    session.debugger.continue_execution()
    assert await session.finish() == 1000000


async def test_other_threads_run_on_while_paused(calc, backend):
    session = DebugSession(["wb_calc:2"])
    session.start(calc.main, 3)
    await session.paused()
    # The same code, breakpoint included, on another worker thread.
    with concurrent.futures.ThreadPoolExecutor(1) as other:
        assert await asyncio.wrap_future(other.submit(calc.main, 1000)) == 999000
    assert session.messages.empty()
    session.debugger.set_breakpoints([])
    session.debugger.continue_execution()
    assert await session.finish() == 6


async def test_overlapping_debug_runs(calc):
    first, second = DebugSession(["wb_calc:2"]), DebugSession(["wb_calc:3"])
    first.start(calc.main, 2)
    assert (await first.paused())["line"] == 2
    second.start(calc.main, 2)  # the monitoring slot is taken: settrace
    assert (await second.paused())["line"] == 3
    for session in (first, second):
        session.debugger.set_breakpoints([])
        session.debugger.continue_execution()
        assert await session.finish() == 2
    assert sys.monitoring.get_tool(sys.monitoring.DEBUGGER_ID) is None


def test_closed_loop_ends_a_paused_run(calc, monkeypatch):
    monkeypatch.setattr(debugger_module, "LOOP_ALIVE_CHECK_SECONDS", 0.05)
    loop = asyncio.new_event_loop()
    pauses = []

    async def send(message):
        pauses.append(message)
        loop.stop()

    debugger = TarvexDebugger(send, "wb")
    debugger.loop = loop
    debugger.set_breakpoints(["wb_calc:8"])
    with concurrent.futures.ThreadPoolExecutor(1) as worker:
        run = worker.submit(debugger.runcall, calc.main, 3)
        loop.run_forever()
        loop.close()
        assert run.result(timeout=20) is None
    assert [p["line"] for p in pauses] == [8]


async def test_commands_and_first_line_mode(calc):
    session = DebugSession()
    assert [session.debugger.step_over(), session.debugger.continue_execution()] == [False, False]
    session.debugger.step_mode = "step_into"
    session.start(calc.main, 2)
    message = await session.paused()
    assert (message["line"], message["reason"]) == (6, "step")
    session.debugger.step_mode = None
    session.debugger.continue_execution()
    assert await session.finish() == 2 and not session.debugger.stopped


@pytest.mark.parametrize("entries, expected", [
    ([{"module": "m", "line": 3}], {"<virtual:m>": {3: None}}),
    ([{"module_name": "m", "lineNumber": "4"}, "n:5"], {"<virtual:m>": {4: None}, "<virtual:n>": {5: None}}),
    ([{"module": "m", "lines": [1, 2], "condition": " x > 1 "}], {"<virtual:m>": {1: "x > 1", 2: "x > 1"}}),
    ([{"file": "<virtual:m>", "line": 6}, {"module": "m", "line": 7, "enabled": False}], {"<virtual:m>": {6: None}}),
    ([{"module": "m", "line": 0}, {"module": "m", "line": True}, {"line": 3}, 42, "m",
      {"module": "m", "line": 3, "condition": "x >"}, {"module": "m", "lines": "3"}], {}),
    ({"module": "m", "line": 3}, {}),
    (None, {}),
])
def test_breakpoint_entries(entries, expected):
    assert parse_breakpoints(entries) == expected


CALLS = """\
def outer():
    json.dumps([1])
    other()
    kernel_code()
    string_code()
    product()
    library()
    return local()
"""


def local():
    return "local"


async def test_only_user_code_is_stepped(backend):
    """Stepping into each call enters only the workbook's modules and user
    files: not the standard library, another in-memory module, the kernel's
    code, exec'd text, this product or an installed package."""
    string_code = {}
    exec(compile("def f():\n    return 1\n", "<string>", "exec"), string_code)
    module = load_virtual_module(
        "wb_calls", CALLS, json=json, other=load_virtual_module("wb_other", "def other():\n    return 1\n").other,
        kernel_code=kernel_function("def f():\n    return 1\n", "f"), string_code=string_code["f"],
        product=functools.partial(parse_breakpoints, ["m:1"]), library=functools.partial(pytest.approx, 1),
        local=local)
    session = DebugSession(in_memory_modules=["wb_calls"])
    session.debugger.step_mode = "step_into"
    session.start(module.outer)
    seen = [await session.paused()]
    for _ in range(8):
        seen.append(await session.step("step_into"))
    assert [(m["file"], m["line"]) for m in seen] == [("<virtual:wb_calls>", line) for line in range(2, 9)] + [
        (__file__, local.__code__.co_firstlineno + 1), ("<virtual:wb_calls>", 8)]
    session.debugger.step_into()
    assert await session.finish() == "local"
