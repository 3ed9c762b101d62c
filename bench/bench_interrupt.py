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
import os
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
os.environ.setdefault("BENCH_LOG_LEVEL", "warning")
from bench_kernel import percentile, running_peers, until  # noqa: E402

RUNS = 40
CELLS = {
    "spin": "print('running', flush=True)\nwhile True: pass",
    "sleeps": "import time\nprint('running', flush=True)\nwhile True: time.sleep(0.05)",
}


async def kernel_interrupt_ms(kernel, code, request_id):
    await kernel.send({"type": "execution_request", "code": code, "request_id": request_id})
    await until(kernel, lambda m: m.get("type") == "stdout" and "running" in m["content"])
    await asyncio.sleep(0.02)  # well inside the loop
    start = time.perf_counter()
    await kernel.send({"type": "interrupt_request", "request_id": request_id})
    reply = await until(kernel, lambda m: m.get("request_id") == request_id and m["type"].startswith("execution_"))
    elapsed = (time.perf_counter() - start) * 1000
    assert reply["type"] == "execution_error" and reply["error"]["type"] == "KeyboardInterrupt", reply
    return elapsed


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


def report(name, ours, theirs):
    """p50 and p99 of both, and their ratios (percentile wants sorted values)."""
    ours, theirs = sorted(ours), sorted(theirs)
    print(f"{name}: interrupt to reply, {RUNS} runs taking turns")
    for label, values in (("kernel", ours), ("ipykernel", theirs)):
        print(f"  {label:<10} p50 {statistics.median(values):6.2f} ms   p99 {percentile(values, 0.99):6.2f} ms"
              f"   max {values[-1]:6.2f} ms")
    print(f"  ratio kernel/ipykernel  p50 {statistics.median(ours) / statistics.median(theirs):.2f}"
          f"   p99 {percentile(ours, 0.99) / percentile(theirs, 0.99):.2f}")


async def main():
    ipy = IPyKernel()
    ipy.start()
    try:
        async with running_peers(with_echo=False) as (kernel, _):
            for name, code in CELLS.items():
                ours, theirs = [], []
                for run in range(RUNS):
                    ours.append(await kernel_interrupt_ms(kernel, code, f"{name}-{run}"))
                    theirs.append(ipy.interrupt_ms(code))
                report(name, ours, theirs)
    finally:
        ipy.stop()


if __name__ == "__main__":
    asyncio.run(main())
