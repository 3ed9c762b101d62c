"""A workbook function run under the debugger against the same function run
plainly, with a breakpoint on a line it never reaches.

Prints, best of several interleaved rounds:
- loop: 2 million loop iterations in the function holding the breakpoint;
- calls: 2 million calls of a function holding the breakpoint;
- other thread: the calls run on another thread while a debug run is paused
  (at a breakpoint, or after a step), against the same calls with no
  debugger at all.
Target: each ratio at most 1.5.
"""

import asyncio
import linecache
import pathlib
import sys
import threading
import time
import types

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tarvex_master.python_server.debugger import TarvexDebugger  # noqa: E402

ITERATIONS = 2_000_000
ROUNDS = 5

SOURCE = """\
def work(n):
    total = 0
    for i in range(n):
        total += i * i % 7
        if total < 0:
            print("never")
    return total

def calls(n):
    t = 0
    for i in range(n):
        t = step(t)
    return t

def step(x):
    if x < 0:
        print("never")
    return x + 1

def pause_here():
    return 1
"""
NEVER_IN_WORK = 6
NEVER_IN_STEP = 17
PAUSE_LINE = 21


def load_module(name, source):
    filename = f"<virtual:{name}>"
    linecache.cache[filename] = (len(source), None, [line + "\n" for line in source.splitlines()], filename)
    module = types.ModuleType(name)
    exec(compile(source, filename, "exec"), module.__dict__)
    sys.modules[name] = module
    return module


def timed(func, *args):
    start = time.perf_counter()
    func(*args)
    return time.perf_counter() - start


async def ignore(message):
    pass


def debugged(func, line):
    debugger = TarvexDebugger(ignore, "bench")
    debugger.set_breakpoints([{"module": "bench_mod", "line": line}])
    return timed(debugger.runcall, func, ITERATIONS)


def other_thread_while_paused(module, rounds, step_mode):
    """Times module.calls on this thread while a debug run on another thread
    sits paused (at a breakpoint, or after a step when step_mode is set)."""
    loop = asyncio.new_event_loop()
    paused = threading.Event()

    async def send(message):
        paused.set()

    threading.Thread(target=loop.run_forever, daemon=True).start()
    debugger = TarvexDebugger(send, "bench")
    debugger.loop = loop
    debugger.step_mode = step_mode
    debugger.set_breakpoints([{"module": "bench_mod", "line": PAUSE_LINE}])
    worker = threading.Thread(target=debugger.runcall, args=(module.pause_here,))
    worker.start()
    paused.wait()
    best = min(timed(module.calls, ITERATIONS) for _ in range(rounds))
    debugger.stop_debugging()
    worker.join()
    loop.call_soon_threadsafe(loop.stop)
    return best


def main():
    module = load_module("bench_mod", SOURCE)
    plain = {"loop": float("inf"), "calls": float("inf")}
    ours = dict(plain)
    for _ in range(ROUNDS):  # interleaved, so that both see the same machine load
        plain["loop"] = min(plain["loop"], timed(module.work, ITERATIONS))
        ours["loop"] = min(ours["loop"], debugged(module.work, NEVER_IN_WORK))
        plain["calls"] = min(plain["calls"], timed(module.calls, ITERATIONS))
        ours["calls"] = min(ours["calls"], debugged(module.calls, NEVER_IN_STEP))
    at_breakpoint = other_thread_while_paused(module, ROUNDS, None)
    after_step = other_thread_while_paused(module, ROUNDS, "step_into")

    print(f"debugger: {ITERATIONS} iterations, breakpoint on a line never reached")
    for name in ("loop", "calls"):
        print(f"  {name:6} plain {plain[name] * 1e3:8.1f} ms   debugged {ours[name] * 1e3:8.1f} ms"
              f"   ratio {ours[name] / plain[name]:.2f}  (target <= 1.5)")
    for name, other in (("at a breakpoint", at_breakpoint), ("after a step", after_step)):
        print(f"  calls on another thread, debug run paused {name:16} {other * 1e3:8.1f} ms"
              f"   ratio {other / plain['calls']:.2f}  (target <= 1.5)")


if __name__ == "__main__":
    main()
