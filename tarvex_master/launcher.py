"""Starts one kernel process for one workbook.

    python -m tarvex_master.launcher --workbook ID --port PORT [--log-level debug]

Imports the kernel module and runs ``main(workbook_id, port)`` on an asyncio
event loop until the connection to the Business Layer ends. Exits with
status 1 and a one-line reason when the kernel cannot start or ends with an
error.
"""

import argparse
import asyncio
import atexit
import logging
import os
import sys
import threading
import time

from tarvex_master import logging_config


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="tarvex-kernel", description="Run the kernel for one workbook.")
    parser.add_argument("--workbook", required=True, help="workbook id")
    parser.add_argument("--port", default="8000", help="port of the Business Layer on 127.0.0.1")
    parser.add_argument(
        "--log-level",
        default="info",
        choices=["debug", "info", "warning", "error"],
        help="level of the kernel's log on stderr",
    )
    return parser.parse_args(argv)


class KernelErrorWatch(logging.Handler):
    """Remembers the kernel's own report of the error that ended it.

    The kernel's ``run`` logs such an error and returns normally, so the
    log is where the launcher learns that the kernel did not end cleanly.
    """

    def __init__(self):
        super().__init__(logging.ERROR)
        self.reason = None

    def emit(self, record):
        message = record.getMessage()
        if self.reason is None and message.startswith("Kernel error: "):
            self.reason = message


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging_config.set_level(args.log_level)
    logging_config.batch_quiet_lines()
    try:
        from tarvex_master.python_server import kernel
    except Exception as e:  # a broken install must say so in one line
        print(f"tarvex-kernel: cannot load the kernel: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    watch = KernelErrorWatch()
    logging_config.get_logger(kernel.__name__).addHandler(watch)
    try:
        asyncio.run(kernel.main(args.workbook, str(args.port)))
    except KeyboardInterrupt:
        return 130
    except Exception as e:
        print(f"tarvex-kernel: kernel ended with an error: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    if watch.reason:
        print(f"tarvex-kernel: {watch.reason}", file=sys.stderr)
        return 1
    return 0


USER_CODE_GRACE_S = 0.5


def exit_without_waiting_for_user_code(code):
    """Ends the process with ``code`` even while user code still runs.

    The kernel neither waits for nor interrupts code running on its worker
    threads when the connection ends, but the interpreter joins every such
    thread at exit: a ticker sleeping between values or a long computation
    would hold the process until it finished. Threads still busy after a
    short grace are left behind: the exit handlers run (logs flushed,
    temporary directories removed), then the process ends at once.
    """
    deadline = time.monotonic() + USER_CODE_GRACE_S
    for thread in threading.enumerate():
        if thread is not threading.main_thread() and not thread.daemon:
            thread.join(max(0.0, deadline - time.monotonic()))
    busy = [t for t in threading.enumerate() if t is not threading.main_thread() and not t.daemon and t.is_alive()]
    if not busy:
        sys.exit(code)
    logging.getLogger(__name__).info("Not waiting for user code still running on %d thread%s",
                                     len(busy), "" if len(busy) == 1 else "s")
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
        try:
            stream.flush()
        except Exception:
            pass
    os._exit(code)


def run(argv=None):
    """The console entry point: main(), then the exit above."""
    exit_without_waiting_for_user_code(main(argv))


if __name__ == "__main__":
    run()
