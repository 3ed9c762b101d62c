"""Completion latency of Lexora against jedi called directly.

Each scenario runs our get_completions and a baseline side by side,
interleaved, on the same text in the same process, and prints the ratio of
the medians:

- floor: jedi.Script(...).complete(...) on the same text and project, which
  is the least any completion request can cost;
- names+types: the floor plus reading each proposed name and its type (the
  type decides the item's kind), the least work any request that returns
  the items' kinds must do;
- write-all: our get_completions with every module file rewritten before
  each request (its modification time moved, so the file no longer matches
  what was last written), which is what syncing cost before unchanged files
  were left alone.

Run: tools/devroot python3 bench/bench_lexora.py
"""

import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

import jedi  # noqa: E402

from tarvex_master.python_server import lexora  # noqa: E402

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "60"))
WARMUP = 5
MODULE_COUNT = 20


def workbook_modules():
    """Twenty modules that import one another, as a workbook holds them."""
    modules = {}
    for i in range(MODULE_COUNT):
        lines = [f'"""Workbook module {i}."""', "import math", ""]
        if i:
            lines.append(f"from mod{i - 1:02d} import helper_{i - 1}")
        for j in range(15):
            lines += [
                f"def helper_{i}_{j}(value, scale={j}):",
                f'    """Scales value by {j}."""',
                "    return math.sqrt(value) * scale",
                "",
            ]
        lines += [
            f"def helper_{i}(rows):",
            "    return [helper_%d_0(r) for r in rows]" % i,
            "",
            f"class Table{i}:",
            "    def __init__(self, name):",
            "        self.name = name",
            "    def total(self, column):",
            "        return 0",
            "",
        ]
        modules[f"mod{i:02d}"] = "\n".join(lines)
    return modules


def median_ms(samples):
    return statistics.median(samples) * 1000.0


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def compare(label, ours, baseline, baseline_name, before_baseline=None):
    for _ in range(WARMUP):
        ours()
        if before_baseline:
            before_baseline()
        baseline()
    ours_times, base_times = [], []
    for _ in range(ROUNDS):
        ours_times.append(timed(ours))
        if before_baseline:
            before_baseline()
        base_times.append(timed(baseline))
    ours_ms, base_ms = median_ms(ours_times), median_ms(base_times)
    print(f"{label:<46} ours p50 {ours_ms:8.2f} ms   {baseline_name} p50 {base_ms:8.2f} ms   "
          f"ratio {ours_ms / base_ms:5.2f}")
    return ours_ms / base_ms


def main():
    bridge = lexora.Lexora()
    modules = workbook_modules()
    bridge.sync_modules(modules)
    sync_dir = bridge._temp_dir.name
    project = bridge._jedi_project

    scenarios = [
        ("pandas: 'import pandas as pd' / 'pd.'", "import pandas as pd\npd.", 2, 3),
        ("cross-module: 'import mod07' / 'mod07.'", "import mod07\nmod07.", 2, 6),
    ]
    for title, code, line, column in scenarios:
        def ours():
            result = bridge.get_completions(code, line, column, path="editor_buffer", modules=dict(modules))
            assert result["error"] is None and result["completions"], result

        def floor():
            script = jedi.Script(code=code, path=os.path.join(sync_dir, "editor_buffer.py"), project=project)
            assert script.complete(line=line, column=column)

        def names_and_types():
            script = jedi.Script(code=code, path=os.path.join(sync_dir, "editor_buffer.py"), project=project)
            for completion in script.complete(line=line, column=column):
                if not completion.name.startswith("_"):
                    completion.type

        def touch_all():
            # A file whose state no longer matches our last write is
            # rewritten, exactly as every file was before.
            for name in modules:
                os.utime(os.path.join(sync_dir, name + ".py"))

        print(title)
        compare("  get_completions vs jedi complete()", ours, floor, "floor")
        compare("  get_completions vs complete() + names/types", ours, names_and_types, "names+types")
        compare("  write-only-changed vs write-all", ours, ours, "write-all", before_baseline=touch_all)
    bridge.cleanup()


if __name__ == "__main__":
    main()
