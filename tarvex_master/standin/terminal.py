"""A terminal prompt in place of the code editor page.

Every line typed is run by the kernel as an execution request; its output
and result are printed as they arrive. User code reaches the same simulated
workbook as the page's. Ctrl-C interrupts the running line (the names it
defined stay); at the prompt, a second Ctrl-C in a row ends the session, as
does Ctrl-D, and shuts the kernel down.
"""

import asyncio
import itertools
import signal
import sys
import threading

from .business_layer import BusinessLayer

PROMPT = ">>> "
ENDS_A_LINE = ("execution_result", "execution_error", "standin_error")


def show(message):
    kind = message.get("type")
    if kind in ("stdout", "stderr"):
        stream = sys.stdout if kind == "stdout" else sys.stderr
        stream.write(message.get("content", ""))
        stream.flush()
    elif kind == "execution_error":
        error = message.get("error") or {}
        sys.stderr.write(error.get("traceback") or f"{error.get('type')}: {error.get('message')}\n")
        sys.stderr.flush()
    elif kind == "result_output":
        sys.stdout.write(message.get("content", ""))
        sys.stdout.flush()
    elif kind in ("show_message_box",):
        print(f"[message box] {message.get('title')}: {message.get('message')}", flush=True)
    elif kind == "kernel_status" and message.get("status") != "connected":
        print(f"[kernel {message.get('status')}] {message.get('detail')}", file=sys.stderr, flush=True)
    elif kind == "standin_error":
        print(f"[error] {message.get('message')}", file=sys.stderr, flush=True)


class Terminal:
    """Reads lines on a thread of its own (so that ending never waits for a
    line being typed) and runs them one at a time."""

    def __init__(self, session):
        self.session = session
        self.loop = asyncio.get_running_loop()
        self.lines = asyncio.Queue()  # typed lines; None at the end
        self.running = None  # request id of the line the kernel runs
        self.done = asyncio.Event()
        self.quit_next = False  # a Ctrl-C at the prompt was pressed; the next one ends
        self._want_line = threading.Event()
        self._ids = itertools.count(1)

    def on_message(self, message):
        show(message)
        kind = message.get("type")
        if kind in ENDS_A_LINE and message.get("request_id") == self.running:
            self.done.set()
        elif kind == "kernel_status" and message.get("status") != "connected":
            self.done.set()  # the line went with the kernel

    def on_ctrl_c(self):
        if self.running is not None:
            self.session.send_to_kernel({"type": "interrupt_request", "request_id": self.running,
                                         "workbook_id": self.session.workbook_id})
        elif self.quit_next:
            self.lines.put_nowait(None)
        else:
            self.quit_next = True
            sys.stdout.write(f"\n(To quit, press Ctrl-C again or Ctrl-D)\n{PROMPT}")
            sys.stdout.flush()

    def _read(self):
        while True:
            self._want_line.wait()
            self._want_line.clear()
            try:
                line = input(PROMPT)
            except EOFError:
                line = None
            self.loop.call_soon_threadsafe(self.lines.put_nowait, line)
            if line is None:
                return

    async def run(self):
        threading.Thread(target=self._read, name="terminal input", daemon=True).start()
        while True:
            self._want_line.set()
            line = await self.lines.get()
            if line is None:
                return
            self.quit_next = False
            if not line.strip():
                continue
            if self.session.status != "connected":
                print("[error] The kernel is not connected.", file=sys.stderr, flush=True)
                continue
            self.running = f"term-{next(self._ids)}"
            self.done.clear()
            self.session.send_to_kernel({"type": "execution_request", "code": line, "request_id": self.running,
                                         "source": "ide", "workbook_id": self.session.workbook_id})
            await self.done.wait()
            self.running = None


async def run(args):
    async with BusinessLayer(args.port, args.workbook, args.log_level) as layer:
        session = layer.session(args.workbook)
        print(f"Business Layer stand-in on 127.0.0.1:{layer.port}; starting the kernel for '{args.workbook}'...")
        await session.ensure_kernel()
        terminal = Terminal(session)
        session.listeners.append(terminal.on_message)
        if not await session.wait_connected():
            print(f"The kernel did not connect: {session.status_detail}", file=sys.stderr)
            return 1
        print("Kernel connected. Type Python code; Ctrl-C stops a line, Ctrl-D quits.", flush=True)
        loop = asyncio.get_running_loop()
        loop.add_signal_handler(signal.SIGINT, terminal.on_ctrl_c)
        try:
            await terminal.run()
        finally:
            loop.remove_signal_handler(signal.SIGINT)
    print()
    return 0


def run_terminal(args):
    try:
        return asyncio.run(run(args))
    except (KeyboardInterrupt, EOFError):  # before the kernel connected
        print()
        return 0
