"""A cell that prints, against the peers a user would pick instead, side by side in one run.

    for i in range(N): print(i)

run as an execution_request by the kernel (to a Business Layer that reads
every frame at once and only counts them), as an execute_request by
ipykernel (Debian's, driven by jupyter_client), and by plain Python with its
output going to /dev/null. The three take turns, RUNS times, for N = 200,000
and N = 2,000,000.

Prints per N: the time from request to reply (ipykernel: to its reply and
its idle status, all output received) as a range over the runs and as
ratios to ipykernel and plain Python; the frames the kernel sent and the
stream messages ipykernel sent; the kernel's peak memory growth over its
memory after connecting. Every run checks that the output arrived whole
and in order.
"""

import asyncio
import json
import os
import pathlib
import queue
import subprocess
import sys
import time

import websockets

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHILD = ROOT / "tests" / "kernel_child.py"
SIZES = (200_000, 2_000_000)
RUNS = 5
# ipykernel streams a running cell's output several times a second: this long without a message
# means its idle status was dropped.
IOPUB_SILENCE_S = 120


def cell(lines):
    return f"for i in range({lines}): print(i)"


def expected_output(lines):
    return "".join(f"{i}\n" for i in range(lines))


def memory_kib(pid, field):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


class Kernel:
    """Our kernel connected to a Business Layer that only counts frames (and keeps them for the check)."""

    def __init__(self):
        self.connected = asyncio.Event()
        self.frames = asyncio.Queue()
        self.websocket = None

    async def serve(self, websocket):
        self.websocket = websocket
        self.connected.set()
        try:
            async for frame in websocket:
                self.frames.put_nowait(frame)
        except websockets.ConnectionClosed:
            pass

    async def start(self):
        self.server = await websockets.serve(self.serve, "127.0.0.1", 0, max_size=None)
        port = self.server.sockets[0].getsockname()[1]
        self.process = subprocess.Popen([sys.executable, str(CHILD), "wb-bench", str(port), "warning"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, PYTHONPATH=str(ROOT)))
        await asyncio.wait_for(self.connected.wait(), 60)
        await self.run("None", "warm-up")
        self.rss_connected = memory_kib(self.process.pid, "VmRSS")

    async def run(self, code, request_id):
        """Seconds to the reply, frames received, and the stdout text."""
        start = time.perf_counter()
        await self.websocket.send(json.dumps({"type": "execution_request", "code": code, "request_id": request_id}))
        frames = []
        while True:
            frame = await self.frames.get()
            frames.append(frame)
            if '"execution_' in frame[:40] and request_id in frame:
                break
        elapsed = time.perf_counter() - start
        text = []
        for frame in frames:
            message = json.loads(frame)
            if message.get("type") == "chunk":
                raise AssertionError("output came in chunks: a message longer than a frame")
            if message.get("type") == "stdout":
                text.append(message["content"])
            elif message.get("type") == "execution_error":
                raise AssertionError(message["error"]["traceback"])
        return elapsed, len(frames), "".join(text)

    def peak_growth_mib(self):
        return (memory_kib(self.process.pid, "VmHWM") - self.rss_connected) / 1024

    async def stop(self):
        await self.websocket.send(json.dumps({"type": "shutdown"}))
        self.process.wait(30)
        self.server.close()


class IPyKernel:
    def start(self):
        import jupyter_client
        self.manager, self.client = jupyter_client.manager.start_new_kernel(kernel_name="python3")
        self.run("None")

    def run(self, code):
        """Seconds to the reply and the idle status, stream messages, and the stdout text.

        Output and the idle status come on iopub, which drops messages when its reader falls
        behind (a loaded machine); should the idle status be lost, the wait ends after
        IOPUB_SILENCE_S without a message instead of hanging."""
        start = time.perf_counter()
        msg_id = self.client.execute(code)
        streams, text = 0, []
        while True:
            try:
                message = self.client.get_iopub_msg(timeout=IOPUB_SILENCE_S)
            except queue.Empty:
                raise AssertionError(f"ipykernel sent nothing for {IOPUB_SILENCE_S} s and never said it was idle "
                                     f"(its iopub channel dropped messages); {streams} stream messages came") from None
            if message["parent_header"].get("msg_id") != msg_id:
                continue
            if message["msg_type"] == "stream":
                streams += 1
                text.append(message["content"]["text"])
            elif message["msg_type"] == "status" and message["content"]["execution_state"] == "idle":
                break
        reply = self.client.get_shell_msg(timeout=IOPUB_SILENCE_S)
        elapsed = time.perf_counter() - start
        assert reply["content"]["status"] == "ok", reply["content"]
        return elapsed, streams, "".join(text)

    def stop(self):
        self.client.stop_channels()
        self.manager.shutdown_kernel(now=True)


def plain_python(code):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def spread(values, unit=1.0, digits=2):
    low, high = min(values) * unit, max(values) * unit
    return f"{low:.{digits}f}–{high:.{digits}f}"


async def measure(lines):
    kernel, ipy = Kernel(), IPyKernel()
    await kernel.start()
    ipy.start()
    want = expected_output(lines)
    ours, theirs, plain, frames, streams = [], [], [], [], []
    try:
        for run in range(RUNS):
            elapsed, count, text = await kernel.run(cell(lines), f"r{run}")
            assert text == want, "the kernel's output was not whole and in order"
            ours.append(elapsed)
            frames.append(count)
            elapsed, count, text = ipy.run(cell(lines))
            assert text == want, "ipykernel's output was not whole and in order"
            theirs.append(elapsed)
            streams.append(count)
            plain.append(plain_python(cell(lines)))
        growth = kernel.peak_growth_mib()
    finally:
        await kernel.stop()
        ipy.stop()
    to_ipy = [o / t for o, t in zip(ours, theirs)]
    to_plain = [o / p for o, p in zip(ours, plain)]
    print(f"{lines:,} printed lines, {RUNS} runs taking turns (output checked whole and in order each run)")
    print(f"  kernel     {spread(ours, 1, 3)} s to the reply, {spread(frames, 1, 0)} frames for {2 * lines:,} writes")
    print(f"  ipykernel  {spread(theirs, 1, 3)} s to reply and idle, {spread(streams, 1, 0)} stream messages")
    print(f"  plain Python to /dev/null  {spread(plain, 1, 3)} s")
    print(f"  ratio kernel/ipykernel {spread(to_ipy)}   kernel/plain {spread(to_plain, 1, 1)}")
    print(f"  kernel peak memory growth over connected: {growth:.1f} MiB")
    return min(ours)


async def main():
    best = [await measure(lines) for lines in SIZES]
    print(f"time per line, {SIZES[1]:,} against {SIZES[0]:,} lines (best runs): "
          f"{(best[1] / SIZES[1]) / (best[0] / SIZES[0]):.2f} (1.00 is linear)")


if __name__ == "__main__":
    asyncio.run(main())
