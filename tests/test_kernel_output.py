"""Output at the speed of print: whole, in order, in few frames, and bounded
while the peer reads slowly."""

import json
import time
import uuid

import pytest

from kernel_wire import UNDER_ASAN, BusinessLayer, joined_output

WB = "wb-output"
CHUNK_SIZE = 65536


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB, log_level="warning")
    yield layer
    layer.close()


def rid():
    return uuid.uuid4().hex[:10]


def run_counting_frames(bl, code, request_id):
    """Runs code; returns (raw frames up to its reply, the request's messages)."""
    bl.send({"type": "execution_request", "code": code, "request_id": request_id})
    frames = []
    while True:
        frames.append(bl.frame(timeout=120))
        if frames[-1].startswith('{"type":"execution_') and request_id in frames[-1]:
            break
    messages = [json.loads(frame) for frame in frames]
    return frames, [m for m in messages if m.get("request_id") == request_id]


def stdout_text(messages):
    return "".join(m["content"] for m in messages if m["type"] == "stdout")


def test_many_printed_lines_arrive_whole_and_in_order_in_few_frames(bl):
    lines = 200_000
    before = bl.memory_kib()
    frames, mine = run_counting_frames(bl, f"for i in range({lines}): print(i)", r := rid())
    assert stdout_text(mine) == "".join(f"{i}\n" for i in range(lines))
    assert mine[-1]["type"] == "execution_result"
    assert len(frames) < 2 * lines / 100  # print writes the number and the line feed apart
    assert all(len(frame) <= CHUNK_SIZE for frame in frames)  # never a message of chunks
    assert {(m["workbook_id"], m["source"]) for m in mine if m["type"] == "stdout"} == {(WB, "ide")}
    if not UNDER_ASAN:
        assert bl.memory_kib("VmHWM") - before < 32 * 1024, f"request {r}"


def test_output_with_escapes_is_cut_between_characters(bl):
    # Each piece of the text takes 1, 2 or 6 characters of JSON; wherever
    # a message ends, the next begins with the rest.
    text = "\x01\"\\\né" * 40_000
    frames, mine = run_counting_frames(bl, f"print({text!r}, end='')", rid())
    assert stdout_text(mine) == text
    assert all(len(frame) <= CHUNK_SIZE for frame in frames)


def test_stdout_and_stderr_written_in_turn_keep_their_order(bl):
    code = "import sys\nfor i in range(3000):\n    print(i)\n    print(-i, file=sys.stderr)\n"
    _, mine = run_counting_frames(bl, code, rid())
    streamed = [(m["type"], line) for m in joined_output(mine) if m["type"] in ("stdout", "stderr")
                for line in m["content"].splitlines()]
    assert streamed == [pair for i in range(3000) for pair in (("stdout", str(i)), ("stderr", str(-i)))]


def test_a_reply_never_waits_behind_another_requests_output(bl):
    talker, quick = rid(), rid()
    bl.send({"type": "execution_request", "code": "for i in range(3_000_000): print(i)", "request_id": talker})
    bl.expect("stdout", request_id=talker)
    bl.send({"type": "execution_request", "code": "1 + 1", "request_id": quick})
    seen = bl.until(lambda m: m.get("request_id") == quick and m["type"] == "execution_result", timeout=120)
    assert not any(m.get("request_id") == talker and m["type"] == "execution_result" for m in seen)
    bl.expect("execution_result", timeout=300, request_id=talker)


def test_a_peer_that_stops_reading_makes_the_writer_wait_and_loses_nothing(fresh):
    bl = fresh(log_level="warning")
    lines = 2_000_000
    # A live stream's output is kept nowhere but in the outbox until written.
    bl.request({"type": "update_module", "module_name": "talk",
                "code": f"def talk():\n    for i in range({lines}):\n        print(i)\n    yield 1\n"},
               "module_updated")
    before = bl.memory_kib()
    bl.pause_reading()
    r = rid()
    bl.send({"type": "execute_streaming_function", "module_name": "talk", "function_name": "talk", "args": [],
             "request_id": r})
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        time.sleep(0.1)
        peak = bl.memory_kib("VmHWM")
    bl.resume_reading()
    seen = bl.until(lambda m: m["type"] == "streaming_function_result" and m["done"], timeout=120)
    assert stdout_text(m for m in seen if m.get("request_id") == r) == "".join(f"{i}\n" for i in range(lines))
    if not UNDER_ASAN:
        # The output is about 15 MB; what waits for the reader is at most 4 MiB.
        assert peak - before < 10 * 1024
