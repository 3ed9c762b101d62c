"""How fast an interrupt stops a running cell, against ipykernel's, side by side in one run.

Two cells, each started and then interrupted once it has printed that it
runs:

    spin:   while True: pass
    sleeps: while True: time.sleep(0.05)

The kernel gets an interrupt_request naming the execution_request; ipykernel
(Debian's, driven by jupyter_client) gets the kernel manager's
interrupt_kernel(), a SIGINT to its main thread. Measured: from sending the
interrupt to the interrupted request's reply (execution_error with
KeyboardInterrupt; ipykernel: its execute_reply with status "error"). The
two take turns, RUNS times per cell. Prints p50 and p99 for each and their
ratio. Targets: under 10 ms for the spin and under 60 ms for the sleeps.
"""

import asyncio
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
RUNS = 40
CELLS = {
    "spin": "print('running', flush=True)\nwhile True: pass",
    "sleeps": "import time\nprint('running', flush=True)\nwhile True: time.sleep(0.05)",
}


class Kernel:
    def __init__(self):
        self.connected = asyncio.Event()
        self.messages = asyncio.Queue()

    async def serve(self, websocket):
        self.websocket = websocket
        self.connected.set()
        try:
            async for frame in websocket:
                self.messages.put_nowait(json.loads(frame))
        except websockets.ConnectionClosed:
            pass

    async def start(self):
        self.server = await websockets.serve(self.serve, "127.0.0.1", 0, max_size=None)
        port = self.server.sockets[0].getsockname()[1]
        self.process = subprocess.Popen([sys.executable, str(CHILD), "wb-bench", str(port), "warning"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, PYTHONPATH=str(ROOT)))
        await asyncio.wait_for(self.connected.wait(), 60)

    async def until(self, predicate):
        while True:
            message = await asyncio.wait_for(self.messages.get(), 60)
            if predicate(message):
                return message

    async def interrupt_ms(self, code, request_id):
        await self.websocket.send(json.dumps({"type": "execution_request", "code": code, "request_id": request_id}))
        await self.until(lambda m: m.get("type") == "stdout" and "running" in m["content"])
        await asyncio.sleep(0.02)  # well inside the loop
        start = time.perf_counter()
        await self.websocket.send(json.dumps({"type": "interrupt_request", "request_id": request_id}))
        reply = await self.until(lambda m: m.get("request_id") == request_id and m["type"].startswith("execution_"))
        elapsed = (time.perf_counter() - start) * 1000
        assert reply["type"] == "execution_error" and reply["error"]["type"] == "KeyboardInterrupt", reply
        return elapsed

    async def stop(self):
        await self.websocket.send(json.dumps({"type": "shutdown"}))
        self.process.wait(30)
        self.server.close()


class IPyKernel:
    def start(self):
        import jupyter_client
        self.manager, self.client = jupyter_client.manager.start_new_kernel(kernel_name="python3")

    def interrupt_ms(self, code):
        msg_id = self.client.execute(code)
        while True:
            message = self.client.get_iopub_msg(timeout=60)
            if (message["parent_header"].get("msg_id") == msg_id and message["msg_type"] == "stream"
                    and "running" in message["content"]["text"]):
                break
        time.sleep(0.02)
        start = time.perf_counter()
        self.manager.interrupt_kernel()
        while True:
            reply = self.client.get_shell_msg(timeout=60)
            if reply["parent_header"].get("msg_id") == msg_id:
                break
        elapsed = (time.perf_counter() - start) * 1000
        assert reply["content"]["status"] == "error" and reply["content"]["ename"] == "KeyboardInterrupt"
        while True:  # let it settle to idle before the next cell
            message = self.client.get_iopub_msg(timeout=60)
            if (message["parent_header"].get("msg_id") == msg_id and message["msg_type"] == "status"
                    and message["content"]["execution_state"] == "idle"):
                return elapsed

    def stop(self):
        self.client.stop_channels()
        self.manager.shutdown_kernel(now=True)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


async def main():
    kernel, ipy = Kernel(), IPyKernel()
    await kernel.start()
    ipy.start()
    try:
        for name, code in CELLS.items():
            ours, theirs = [], []
            for run in range(RUNS):
                ours.append(await kernel.interrupt_ms(code, f"{name}-{run}"))
                theirs.append(ipy.interrupt_ms(code))
            print(f"{name}: interrupt to reply, {RUNS} runs taking turns")
            for label, values in (("kernel", ours), ("ipykernel", theirs)):
                print(f"  {label:<10} p50 {statistics.median(values):6.2f} ms   p99 {percentile(values, 0.99):6.2f} ms"
                      f"   max {max(values):6.2f} ms")
            print(f"  ratio kernel/ipykernel  p50 {statistics.median(ours) / statistics.median(theirs):.2f}"
                  f"   p99 {percentile(ours, 0.99) / percentile(theirs, 0.99):.2f}")
    finally:
        await kernel.stop()
        ipy.stop()


if __name__ == "__main__":
    asyncio.run(main())
