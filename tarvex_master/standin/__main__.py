"""Runs the kernel for real: the Business Layer stand-in with its code editor page.

    python -m tarvex_master.standin [--port PORT] [--workbook ID] [--log-level LEVEL] [--terminal]

Prints the address of the page (with this run's access token) and starts
the kernel for the workbook. Ctrl-C shuts the kernel down and ends.
With --terminal, a prompt in the terminal takes the place of the page.
"""

import argparse
import asyncio
import logging
import signal
import sys

from .business_layer import BusinessLayer


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tarvex_master.standin")
    parser.add_argument("--port", type=int, default=8000, help="port on 127.0.0.1 (default 8000)")
    parser.add_argument("--workbook", default="demo-workbook", help="id of the workbook the page opens")
    parser.add_argument("--log-level", default="warning", choices=["debug", "info", "warning", "error"],
                        help="log level of the kernel and the stand-in")
    parser.add_argument("--terminal", action="store_true", help="a terminal prompt instead of the browser page")
    return parser.parse_args(argv)


async def serve(args):
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    try:
        layer = await BusinessLayer(args.port, args.workbook, args.log_level).start()
    except OSError as e:
        print(f"Cannot listen on 127.0.0.1:{args.port}: {e.strerror or e}. Try --port.", file=sys.stderr)
        return 1
    try:
        if not layer.monaco_installed:
            print(f"The editor's files are missing ({layer.monaco_root}); run `npm ci` in the repository "
                  "(`make run` does it).", file=sys.stderr)
        await layer.session(args.workbook).ensure_kernel()
        print(f"Business Layer stand-in listening on 127.0.0.1:{layer.port}.")
        print(f"Open the code editor at:\n\n    {layer.url}\n")
        print("Ctrl-C shuts the kernel down and ends.", flush=True)
        await stop.wait()
        print("\nShutting down...", flush=True)
    finally:
        await layer.close()
    return 0


def main(argv=None):
    args = parse_args(argv)
    logging.basicConfig(level=args.log_level.upper(), format="%(asctime)s %(levelname)s %(name)s: %(message)s")
    if args.terminal:
        from .terminal import run_terminal

        return run_terminal(args)
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())
