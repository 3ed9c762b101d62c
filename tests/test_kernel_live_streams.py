"""Live streams over the wire: each runs on a thread of its own, so the pool
stays free for everything else; a ceiling bounds how many live at once; and
a stream's output is streamed, never kept."""

import textwrap
import time

from kernel_wire import UNDER_ASAN, WAIT
from test_kernel_functions import rid, stream, wire

WB = "wb-live-streams"

TICKS = textwrap.dedent("""\
    import time

    def ticker():
        i = 0
        while True:
            yield i
            i += 1
            time.sleep(0.2)

    def chatter():
        line = "x" * 1023
        i = 0
        while True:
            print(line)
            yield i
            i += 1

    def add(a, b):
        return a + b
""")

FEW_STREAMS = """
from tarvex_master.python_server import kernel
kernel.MAX_LIVE_STREAMS = 2
"""


def kernel_with_ticks(fresh, **kwargs):
    bl = fresh(**kwargs)
    bl.request({"type": "update_module", "module_name": "ticks", "code": TICKS}, "module_updated")
    return bl


def first_of_each(bl, ids, predicate):
    """The first message matching `predicate` of each request in `ids`. Live
    streams keep the connection busy, so the bound is kept here: it tells a
    hang from an answer."""
    found = {}
    deadline = time.monotonic() + WAIT
    while len(found) < len(ids):
        assert time.monotonic() < deadline, f"nothing yet from {sorted(set(ids) - set(found))}"
        m = bl.recv()
        r = m.get("request_id")
        if r in ids and r not in found and predicate(m):
            found[r] = m
    return found


def is_value(m):
    return m["type"] == "streaming_function_result" and not m["done"]


def is_end(m):
    return m["type"] == "streaming_function_result" and m["done"]


def canceled(r):
    return {"type": "streaming_function_result", "request_id": r, "result": "Canceled", "done": True,
            "workbook_id": WB}


def cancel(bl, r):
    bl.send({"type": "cancel_streaming_function", "request_id": r})


def test_live_streams_leave_the_pool_free(fresh):
    bl = kernel_with_ticks(fresh, log_level="info")
    streams = [stream(bl, "ticker", module_name="ticks") for _ in range(24)]
    first_of_each(bl, streams, is_value)
    e, c = rid(), rid()
    bl.send({"type": "execution_request", "code": "1 + 1", "request_id": e})
    bl.send({"type": "custom_function_call", "module_name": "ticks", "function_name": "add",
             "args": [wire(1), wire(2)], "request_id": c})
    replies = first_of_each(bl, [e, c], lambda m: m["type"] == {e: "execution_result",
                                                                  c: "function_execution_result"}[m["request_id"]])
    assert replies[e]["result"] == "2" and replies[c]["result"] == wire(3)
    for r in streams:
        cancel(bl, r)
    assert first_of_each(bl, streams, is_end) == {r: canceled(r) for r in streams}


def test_a_stream_beyond_the_ceiling_is_refused_until_one_ends(fresh):
    bl = kernel_with_ticks(fresh, prelude=FEW_STREAMS)
    live = [stream(bl, "ticker", module_name="ticks") for _ in range(2)]
    first_of_each(bl, live, is_value)
    extra = stream(bl, "ticker", module_name="ticks")
    assert first_of_each(bl, [extra], is_end)[extra] == {
        "type": "streaming_function_result", "request_id": extra, "error": "Too many live streams (at most 2)",
        "done": True, "workbook_id": WB}
    cancel(bl, live[0])
    assert first_of_each(bl, [live[0]], is_end)[live[0]] == canceled(live[0])
    again = stream(bl, "ticker", module_name="ticks")
    first_of_each(bl, [again], is_value)
    for r in (live[1], again):
        cancel(bl, r)
    assert first_of_each(bl, [live[1], again], is_end) == {r: canceled(r) for r in (live[1], again)}


def test_an_endless_stream_that_prints_keeps_memory_flat(fresh):
    bl = kernel_with_ticks(fresh, log_level="warning")
    r = stream(bl, "chatter", module_name="ticks")
    # Each value comes after its 1 KB line: 55 MB between the two samples
    # if the stream's output were kept.
    rss = {}
    while len(rss) < 2:
        m = bl.recv()
        if m["type"] == "streaming_function_result":
            assert is_value(m), m
            if m["result"]["value"] in (5_000, 60_000):
                rss[m["result"]["value"]] = bl.memory_kib()
    cancel(bl, r)
    assert bl.expect("streaming_function_result", request_id=r, done=True) == canceled(r)
    if not UNDER_ASAN:
        assert rss[60_000] - rss[5_000] < 20 * 1024
