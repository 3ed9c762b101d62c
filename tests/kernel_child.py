"""Runs one kernel process for the kernel tests, through the product's launcher.

    python tests/kernel_child.py WORKBOOK_ID PORT [LOG_LEVEL]

The environment variable KERNEL_TEST_PRELUDE may hold Python source that is
run first (tests use it to prepare the process, e.g. a package on disk).
"""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

prelude = os.environ.get("KERNEL_TEST_PRELUDE")
if prelude:
    exec(compile(prelude, "<kernel test prelude>", "exec"), {"__name__": "__kernel_test_prelude__"})

from tarvex_master import launcher  # noqa: E402

workbook_id, port = sys.argv[1], sys.argv[2]
level = sys.argv[3] if len(sys.argv) > 3 else "debug"
launcher.run(["--workbook", workbook_id, "--port", port, "--log-level", level])
