"""A CPU-bound workbook function run under the debugger, with a breakpoint on
a line it never reaches, against the same function run plainly; both through
the kernel over the wire, measured side by side in one run.

Each round runs the function once through run_module with "debug": true
(request sent -> debug_terminated) and once through run_module without it
(request sent -> function_execution_result), in alternating order. Prints the
best of the rounds for each and their ratio. Target: at most 1.5.
"""

import asyncio
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_kernel import running_peers, until  # noqa: E402

ITERATIONS = 2_000_000
ROUNDS = 5

MODULE = """\
def work(n):
    total = 0
    for i in range(n):
        total += i * i % 7
        if total < 0:
            print("never")
    return total
"""
NEVER_LINE = 6
EXPECTED = sum(i * i % 7 for i in range(ITERATIONS))


async def timed_run(peer, request_id, debug):
    message = {"type": "run_module", "module_name": "bench_work", "function_name": "work",
               "args": [{"type": "Int", "value": ITERATIONS, "isSpec": False}], "request_id": request_id}
    if debug:
        message.update(debug=True, breakpoints=[{"module": "bench_work", "line": NEVER_LINE}])
    start = time.perf_counter()
    await peer.send(message)
    outputs = []
    while True:
        reply = await peer.receive()
        if reply.get("request_id") != request_id:
            continue
        kind = reply.get("type")
        if kind == "result_output":
            outputs.append(reply["content"])
        elif kind in ("debug_terminated", "function_execution_result"):
            break
        elif kind in ("execution_error", "debug_exception", "debug_paused"):
            raise RuntimeError(reply)
    elapsed = time.perf_counter() - start
    if outputs != [f"Out: {EXPECTED}\n"]:
        raise RuntimeError(f"unexpected output {outputs}")
    return elapsed


async def main():
    async with running_peers(with_echo=False) as (kernel, _):
        await kernel.send({"type": "update_module", "module_name": "bench_work", "code": MODULE})
        await until(kernel, lambda m: m.get("type") == "module_updated")

        plain, debugged = [], []
        for round_ in range(ROUNDS):
            order = (False, True) if round_ % 2 == 0 else (True, False)
            for debug in order:
                elapsed = await timed_run(kernel, f"{'d' if debug else 'p'}{round_}", debug)
                (debugged if debug else plain).append(elapsed)

    best_plain, best_debug = min(plain), min(debugged)
    print(f"work({ITERATIONS:,}) through run_module, best of {ROUNDS} rounds each")
    print(f"  plain run                              {best_plain * 1e3:8.1f} ms")
    print(f"  debug run, breakpoint never reached    {best_debug * 1e3:8.1f} ms")
    print(f"  ratio debug/plain {best_debug / best_plain:.2f}   (target <= 1.5)")


if __name__ == "__main__":
    asyncio.run(main())
