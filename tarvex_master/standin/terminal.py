"""A terminal prompt in place of the code editor page.

Every line typed is run by the kernel as an execution request; its output
and result are printed as they arrive. User code reaches the same simulated
workbook as the page's. Ctrl-D or Ctrl-C ends the session and shuts the
kernel down.
"""

import asyncio
import itertools
import sys

from .business_layer import BusinessLayer


def show(message):
    kind = message.get("type")
    if kind in ("stdout", "stderr"):
        stream = sys.stdout if kind == "stdout" else sys.stderr
        stream.write(message.get("content", ""))
        stream.flush()
    elif kind == "execution_error":
        error = message.get("error") or {}
        sys.stderr.write(error.get("traceback") or f"{error.get('type')}: {error.get('message')}\n")
    elif kind == "result_output":
        sys.stdout.write(message.get("content", ""))
    elif kind in ("show_message_box",):
        print(f"[message box] {message.get('title')}: {message.get('message')}")
    elif kind == "kernel_status" and message.get("status") != "connected":
        print(f"[kernel {message.get('status')}] {message.get('detail')}", file=sys.stderr)
    elif kind == "standin_error":
        print(f"[error] {message.get('message')}", file=sys.stderr)


async def repl(session, finished):
    loop = asyncio.get_running_loop()
    ids = itertools.count(1)
    while True:
        await finished.wait()
        finished.clear()
        try:
            line = await loop.run_in_executor(None, lambda: input(">>> "))
        except EOFError:
            return
        if not line.strip():
            finished.set()
            continue
        session.send_to_kernel({"type": "execution_request", "code": line, "request_id": f"term-{next(ids)}",
                                "source": "ide", "workbook_id": session.workbook_id})


async def run(args):
    finished = asyncio.Event()
    finished.set()

    def on_message(message):
        show(message)
        if message.get("type") in ("execution_result", "execution_error", "standin_error"):
            finished.set()

    async with BusinessLayer(args.port, args.workbook, args.log_level) as layer:
        session = layer.session(args.workbook)
        session.listeners.append(on_message)
        print(f"Business Layer stand-in on 127.0.0.1:{layer.port}; starting the kernel for '{args.workbook}'...")
        await session.ensure_kernel()
        if not await session.wait_connected():
            print(f"The kernel did not connect: {session.status_detail}", file=sys.stderr)
            return 1
        print("Kernel connected. Type Python code; Ctrl-D to quit.")
        await repl(session, finished)
    return 0


def run_terminal(args):
    try:
        return asyncio.run(run(args))
    except (KeyboardInterrupt, EOFError):
        print()
        return 0
