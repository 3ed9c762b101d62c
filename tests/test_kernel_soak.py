"""A long mixed load with a few hundred requests in flight: executions,
custom functions, workbook reads through proxies, streaming functions (some
cancelled) and editor requests. Every request must be answered exactly once,
and the kernel's memory must level off."""

import itertools
import random

from kernel_wire import UNDER_ASAN, BusinessLayer

WB = "wb-soak"
TOTAL = 50_000
WARM_UP = 5_000
IN_FLIGHT = 300

MODULE = """\
def add(a, b):
    return a + b

def count(n):
    for i in range(n):
        yield i

def forever():
    i = 0
    while True:
        yield i
        i += 1
"""


def wire(value):
    return {"type": "Int", "value": value, "isSpec": False}


class Load:
    """Builds requests and knows which reply ends each one."""

    def __init__(self):
        self.ids = itertools.count()
        self.random = random.Random(7)

    def next(self):
        n = next(self.ids)
        rid = f"s{n}"
        roll = self.random.random()
        if roll < 0.35:
            return rid, {"type": "execution_request", "code": f"{n} * 2", "request_id": rid}
        if roll < 0.65:
            return rid, {"type": "custom_function_call", "module_name": "soakmod", "function_name": "add",
                         "args": [wire(n), wire(1)], "request_id": rid}
        if roll < 0.85:
            return rid, {"type": "execution_request", "code": "excel.workbook.name", "request_id": rid}
        if roll < 0.93:
            return rid, {"type": "execute_streaming_function", "module_name": "soakmod", "function_name": "count",
                         "args": [wire(3)], "request_id": rid}
        if roll < 0.99:
            return rid, {"type": "execute_streaming_function", "module_name": "soakmod",
                         "function_name": "forever", "args": [], "request_id": rid}
        return rid, {"type": "completion_request", "code": "import soakmod\nsoakmod.", "line": 2, "column": 8,
                     "request_id": rid}


def final_reply(message):
    """The request id a message ends, or None."""
    kind = message.get("type")
    if kind in ("execution_result", "execution_error", "function_execution_result", "completion_response"):
        if kind == "execution_result" and message.get("module_name"):
            return None  # a custom function's first reply; function_execution_result ends it
        if kind == "execution_error" and message.get("module_name"):
            return None
        return message.get("request_id")
    if kind == "streaming_function_result" and message.get("done"):
        return message.get("request_id")
    return None


def answer(bl, message):
    """Plays the add-in and cancels endless streams after their first value."""
    if message["type"] == "sys_request":
        payload = message["payload"]
        result = {"type": "String", "value": "Book1", "isSpec": False}
        if payload.get("method") == "GET" and payload.get("name") == "workbook":
            result = {"type": "Workbook", "value": 100, "isSpec": True}
        bl.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], "ok": True,
                                                     "result": result}})
    elif (message["type"] == "streaming_function_result" and not message.get("done")
          and message.get("result", {}).get("value") == 0):
        bl.send({"type": "cancel_streaming_function", "request_id": message["request_id"]})


def test_fifty_thousand_mixed_requests():
    bl = BusinessLayer(WB, log_level="warning")
    try:
        bl.request({"type": "update_module", "module_name": "soakmod", "code": MODULE}, "module_updated")
        load = Load()
        pending, answered, duplicates = set(), set(), []
        sent = 0
        warm_rss = None
        while len(answered) < TOTAL:
            while sent < TOTAL and len(pending) < IN_FLIGHT:
                rid, request = load.next()
                pending.add(rid)
                bl.send(request)
                sent += 1
            message = bl.recv()
            answer(bl, message)
            rid = final_reply(message)
            if rid is None:
                continue
            if rid in answered:
                duplicates.append(message)
                continue
            assert rid in pending, message
            pending.remove(rid)
            answered.add(rid)
            if len(answered) == WARM_UP:
                warm_rss = bl.memory_kib()
        assert not duplicates and not pending
        final_rss = bl.memory_kib()
        print(f"kernel RSS after {WARM_UP} requests: {warm_rss} KiB, after {TOTAL}: {final_rss} KiB")
        if not UNDER_ASAN:
            assert final_rss <= 1.2 * warm_rss, (warm_rss, final_rss)
        # Nothing left behind in the kernel's tables.
        _, reply = bl.execute("(lambda k: (len(k._response_data), len(k._response_futures), "
                              "len(k._chunk_buffers)))(tarvex._kernel_instance)", "state")
        assert reply["result"] == "(0, 0, 0)"
    finally:
        bl.close()
