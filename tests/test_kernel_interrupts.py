"""Stopping what runs: interrupt_request over the wire, the namespace kept,
and the editor's own threads free while a sheet's work holds the pool."""

import random
import textwrap
import uuid

import pytest

from kernel_wire import BusinessLayer

WB = "wb-interrupts"

SPIN = textwrap.dedent("""\
    import time
    import tarvex

    def spin(tag):
        print(f"running {tag}", flush=True)
        while True:
            pass

    def naps(tag):
        print(f"running {tag}", flush=True)
        while True:
            time.sleep(0.05)

    def ask(tag):
        print(f"running {tag}", flush=True)
        return tarvex.messaging.send_request_sync({"method": "GET", "name": "A1"}, timeout=None)

    def ticks(tag):
        yield 0
        print(f"running {tag}", flush=True)
        while True:
            pass

    def on_event(tag):
        spin(tag)

    def stubborn(tag):
        try:
            spin(tag)
        except KeyboardInterrupt:
            print("kept going", flush=True)
        while True:
            pass

    def quick(x):
        return x

    _callable = tarvex.messaging.register_callable(spin)
""")


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB, log_level="info")
    layer.request({"type": "update_module", "module_name": "spinmod", "code": SPIN}, "module_updated")
    _, reply = layer.execute("import spinmod; spinmod._callable", "setup", function_name="setup")
    layer.callable_id = reply["result"]
    yield layer
    layer.close()


def rid():
    return uuid.uuid4().hex[:10]


def wire(value):
    return {"type": "String", "value": value, "isSpec": False}


def call(function_name, r, **extra):
    return {"type": "custom_function_call", "module_name": "spinmod", "function_name": function_name,
            "args": [wire(r)], "request_id": r, **extra}


# Each kind of request, as it starts a run of `function` (tag: its request id).
REQUESTS = {
    "console": lambda bl, fn, r: {"type": "execution_request", "request_id": r,
                                  "code": f"import spinmod\nbefore = 41\nspinmod.{fn}({r!r})"},
    "cell": lambda bl, fn, r: call(fn, r),
    "module run": lambda bl, fn, r: {**call(fn, r, source="ide"), "type": "run_module"},
    "event": lambda bl, fn, r: {"type": "event_execution", "module_name": "spinmod", "function_name": "on_event",
                                "object_name": "Sheet1", "event_type": "onChanged", "object_type": "Worksheet",
                                "args": [wire(r)], "request_id": r},
    "callable": lambda bl, fn, r: {"type": "python_function_call", "callable_id": bl.callable_id,
                                   "args": [wire(r)], "request_id": r},
}

# The reply that ends each kind, and how it names the interrupt.
def ended(kind, r):
    def matches(m):
        if m.get("request_id") != r:
            return False
        if kind == "console":
            return m["type"] in ("execution_result", "execution_error")
        if kind in ("cell", "module run"):
            return m["type"] == "function_execution_result"
        if kind == "event":
            return m["type"] == "event_execution_result"
        return m["type"] == "python_function_result"
    return matches


def interrupted_text(kind, reply):
    if kind == "console":
        assert reply["type"] == "execution_error"
        assert reply["error"]["type"] == "KeyboardInterrupt"
        return reply["error"]["traceback"]
    if kind == "callable":
        assert reply["success"] is False
    else:
        assert reply["status"] == "error"
    error = reply["error"]
    return error["traceback"] if isinstance(error, dict) else error


def interrupt(bl, r):
    bl.send({"type": "interrupt_request", "request_id": r})
    return bl.expect("interrupt_reply", request_id=r)


def started(bl, *ids):
    waiting = {f"running {r}" for r in ids}
    while waiting:
        m = bl.recv()
        if m.get("type") == "stdout":
            waiting -= {w for w in waiting if w in m["content"]}


@pytest.mark.parametrize("function", ["spin", "naps", "ask"])
@pytest.mark.parametrize("kind", list(REQUESTS))
def test_each_request_kind_stops_where_it_runs_or_waits(bl, kind, function):
    if kind in ("event", "callable") and function != "spin":
        pytest.skip("their handlers only spin")
    r = rid()
    bl.send(REQUESTS[kind](bl, function, r))
    started(bl, r)
    assert interrupt(bl, r) == {"type": "interrupt_reply", "request_id": r, "interrupted": True,
                                "workbook_id": WB}
    reply = bl.until(ended(kind, r))[-1]
    text = interrupted_text(kind, reply)
    assert "KeyboardInterrupt" in text
    assert f'<virtual:spinmod>", line' in text and f"in {function}" in text  # at the user's line
    assert interrupt(bl, r)["interrupted"] is False  # it is over


