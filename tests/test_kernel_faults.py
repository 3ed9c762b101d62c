"""A kernel that keeps going when its peer misbehaves: the connection
dropping under waiting workers, answers nobody asked for, chunked messages
that never complete, cancels for streams that are gone."""

import json
import time
import uuid

import pytest

WB = "wb-faults"

# Small bounds, so that going past them takes a few messages.
SMALL_BOUNDS = """
from tarvex_master.python_server import kernel
kernel.MAX_CHUNK_BUFFERS = 4
kernel.MAX_ORPHAN_RESPONSES = 5
kernel.MAX_CANCELED_STREAMS = 6
"""


def rid():
    return uuid.uuid4().hex[:10]


def evaluate(bl, code):
    _, reply = bl.execute(code, rid())
    assert reply["type"] == "execution_result", reply
    return reply["result"]


def kernel_state(bl, expression):
    """An expression over the kernel (`k`), evaluated by the kernel itself."""
    return evaluate(bl, f"(lambda k: {expression})(tarvex._kernel_instance)")


def test_closed_connection_wakes_every_waiting_worker(fresh):
    bl = fresh()
    for n in range(10):
        bl.send({"type": "execution_request", "code": "excel.workbook", "request_id": f"w{n}", "source": "addin"})
    waiting = lambda: len(bl.logs_matching("Waiting for sys_response"))  # noqa: E731
    deadline = time.monotonic() + 30
    while waiting() < 10 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert waiting() == 10
    started = time.monotonic()
    bl.close_connection()
    # Without the wake-up the workers would sit out their 30 s timeout and
    # hold the process; the bound here only tells a hang from an exit.
    assert bl.wait_exit(timeout=20) == 0
    assert time.monotonic() - started < 20
    assert len(bl.logs_matching("sys_request abandoned, the connection closed")) == 10


def test_orphan_responses_are_bounded(fresh):
    bl = fresh(prelude=SMALL_BOUNDS)
    for n in range(20):
        bl.send({"type": "sys_response", "payload": {"requestId": f"nobody-{n}", "ok": True}})
    kept = kernel_state(bl, "sorted(k._response_data)")
    assert kept == repr(sorted(f"nobody-{n}" for n in range(15, 20)))
    bl.wait_for_log("sys_responses nobody waits for (at most 5 are kept)")


def test_cancels_of_ended_streams_are_bounded_newest_kept(fresh):
    bl = fresh(prelude=SMALL_BOUNDS)
    for n in range(20):
        bl.send({"type": "cancel_streaming_function", "request_id": f"s{n}"})
    kept = kernel_state(bl, "sorted(k._canceled_streaming_requests)")
    assert kept == repr(sorted(f"s{n}" for n in range(14, 20)))


def chunk(chunk_id, index, total, data):
    return {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total, "data": data}


def test_incomplete_chunked_messages_are_bounded_oldest_dropped(fresh):
    bl = fresh(prelude=SMALL_BOUNDS)
    for n in range(10):
        bl.send(chunk(f"c{n}", 0, 2, "x" * 100))
    assert kernel_state(bl, "sorted(k._chunk_buffers)") == repr([f"c{n}" for n in range(6, 10)])
    bl.wait_for_log("Dropping incomplete chunked message c0")
    # A message whose pieces are all present still goes through.
    text = json.dumps({"type": "execution_request", "code": "21 * 2", "request_id": "whole"})
    bl.send(chunk("whole", 0, 2, text[:10]))
    bl.send(chunk("whole", 1, 2, text[10:]))
    assert bl.expect("execution_result", request_id="whole")["result"] == "42"


def test_ten_thousand_incomplete_chunked_messages(fresh):
    bl = fresh(log_level="warning")
    for n in range(10_000):
        bl.send(chunk(f"never-{n}", 0, 1024, "y" * 64))
    assert kernel_state(bl, "len(k._chunk_buffers)") == "64"
    assert evaluate(bl, "1 + 1") == "2"


@pytest.mark.parametrize("chunked", [False, True], ids=["whole", "chunked"])
def test_a_refused_request_is_answered_under_its_request_id(fresh, chunked):
    bl = fresh()
    bad = {"type": "completion_request", "code": "x", "line": "1", "column": 1, "request_id": "refused-7"}
    if chunked:
        text = json.dumps(bad)
        bl.send(chunk("refused", 1, 2, text[20:]))
        bl.send(chunk("refused", 0, 2, text[:20]))
    else:
        bl.send(bad)
    error = bl.expect("error")
    assert error["request_id"] == "refused-7"
    assert error["message"].startswith("Could not handle message of type 'completion_request': TypeError")


def test_a_request_answered_twice_takes_the_first_answer(fresh):
    bl = fresh()
    bl.send({"type": "execution_request", "code": "excel.Foo", "request_id": "twice"})
    request = bl.expect("sys_request")
    request_id = request["payload"]["requestId"]
    for value in (1, 2):
        bl.send({"type": "sys_response", "payload": {"requestId": request_id, "ok": True,
                                                     "result": {"type": "Int", "value": value, "isSpec": False}}})
    assert bl.expect("execution_result", request_id="twice")["result"] == "1"
    # The second answer is either ignored (the worker had not taken the first
    # yet) or kept as one nobody waits for.
    deadline = time.monotonic() + 30
    while not (bl.logs_matching(f"second sys_response for request_id: {request_id}")
               or bl.logs_matching(f"sys_response for unknown request_id: {request_id}")):
        assert time.monotonic() < deadline, "the second answer was never handled"
        time.sleep(0.02)
    assert kernel_state(bl, "list(k._response_data)") in ("[]", repr([request_id]))


def test_shutdown_does_not_wait_for_running_user_code(fresh):
    bl = fresh()
    bl.send({"type": "execution_request", "code": "import time; time.sleep(300)", "request_id": "sleeper"})
    bl.wait_for_log("Executing code (request_id=sleeper)")
    bl.send({"type": "shutdown"})
    # Joined at exit, the sleeping worker would hold the process for minutes.
    assert bl.wait_exit(timeout=20) == 0
    assert bl.logs_matching("Not waiting for user code still running on 1 thread")


def test_a_handed_over_message_that_cannot_be_written_is_logged_and_dropped(fresh):
    bl = fresh()
    # A release is sent without waiting: nobody is told of its failed write.
    evaluate(bl, "tarvex.messaging.send_request_sync({'method': 'DEL', 'obj': object()})")
    bl.wait_for_log("Could not send message type 'sys_request'")
    assert evaluate(bl, "6 * 7") == "42"
