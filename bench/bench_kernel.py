"""Kernel round trips against the floor of the same exchange with a bare
websockets echo client, measured side by side in one run.

Prints:
  - execution_request "1 + 1" -> execution_result, p50 and p99 over 2,000
    requests, and their ratio to the echo client's round trip;
  - 10,000 execution_requests sent at once: all answered, requests per
    second, and the ratio to the echo client's messages per second;
  - sys_request round trip from user code (2,000 reads of excel.Foo answered
    at once): p50 and its ratio to the echo round trip;
  - the kernel process's memory after those runs against its memory right
    after connecting, then the same after the C allocator has handed its
    free pages back (malloc_trim), which tells memory the kernel still holds
    from pages the allocator keeps after the burst; and the peak.
"""

import asyncio
import contextlib
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

import websockets

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHILD = ROOT / "tests" / "kernel_child.py"
REQUESTS = 2_000
BLOCKS = 10  # the kernel and the echo client take turns, so both see the same load
BURST = 10_000
SYS_READS = 2_000

ECHO_CLIENT = """
import asyncio, sys, websockets
async def main():
    async with websockets.connect(sys.argv[1], max_size=None, compression=None) as ws:  # as the kernel connects
        async for frame in ws:
            await ws.send(frame)
asyncio.run(main())
"""

# User code of the sys_request run: reads through the object bridge when it
# is there, through the request channel it uses otherwise.
SYS_CODE = """
import time, tarvex
def _read():
    bridge = getattr(tarvex, "excel", None)
    if bridge is not None and type(bridge).__name__ == "OfficeJsObject":
        return lambda: bridge.Foo
    return lambda: tarvex.messaging.send_request_sync({"method": "GET", "name": "Foo", "caller": 1})
_get = _read()
_durations = []
for _ in range(%d):
    _t = time.perf_counter()
    _get()
    _durations.append(time.perf_counter() - _t)
_durations.sort()
""" % SYS_READS


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * fraction))]


def memory_kib(pid, field):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


class Peer:
    """One connected client process (the kernel or the echo client)."""

    def __init__(self):
        self.connected = asyncio.Event()
        self.websocket = None
        self.inbox = asyncio.Queue()
        self.process = None

    async def serve(self, websocket):
        self.websocket = websocket
        self.connected.set()
        try:
            async for frame in websocket:
                self.inbox.put_nowait(frame)
        except websockets.ConnectionClosed:
            pass

    async def send(self, message):
        await self.websocket.send(json.dumps(message))

    async def receive(self):
        return json.loads(await self.inbox.get())


async def until(peer, predicate):
    """The first message from `peer` that matches."""
    while True:
        message = await peer.receive()
        if predicate(message):
            return message