def test_the_console_keeps_its_names_and_output_comes_first(bl):
    r = rid()
    bl.send(REQUESTS["console"](bl, "spin", r))
    started(bl, r)
    interrupt(bl, r)
    seen = bl.until(ended("console", r))
    assert [m["type"] for m in seen if m.get("request_id") == r][-1] == "execution_error"
    assert bl.execute("before + 1", rid())[1]["result"] == "42"


def test_a_stream_ends_as_canceled(bl):
    r = rid()
    bl.send({"type": "execute_streaming_function", "module_name": "spinmod", "function_name": "ticks",
             "args": [wire(r)], "request_id": r})
    started(bl, r)
    assert interrupt(bl, r)["interrupted"] is True
    last = bl.expect("streaming_function_result", request_id=r, done=True)
    assert last["result"] == "Canceled"


def test_a_debug_run_ends_terminated(bl):
    r = rid()
    bl.send({**call("spin", r, source="ide"), "type": "run_module", "debug": True, "breakpoints": []})
    started(bl, r)
    assert interrupt(bl, r)["interrupted"] is True
    bl.expect("debug_terminated")
    assert bl.execute("1 + 1", rid())[1]["result"] == "2"


def test_code_that_swallows_the_interrupt_goes_on_until_the_next(bl):
    r = rid()
    bl.send(call("stubborn", r))
    started(bl, r)
    interrupt(bl, r)
    bl.until(lambda m: m.get("type") == "stdout" and "kept going" in m["content"])
    assert interrupt(bl, r)["interrupted"] is True  # it was still running
    assert bl.until(ended("cell", r))[-1]["status"] == "error"


@pytest.mark.parametrize("message, reply", [
    ({"type": "interrupt_request", "request_id": "nothing-runs"},
     {"type": "interrupt_reply", "request_id": "nothing-runs", "interrupted": False, "workbook_id": WB}),
    ({"type": "interrupt_request"},
     {"type": "error", "message": "interrupt_request requires request_id"}),
])
def test_an_interrupt_of_nothing(bl, message, reply):
    bl.send(message)
    assert bl.expect(reply["type"]) == reply


def test_the_console_answers_while_ten_cells_spin_and_a_queued_cell_leaves_its_queue(bl):
    spinning = [rid() for _ in range(10)]
    for r in spinning:
        bl.send(call("spin", r))
    started(bl, *spinning)
    queued = rid()
    bl.send(call("quick", queued))
    assert bl.execute("1 + 1", rid())[1]["result"] == "2"
    assert interrupt(bl, queued)["interrupted"] is True
    reply = bl.until(ended("cell", queued))[-1]
    assert reply["status"] == "error" and "KeyboardInterrupt" in reply["error"]
    for r in spinning:
        bl.send({"type": "interrupt_request", "request_id": r})
    replies, ends = set(), set()
    while len(ends) < len(spinning) or len(replies) < len(spinning):
        m = bl.recv()
        if m["type"] == "interrupt_reply" and m["interrupted"]:
            replies.add(m["request_id"])
        elif m["type"] == "function_execution_result" and m["status"] == "error":
            ends.add(m["request_id"])
    assert replies == ends == set(spinning)
    assert bl.execute("1 + 1", rid())[1]["result"] == "2"


def test_interrupts_at_random_moments_reach_only_their_requests(bl):
    rng = random.Random(20)
    ids = [rid() for _ in range(150)]
    stopped = set(rng.sample(ids, 50))
    for r in ids:
        bl.send(call("quick", r) if rng.random() < 0.5 else
                {"type": "execution_request", "request_id": r, "code": "sum(range(20000))"})
        if r in stopped:
            bl.send({"type": "interrupt_request", "request_id": r})
    replies = {}
    while len(replies) < len(ids):
        m = bl.recv()
        if m.get("request_id") in ids and m["type"] in ("function_execution_result", "execution_result",
                                                         "execution_error"):
            replies[m["request_id"]] = m
    failed = {r for r, m in replies.items() if m.get("status") == "error" or m["type"] == "execution_error"}
    assert failed <= stopped
    assert all("KeyboardInterrupt" in str(replies[r]) for r in failed)
