"""Awaits through the C++ coroutine bridge against the same loop in `async def`.

Prints the time of N awaits of a completed future, C++ against Python, and
their ratio (below 1.0: the bridge is faster). Both run in the same process,
interleaved, best of several rounds.
"""

import asyncio
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import bridge_probe  # noqa: E402

AWAITS = 100_000
ROUNDS = 7


async def python_await_n(awaitable, count):
    last = None
    for _ in range(count):
        last = await awaitable
    return last


async def best_of(make, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        await make()
        best = min(best, time.perf_counter() - start)
    return best


async def main():
    fut = asyncio.get_running_loop().create_future()
    fut.set_result(1)
    cpp = python = float("inf")
    for _ in range(ROUNDS):  # interleave so that both see the same machine load
        cpp = min(cpp, await best_of(lambda: bridge_probe.await_n(fut, AWAITS), 1))
        python = min(python, await best_of(lambda: python_await_n(fut, AWAITS), 1))
    print(f"coroutine bridge: {AWAITS} awaits of a done future")
    print(f"  C++ coroutine   {cpp * 1e3:8.2f} ms  ({cpp / AWAITS * 1e9:6.1f} ns/await)")
    print(f"  async def       {python * 1e3:8.2f} ms  ({python / AWAITS * 1e9:6.1f} ns/await)")
    print(f"  ratio C++/async def = {cpp / python:.3f}  (target <= 1.0)")

    # Coroutines calling coroutines: each level creates, awaits and finishes one.
    async def python_nested(depth, f):
        if depth == 0:
            return await f
        return await python_nested(depth - 1, f) + 1

    depth, calls = 10, 5_000
    cpp_chain = python_chain = float("inf")
    for _ in range(ROUNDS):
        cpp_chain = min(cpp_chain, await best_of(lambda: chain(bridge_probe.nested, depth, fut, calls), 1))
        python_chain = min(python_chain, await best_of(lambda: chain(python_nested, depth, fut, calls), 1))
    print(f"coroutine calls: {calls} chains of {depth} nested coroutine calls")
    print(f"  C++ coroutine   {cpp_chain / (calls * depth) * 1e9:6.1f} ns/call")
    print(f"  async def       {python_chain / (calls * depth) * 1e9:6.1f} ns/call")
    print(f"  ratio C++/async def = {cpp_chain / python_chain:.3f}")


async def chain(nested, depth, fut, calls):
    for _ in range(calls):
        await nested(depth, fut)


if __name__ == "__main__":
    asyncio.run(main())