@contextlib.asynccontextmanager
async def running_peers(with_echo=True):
    """A server on 127.0.0.1 with a kernel (and an echo client) connected to
    it; yields (kernel, echo or None) and shuts both down afterwards."""
    peers = {"kernel": Peer(), "echo": Peer()}

    async def route(websocket):
        name = "kernel" if websocket.request.path.startswith("/ws/kernel/") else "echo"
        await peers[name].serve(websocket)

    async with websockets.serve(route, "127.0.0.1", 0, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        env = dict(os.environ, PYTHONPATH=str(ROOT))
        kernel, echo = peers["kernel"], peers["echo"] if with_echo else None
        kernel.process = subprocess.Popen(
            [sys.executable, str(CHILD), "wb-bench", str(port), os.environ.get("BENCH_LOG_LEVEL", "info")],
            stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env)
        waits = [kernel.connected.wait()]
        if echo:
            echo.process = subprocess.Popen([sys.executable, "-c", ECHO_CLIENT, f"ws://127.0.0.1:{port}/echo"],
                                            env=env)
            waits.append(echo.connected.wait())
        await asyncio.wait_for(asyncio.gather(*waits), 60)
        yield kernel, echo
        await kernel.send({"type": "shutdown"})
        kernel.process.wait(30)
        if echo:
            echo.process.terminate()
            echo.process.wait(30)


async def round_trips(peer, count, reply_type, offset):
    times = []
    for i in range(count):
        request_id = f"r{offset + i}"
        start = time.perf_counter()
        await peer.send({"type": "execution_request", "code": "1 + 1", "request_id": request_id})
        while True:
            message = await peer.receive()
            if message.get("type") == reply_type and message.get("request_id") == request_id:
                break
        times.append(time.perf_counter() - start)
    return times


async def burst(peer, count, reply_type):
    start = time.perf_counter()
    for i in range(count):
        await peer.send({"type": "execution_request", "code": "1 + 1", "request_id": f"b{i}"})
    answered = 0
    while answered < count:
        if (await peer.receive()).get("type") == reply_type:
            answered += 1
    return count / (time.perf_counter() - start)


async def run_code(kernel, code):
    await kernel.send({"type": "execution_request", "code": code, "request_id": "bench-code"})
    await until(kernel, lambda m: m.get("type") in ("execution_result", "execution_error")
                and m.get("request_id") == "bench-code")


async def sys_reads(kernel):
    await kernel.send({"type": "execution_request", "code": SYS_CODE, "request_id": "sys"})
    while True:
        message = await kernel.receive()
        kind = message.get("type")
        if kind == "sys_request":
            payload = message["payload"]
            await kernel.send({"type": "sys_response", "payload": {
                "requestId": payload["requestId"], "ok": True, "result": {"type": "Int", "value": 1, "isSpec": False}}})
        elif kind == "execution_error":
            raise RuntimeError(message["error"]["traceback"])
        elif kind == "execution_result" and message.get("request_id") == "sys":
            break
    await kernel.send({"type": "execution_request", "code": "(_durations[len(_durations) // 2], _durations[-1])",
                       "request_id": "sys-p50", "function_name": "p50"})
    while True:
        message = await kernel.receive()
        if message.get("type") == "execution_result" and message.get("request_id") == "sys-p50":
            return message["result"]


async def main():
    async with running_peers() as (kernel, echo):
        await round_trips(kernel, 50, "execution_result", -1000)  # warm up both
        await round_trips(echo, 50, "execution_request", -1000)
        rss_connected = memory_kib(kernel.process.pid, "VmRSS")

        kernel_times, echo_times = [], []
        per_block = REQUESTS // BLOCKS
        for block in range(BLOCKS):
            kernel_times += await round_trips(kernel, per_block, "execution_result", block * per_block)
            echo_times += await round_trips(echo, per_block, "execution_request", block * per_block)
        kernel_times.sort()
        echo_times.sort()
        k50, k99 = percentile(kernel_times, 0.5), percentile(kernel_times, 0.99)
        e50, e99 = percentile(echo_times, 0.5), percentile(echo_times, 0.99)

        echo_rate = await burst(echo, BURST, "execution_request")
        kernel_rate = await burst(kernel, BURST, "execution_result")

        sys_p50, _ = await sys_reads(kernel)
        peak = memory_kib(kernel.process.pid, "VmHWM")
        await run_code(kernel, "import gc; gc.collect()")
        rss_after = memory_kib(kernel.process.pid, "VmRSS")
        await run_code(kernel, "import ctypes; ctypes.CDLL(None).malloc_trim(0)")
        rss_trimmed = memory_kib(kernel.process.pid, "VmRSS")

    print(f"execution_request '1 + 1' round trip, {REQUESTS} requests (echo client: same server, same count)")
    print(f"  kernel  p50 {k50 * 1e6:8.1f} us   p99 {k99 * 1e6:8.1f} us")
    print(f"  echo    p50 {e50 * 1e6:8.1f} us   p99 {e99 * 1e6:8.1f} us")
    print(f"  ratio kernel/echo  p50 {k50 / e50:.2f}   p99 {k99 / e99:.2f}")
    print(f"{BURST} execution_requests sent at once, all answered")
    print(f"  kernel {kernel_rate:10.0f} requests/s   echo {echo_rate:10.0f} messages/s   ratio echo/kernel {echo_rate / kernel_rate:.2f}")
    print(f"sys_request round trip from user code, {SYS_READS} reads answered at once")
    print(f"  kernel p50 {sys_p50 * 1e6:8.1f} us   echo p50 {e50 * 1e6:8.1f} us   ratio {sys_p50 / e50:.2f}")
    print("kernel process memory")
    print(f"  right after connecting {rss_connected / 1024:7.1f} MiB   after the runs {rss_after / 1024:7.1f} MiB"
          f"   ratio {rss_after / rss_connected:.2f}")
    print(f"  after the runs, free pages returned (malloc_trim) {rss_trimmed / 1024:7.1f} MiB"
          f"   ratio {rss_trimmed / rss_connected:.2f}   (peak during the runs {peak / 1024:.1f} MiB)")
    print(f"  (median echo round trip of the whole run: {statistics.median(echo_times) * 1e6:.1f} us)")


if __name__ == "__main__":
    asyncio.run(main())
