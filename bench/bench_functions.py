"""Worksheet functions and streaming functions against the floor of the same
exchange with a bare websockets echo client, measured side by side in one run.

Prints:
  - a recalculation: 10,000 custom_function_calls of add(a, b) with wire-value
    arguments sent at once, all answered: calls per second, and the ratio to
    the echo client's messages per second;
  - single calls: p50 and p99 of one custom_function_call -> its
    function_execution_result over 2,000 calls, against the echo round trip;
  - a streaming function yielding 100,000 small values: values per second
    delivered to the server, against the bound set by the pause of 1 ms after
    every tenth value (nominally 10,000 values/s; also shown with the pause
    as long as time.sleep(0.001) really takes on this machine), and against
    the floor of the design, where every value also costs one bare
    worker -> event loop -> worker wake-up (call_soon_threadsafe and a
    threading.Event), measured in the kernel process.
"""

import asyncio
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_kernel import percentile, running_peers, until  # noqa: E402

BURST = 10_000
SINGLE = 2_000
BLOCKS = 10  # the kernel and the echo client take turns, so both see the same load
STREAMED = 100_000
VALUES_PER_PAUSE = 10

MODULE = """\
def add(a, b):
    return a + b

def numbers(n):
    for i in range(n):
        yield i
"""


def add_call(request_id, a, b):
    return {"type": "custom_function_call", "module_name": "bench_fx", "function_name": "add", "request_id": request_id,
            "args": [{"type": "Int", "value": a, "isSpec": False}, {"type": "Float", "value": b, "isSpec": False}]}


async def single_calls(peer, count, offset, echo):
    times = []
    for i in range(count):
        request_id = f"s{offset + i}"
        start = time.perf_counter()
        await peer.send(add_call(request_id, i, 0.5))
        reply_type = "custom_function_call" if echo else "function_execution_result"
        await until(peer, lambda m: m.get("type") == reply_type and m.get("request_id") == request_id)
        times.append(time.perf_counter() - start)
    return times


async def burst(peer, count, echo):
    start = time.perf_counter()
    for i in range(count):
        await peer.send(add_call(f"b{i}", i, 0.5))
    reply_type = "custom_function_call" if echo else "function_execution_result"
    answered = set()
    while len(answered) < count:
        message = await peer.receive()
        if message.get("type") == reply_type:
            if not echo and message["status"] != "success":
                raise RuntimeError(message)
            answered.add(message["request_id"])
    return count / (time.perf_counter() - start)


async def streaming(peer, count):
    start = time.perf_counter()
    await peer.send({"type": "execute_streaming_function", "module_name": "bench_fx", "function_name": "numbers",
                     "args": [{"type": "Int", "value": count, "isSpec": False}], "request_id": "stream"})
    received = 0
    while True:
        message = await peer.receive()
        if message.get("type") != "streaming_function_result":
            continue
        if message["done"]:
            if "error" in message:
                raise RuntimeError(message["error"])
            break
        if message["result"]["value"] != received:
            raise RuntimeError(f"value {message['result']} arrived as number {received}")
        received += 1
    return received / (time.perf_counter() - start)


# User code run in the kernel: the mean time of a bare round trip from a
# worker thread to the event loop and back, in seconds.
WAKE_CODE = """\
import threading, time, tarvex
def _wake(n, loop=tarvex._kernel_instance._loop):
    start = time.perf_counter()
    for _ in range(n):
        done = threading.Event()
        loop.call_soon_threadsafe(done.set)
        done.wait(5)
    return (time.perf_counter() - start) / n
"""


async def wake_s(peer, samples=5_000):
    await peer.send({"type": "execution_request", "code": WAKE_CODE, "request_id": "wake-def"})
    await until(peer, lambda m: m.get("request_id") == "wake-def" and m.get("type") == "execution_result")
    await peer.send({"type": "execution_request", "code": f"_wake({samples})", "request_id": "wake",
                     "function_name": "wake"})
    reply = await until(peer, lambda m: m.get("request_id") == "wake" and m.get("type", "").startswith("execution_"))
    return reply["result"]


def real_pause_s(samples=2_000):
    start = time.perf_counter()
    for _ in range(samples):
        time.sleep(0.001)
    return (time.perf_counter() - start) / samples


async def main():
    async with running_peers() as (kernel, echo):
        await kernel.send({"type": "update_module", "module_name": "bench_fx", "code": MODULE})
        await until(kernel, lambda m: m.get("type") == "module_updated")
        await single_calls(kernel, 100, -1000, echo=False)  # warm up both
        await single_calls(echo, 100, -1000, echo=True)

        kernel_times, echo_times = [], []
        per_block = SINGLE // BLOCKS
        for block in range(BLOCKS):
            kernel_times += await single_calls(kernel, per_block, block * per_block, echo=False)
            echo_times += await single_calls(echo, per_block, block * per_block, echo=True)
        kernel_times.sort()
        echo_times.sort()
        k50, k99 = percentile(kernel_times, 0.5), percentile(kernel_times, 0.99)
        e50, e99 = percentile(echo_times, 0.5), percentile(echo_times, 0.99)

        echo_rate = await burst(echo, BURST, echo=True)
        kernel_rate = await burst(kernel, BURST, echo=False)

        stream_rate = await streaming(kernel, STREAMED)
        pause = real_pause_s()
        wake = await wake_s(kernel)

    nominal_bound = VALUES_PER_PAUSE / 0.001
    real_bound = VALUES_PER_PAUSE / pause
    floor_bound = VALUES_PER_PAUSE / (pause + VALUES_PER_PAUSE * wake)
    print(f"{BURST} custom_function_calls of add(a, b) sent at once, all answered")
    print(f"  kernel {kernel_rate:10.0f} calls/s   echo {echo_rate:10.0f} messages/s"
          f"   ratio echo/kernel {echo_rate / kernel_rate:.2f}")
    print(f"single custom_function_call -> function_execution_result, {SINGLE} calls")
    print(f"  kernel  p50 {k50 * 1e6:8.1f} us   p99 {k99 * 1e6:8.1f} us")
    print(f"  echo    p50 {e50 * 1e6:8.1f} us   p99 {e99 * 1e6:8.1f} us")
    print(f"  ratio kernel/echo  p50 {k50 / e50:.2f}   p99 {k99 / e99:.2f}")
    print(f"streaming function yielding {STREAMED} values, all received in order")
    print(f"  kernel {stream_rate:10.0f} values/s")
    print(f"  bound with a 1 ms pause per {VALUES_PER_PAUSE} values: nominal {nominal_bound:.0f} values/s"
          f" -> ratio {stream_rate / nominal_bound:.2f};"
          f" with the real pause ({pause * 1e3:.3f} ms) {real_bound:.0f} values/s -> ratio {stream_rate / real_bound:.2f}")
    print(f"  floor with one bare worker/loop wake-up per value ({wake * 1e6:.1f} us): {floor_bound:.0f} values/s"
          f" -> ratio {stream_rate / floor_bound:.2f}")


if __name__ == "__main__":
    asyncio.run(main())
