"""Logging of the kernel process.

The launcher chooses the level (``set_level``) before the kernel module is
imported; the kernel module calls ``setup_logging_subprocess()`` once when it
loads. Records go to the process's original standard error, which stays put
while the kernel redirects ``sys.stderr`` to the Business Layer.
"""

import logging
import sys

_FORMAT = "%(asctime)s.%(msecs)03d %(levelname)s %(name)s: %(message)s"
_DATE_FORMAT = "%H:%M:%S"
_ROOT_NAME = "tarvex_master"

_level = logging.INFO
_handler = None


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


def setup_logging_subprocess():
    """Sends the product's log records to stderr; safe to call repeatedly."""
    global _handler
    root = logging.getLogger(_ROOT_NAME)
    root.setLevel(_level)
    if _handler is None:
        _handler = logging.StreamHandler(sys.__stderr__)
        _handler.setFormatter(logging.Formatter(_FORMAT, _DATE_FORMAT))
        root.addHandler(_handler)
        root.propagate = False


def get_logger(name):
    """The logger for a module of the product, under the product's root."""
    if name != _ROOT_NAME and not name.startswith(_ROOT_NAME + "."):
        name = f"{_ROOT_NAME}.{name}"
    return logging.getLogger(name)
