"""Logging of the kernel process.

The launcher chooses the level (``set_level``) before the kernel module is
imported; the kernel module calls ``setup_logging_subprocess()`` once when it
loads. Records go to the process's original standard error, which stays put
while the kernel redirects ``sys.stderr`` to the Business Layer: warnings and
errors at once, info and debug lines within FLUSH_DELAY.
"""

import logging
import sys
import threading
import time

_FORMAT = "%(asctime)s.%(msecs)03d %(levelname)s %(name)s: %(message)s"
_DATE_FORMAT = "%H:%M:%S"
_ROOT_NAME = "tarvex_master"

_level = logging.INFO
_handler = None

# In the kernel process (see batch_quiet_lines) info and debug lines wait
# at most this long to be written: a burst of requests then costs one write
# to stderr, not one per line.
FLUSH_DELAY = 0.02
_batched = False


class BatchingStreamHandler(logging.StreamHandler):
    """A StreamHandler that, once batch_quiet_lines() was called, writes
    warnings and errors at once and gathers quieter lines for at most
    FLUSH_DELAY seconds. Each write to stderr lets
    other threads take the interpreter, so a line per write made a busy
    kernel spend most of its time handing it back and forth."""

    def __init__(self, stream):
        super().__init__(stream)
        self._pending = []
        self._wake = threading.Event()
        self._flusher = None

    def emit(self, record):
        try:
            line = self.format(record) + self.terminator
        except Exception:
            self.handleError(record)
            return
        # Handler.handle holds self.lock here.
        self._pending.append(line)
        if record.levelno >= logging.WARNING or not _batched:
            self._write_pending()
            return
        if self._flusher is None:
            self._flusher = threading.Thread(target=self._flush_soon, name="tarvex-log", daemon=True)
            self._flusher.start()
        self._wake.set()

    def flush(self):
        with self.lock:
            self._write_pending()

    def _write_pending(self):
        if not self._pending:
            return
        text, self._pending = "".join(self._pending), []
        try:
            self.stream.write(text)
            self.stream.flush()
        except Exception:
            pass  # stderr gone: nothing to tell anyone

    def _flush_soon(self):
        while True:
            self._wake.wait()
            self._wake.clear()
            time.sleep(FLUSH_DELAY)
            self.flush()


def set_level(level):
    """Sets the level by name ("debug", "info", ...) or number."""
    global _level
    if isinstance(level, str):
        number = logging.getLevelName(level.upper())
        if not isinstance(number, int):
            raise ValueError(f"unknown log level: {level!r}")
        level = number
    _level = level
    logging.getLogger(_ROOT_NAME).setLevel(level)


def batch_quiet_lines():
    """Lets info and debug lines wait up to FLUSH_DELAY seconds (the kernel
    process); elsewhere every line is written as it comes."""
    global _batched
    _batched = True


def setup_logging_subprocess():
    """Sends the product's log records to stderr; safe to call repeatedly."""
    global _handler
    root = logging.getLogger(_ROOT_NAME)
    root.setLevel(_level)
    if _handler is None:
        _handler = BatchingStreamHandler(sys.__stderr__)  # logging.shutdown flushes it at exit
        _handler.setFormatter(logging.Formatter(_FORMAT, _DATE_FORMAT))
        root.addHandler(_handler)
        root.propagate = False


def get_logger(name):
    """The logger for a module of the product, under the product's root."""
    if name != _ROOT_NAME and not name.startswith(_ROOT_NAME + "."):
        name = f"{_ROOT_NAME}.{name}"
    return logging.getLogger(name)
