"""Big values returned by a custom function, from the request to the last
chunk of its function_execution_result received, measured side by side in
one run against:

- orjson.dumps(df.values.tolist()) (orjson.dumps(list) for the floats) in
  this process: the cost of merely emitting the raw values as JSON;
- the same frames sent through the websockets echo client (connected as
  the kernel is) and back: the cost of moving that text.

Values: a 100,000 x 10 DataFrame (4 float, 3 int, 3 text columns) and a
list of 1,000,000 floats. Also prints the kernel's peak memory during one
call above its memory before it, against the length of one reply's text.

Run: tools/devroot python3 bench/bench_big_values.py
"""

import asyncio
import pathlib
import statistics
import sys
import time

import numpy as np
import orjson
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_kernel import memory_kib, running_peers, until  # noqa: E402

ROWS = 100_000
FLOATS = 1_000_000
REPEAT = 3

VALUES_MODULE = f"""
import numpy as np
import pandas as pd

def _mixed_frame():
    rng = np.random.default_rng(7)
    columns = {{}}
    for i in range(4):
        columns[f"f{{i}}"] = rng.random({ROWS})
    for i in range(3):
        columns[f"i{{i}}"] = rng.integers(0, 1_000_000, {ROWS})
    for i in range(3):
        columns[f"s{{i}}"] = [f"text {{j % 977}}" for j in range({ROWS})]
    return pd.DataFrame(columns)

_FRAME = _mixed_frame()
_FLOATS = np.random.default_rng(7).random({FLOATS}).tolist()

def frame():
    return _FRAME

def floats():
    return _FLOATS
"""


def local_values():
    namespace = {}
    exec(VALUES_MODULE, namespace)
    return namespace["_FRAME"], namespace["_FLOATS"]


def chunk_header(frame):
    """The header fields of a chunk frame, read without its data (whose
    quotes are escaped, so the markers below are the header's own)."""
    head = orjson.loads(frame[:frame.index(',"data":"')] + "}")
    head.update(orjson.loads("{" + frame[frame.rindex('","original_type":') + 2:]))
    return head


async def call(kernel, function_name, request_id, keep=False):
    """Seconds from the request to the last chunk of its
    function_execution_result, and the request's chunk frames when `keep`
    (kept only then: holding them makes the receiving side slower)."""
    start = time.perf_counter()
    await kernel.send({"type": "custom_function_call", "module_name": "values", "function_name": function_name,
                       "args": [], "request_id": request_id})
    frames = []
    while True:
        frame = await kernel.inbox.get()
        if not frame.startswith('{"type":"chunk"'):
            message = orjson.loads(frame)
            if message.get("request_id") == request_id and message["type"] == "function_execution_result":
                raise RuntimeError(f"{function_name}: reply not chunked: {frame[:200]}")
            continue
        header = chunk_header(frame)
        if header["request_id"] != request_id:
            continue
        if keep:
            frames.append(frame)
        if (header["original_type"] == "function_execution_result"
                and header["chunk_index"] == header["total_chunks"] - 1):
            return time.perf_counter() - start, frames


async def echo_trip(echo, frames):
    """Seconds for these frames to go to the echo client and back."""
    start = time.perf_counter()

    async def send_all():
        for frame in frames:
            await echo.websocket.send(frame)

    async def receive_all():
        for _ in frames:
            await echo.inbox.get()

    await asyncio.gather(send_all(), receive_all())
    return time.perf_counter() - start


def emit_time(emit):
    start = time.perf_counter()
    emit()
    return time.perf_counter() - start


def reset_peak(pid):
    pathlib.Path(f"/proc/{pid}/clear_refs").write_text("5")


async def measure(kernel, echo, label, function_name, emit):
    _, frames = await call(kernel, function_name, f"{function_name}-warm", keep=True)
    count, characters = len(frames), sum(map(len, frames))
    reply = sum(len(f) for f in frames if chunk_header(f)["original_type"] == "function_execution_result")
    kernel_s, echo_s, emit_s = [], [], []
    for i in range(REPEAT):
        kernel_s.append((await call(kernel, function_name, f"{function_name}-{i}"))[0])
        echo_s.append(await echo_trip(echo, frames))
        emit_s.append(emit_time(emit))
    del frames
    reset_peak(kernel.process.pid)
    before = memory_kib(kernel.process.pid, "VmRSS")
    await call(kernel, function_name, f"{function_name}-memory")
    peak = memory_kib(kernel.process.pid, "VmHWM")
    k, e, o = statistics.median(kernel_s), statistics.median(echo_s), statistics.median(emit_s)
    print(f"{label}: {count} chunk frames, {characters / 1e6:.1f} M characters in both replies"
          f" (median of {REPEAT})")
    print(f"  kernel, request to last chunk {k:7.3f} s")
    print(f"  orjson of the raw values      {o:7.3f} s   ratio kernel/orjson {k / o:6.2f}")
    print(f"  echo client round trip        {e:7.3f} s   ratio kernel/echo   {k / e:6.2f}")
    print(f"  kernel memory during one call {(peak - before) / 1024:7.1f} MiB above {before / 1024:.1f} MiB"
          f" = {(peak - before) * 1024 / reply:.2f} x the function_execution_result's frames")


async def main():
    df, floats = local_values()
    async with running_peers() as (kernel, echo):
        await kernel.send({"type": "update_module", "module_name": "values", "code": VALUES_MODULE})
        await until(kernel, lambda m: m.get("type") == "module_updated")
        await measure(kernel, echo, f"DataFrame {ROWS:,} x 10", "frame", lambda: orjson.dumps(df.values.tolist()))
        await measure(kernel, echo, f"list of {FLOATS:,} floats", "floats", lambda: orjson.dumps(floats))


if __name__ == "__main__":
    asyncio.run(main())
