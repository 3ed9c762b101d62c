"""Runs the kernel against a local Business Layer stand-in, with a terminal REPL.

    python -m tarvex_master.standin [--port PORT] [--workbook ID] [--log-level LEVEL]

Every line typed is run by the kernel as an execution request; its output
and result are printed as they arrive. Ctrl-D or Ctrl-C ends the session and
shuts the kernel down.
"""

import argparse
import asyncio
import sys

import websockets

from .kernel_link import KERNEL_PATH_PREFIX, KernelLink


def parse_args():
    parser = argparse.ArgumentParser(prog="python -m tarvex_master.standin")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--workbook", default="demo-workbook")
    parser.add_argument("--log-level", default="warning", choices=["debug", "info", "warning", "error"])
    return parser.parse_args()


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
    elif kind not in ("execution_result",):
        print(f"[kernel] {message}")


async def repl(link, finished):
    loop = asyncio.get_running_loop()
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
        await link.send({"type": "execution_request", "code": line, "request_id": link.new_request_id(), "source": "ide"})


async def main():
    args = parse_args()
    finished = asyncio.Event()
    finished.set()

    async def on_message(message):
        show(message)
        if message.get("type") in ("execution_result", "execution_error"):
            finished.set()

    link = KernelLink(args.workbook, args.port, on_message, args.log_level)

    async def handler(websocket):
        if websocket.request.path != KERNEL_PATH_PREFIX + args.workbook:
            await websocket.close(1008, "unknown endpoint")
            return
        await link.serve(websocket)

    async with websockets.serve(handler, "127.0.0.1", args.port):
        print(f"Business Layer stand-in on ws://127.0.0.1:{args.port}; starting the kernel for '{args.workbook}'...")
        await link.start_process()
        waiting = asyncio.create_task(link.connected.wait())
        exited = asyncio.create_task(link.process.wait())
        await asyncio.wait({waiting, exited}, return_when=asyncio.FIRST_COMPLETED)
        if not link.connected.is_set():
            waiting.cancel()
            print(f"The kernel exited with status {link.process.returncode} before connecting.", file=sys.stderr)
            return 1
        print("Kernel connected. Type Python code; Ctrl-D to quit.")
        session = asyncio.create_task(repl(link, finished))
        await asyncio.wait({session, exited}, return_when=asyncio.FIRST_COMPLETED)
        if exited.done():
            print(f"\nThe kernel exited with status {link.process.returncode}.", file=sys.stderr)
            session.cancel()
            return 1
        session.cancel()
        await link.shutdown()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(asyncio.run(main()))
    except (KeyboardInterrupt, EOFError):
        print()
