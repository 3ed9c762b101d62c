"""Drives TarvexDebugger the way the kernel does: the test's event loop plays
the listener thread (it receives the debugger's messages and sends the
commands), and runcall runs on a worker thread of its own."""

import asyncio
import concurrent.futures
import contextlib
import linecache
import sys
import textwrap
import types

from tarvex_master.python_server.debugger import TarvexDebugger

# Only guards against a hanging test; no test measures time.
WAIT_SECONDS = 20


def load_virtual_module(name, source, **names):
    """An in-memory module as the kernel's loader makes it: file
    "<virtual:NAME>", source lines in linecache, module in sys.modules."""
    source = textwrap.dedent(source)
    filename = f"<virtual:{name}>"
    lines = [line + "\n" for line in source.splitlines()]
    linecache.cache[filename] = (len(source), None, lines, filename)
    module = types.ModuleType(name)
    module.__dict__.update(names)
    sys.modules[name] = module
    exec(compile(source, filename, "exec"), module.__dict__)
    return module


def kernel_function(source, name):
    """A helper standing for the kernel's own code (never stepped)."""
    namespace = {}
    exec(compile(textwrap.dedent(source), "<kernel>", "exec"), namespace)
    return namespace[name]


@contextlib.contextmanager
def monitoring_slot_taken():
    """Another tool holds the interpreter's debugger slot, as when a second
    debug run overlaps the first; the debugger must fall back to settrace."""
    tool = sys.monitoring.DEBUGGER_ID
    sys.monitoring.use_tool_id(tool, "another debugger")
    try:
        yield
    finally:
        sys.monitoring.free_tool_id(tool)


class DebugSession:
    def __init__(self, breakpoints=(), in_memory_modules=None):
        self.messages = asyncio.Queue()
        self.debugger = TarvexDebugger(self._send, "wb-test")
        self.debugger.loop = asyncio.get_running_loop()
        self.debugger.step_mode = None
        self.debugger.set_breakpoints(list(breakpoints))
        if in_memory_modules is not None:
            self.debugger.set_in_memory_modules(in_memory_modules)
        self.worker = concurrent.futures.ThreadPoolExecutor(1)
        self.run = None

    async def _send(self, message):
        await self.messages.put(message)

    def start(self, func, *args):
        loop = asyncio.get_running_loop()
        self.run = loop.run_in_executor(self.worker, self.debugger.runcall, func, *args)
        return self.run

    async def paused(self):
        message = await asyncio.wait_for(self.messages.get(), WAIT_SECONDS)
        assert message["type"] == "debug_paused"
        return message

    async def step(self, command):
        assert getattr(self.debugger, command)() is not False
        return await self.paused()

    async def finish(self):
        """The run's result; checks that the worker thread is left untraced
        and the monitoring slot is free again."""
        try:
            return await asyncio.wait_for(self.run, WAIT_SECONDS)
        finally:
            loop = asyncio.get_running_loop()
            assert await loop.run_in_executor(self.worker, sys.gettrace) is None
            assert sys.monitoring.get_tool(sys.monitoring.DEBUGGER_ID) in (
                None, "another debugger")
            assert self.messages.empty(), "unexpected message after the run"
            self.worker.shutdown()
