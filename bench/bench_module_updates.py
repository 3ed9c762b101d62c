"""The cost of update_module when the changed module is at the bottom of a
chain of 50 workbook modules (m49 imports m48, ..., m1 imports m0), so that
saving m0 evicts the 49 modules above it, against an update_module of a
loaded module that nothing imports, measured side by side in one run.

Each round loads the whole chain (import m49), then times one update_module
of m0 with a new text and one of the lone module with a new text, in
alternating order; then the import of m49 that runs the 50 bodies again.
Prints the range and median of each over the rounds. Target: the chain's
update_module stays within a few milliseconds.
"""

import logging
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
from tarvex_master.python_server import kernel  # noqa: E402

CHAIN = 50
ROUNDS = 15


def chain_text(i, version):
    imports = f"import m{i - 1}\n" if i else ""
    return f"{imports}VERSION = {version}\ndef value():\n    return VERSION\n"


def timed(action):
    start = time.perf_counter()
    action()
    return (time.perf_counter() - start) * 1000


def summary(name, samples):
    return (f"{name:<38} min {min(samples):7.3f} ms   median {statistics.median(samples):7.3f} ms   "
            f"max {max(samples):7.3f} ms")


def main():
    logging.getLogger(kernel.__name__).setLevel(logging.INFO)
    loader = kernel.in_memory_loader
    for i in range(CHAIN):
        loader.update_module(f"m{i}", chain_text(i, 0))
    loader.update_module("lone", chain_text(0, 0))
    chain, lone, reload = [], [], []
    for round_ in range(1, ROUNDS + 1):
        __import__(f"m{CHAIN - 1}")
        __import__("lone")
        update_chain = lambda: loader.update_module("m0", chain_text(0, round_))  # noqa: E731
        update_lone = lambda: loader.update_module("lone", chain_text(0, round_))  # noqa: E731
        if round_ % 2:
            chain.append(timed(update_chain))
            lone.append(timed(update_lone))
        else:
            lone.append(timed(update_lone))
            chain.append(timed(update_chain))
        evicted = [f"m{i}" for i in range(CHAIN) if f"m{i}" not in sys.modules]
        if len(evicted) != CHAIN:
            raise RuntimeError(f"only {len(evicted)} of {CHAIN} chain modules were evicted")
        reload.append(timed(lambda: __import__(f"m{CHAIN - 1}")))
    print(f"update_module, {ROUNDS} rounds")
    print(summary(f"m0 under a chain of {CHAIN} (evicts {CHAIN - 1})", chain))
    print(summary("a module nothing imports", lone))
    print(f"ratio of medians: {statistics.median(chain) / statistics.median(lone):.1f}")
    print(summary(f"next import of the chain ({CHAIN} bodies)", reload))


if __name__ == "__main__":
    main()
