"""A workbook in real use, against the same kernel idle, in one run.

For BENCH_LIVE_SECONDS (60 by default) the kernel serves at once:
  - 24 live streaming cells, each a generator yielding a value every 200 ms;
  - a completion request every 300 ms (the user typing in the editor);
  - a recalculation burst of 1,000 custom function calls every 5 s;
  - a probe, execution_request "1 + 1", every 50 ms.

Prints:
  - the idle kernel's CPU time over 10 s with nothing to do;
  - the probe's p50 and p99 under that load against the same probe on the
    idle kernel (measured first, in the same run), and their ratios;
  - per stream: values received, the longest gap between two values, and
    whether any stream failed;
  - the kernel process's memory (VmRSS) when the load starts and at its end.
"""

import asyncio
import os
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_kernel import memory_kib, percentile, running_peers, until  # noqa: E402

SECONDS = float(os.environ.get("BENCH_LIVE_SECONDS", "60"))
IDLE_SECONDS = 10.0
STREAMS = 24
STREAM_PERIOD_S = 0.2
COMPLETION_EVERY_S = 0.3
BURST = 1_000
BURST_EVERY_S = 5.0
PROBE_EVERY_S = 0.05

MODULE = """\
import time

def ticker(period):
    n = 0
    while True:
        time.sleep(period)
        n += 1
        yield n

def add(a, b):
    return a + b
"""

EDITOR_CODE = "import pandas as pd\npd.DataFrame().gr"


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Workbook:
    """Reads everything the kernel sends and files it by kind."""

    def __init__(self, kernel):
        self.kernel = kernel
        self.probes_sent = {}
        self.probe_times = []
        self.values = {}  # stream request id -> arrival times
        self.ended = {}  # stream request id -> final message
        self.completions = 0
        self.calls_answered = 0
        self.failures = []

    async def read(self):
        while True:
            message = await self.kernel.receive()
            kind, request_id = message.get("type"), message.get("request_id")
            if kind == "execution_result" and request_id in self.probes_sent:
                self.probe_times.append(time.perf_counter() - self.probes_sent.pop(request_id))
            elif kind == "streaming_function_result":
                if message.get("done"):
                    self.ended[request_id] = message
                    if "error" in message:
                        self.failures.append(message)
                else:
                    self.values[request_id].append(time.perf_counter())
            elif kind == "completion_response":
                self.completions += 1
            elif kind == "function_execution_result":
                self.calls_answered += 1
                if message.get("status") != "success":
                    self.failures.append(message)

    async def probe(self, seconds, tag):
        self.probe_times = []
        deadline = time.perf_counter() + seconds
        n = 0
        while time.perf_counter() < deadline:
            request_id = f"probe-{tag}-{n}"
            n += 1
            self.probes_sent[request_id] = time.perf_counter()
            await self.kernel.send({"type": "execution_request", "code": "1 + 1", "request_id": request_id})
            await asyncio.sleep(PROBE_EVERY_S)
        await asyncio.sleep(2.0)  # the last probes' answers
        lost = sum(1 for r in self.probes_sent if r.startswith(f"probe-{tag}-"))
        # An unanswered probe counts as infinitely slow, not as absent.
        return sorted(self.probe_times + [float("inf")] * lost), lost

    async def typing(self, seconds):
        deadline = time.perf_counter() + seconds
        n = 0
        while time.perf_counter() < deadline:
            await self.kernel.send({"type": "completion_request", "code": EDITOR_CODE, "line": 2, "column": 18,
                                    "request_id": f"c{n}", "module_name": "live"})
            n += 1
            await asyncio.sleep(COMPLETION_EVERY_S)
        return n

    async def recalculations(self, seconds):
        deadline = time.perf_counter() + seconds
        sent = 0
        while time.perf_counter() < deadline:
            for _ in range(BURST):
                await self.kernel.send({"type": "custom_function_call", "module_name": "live", "function_name": "add",
                                        "request_id": f"f{sent}",
                                        "args": [{"type": "Int", "value": sent, "isSpec": False},
                                                 {"type": "Int", "value": 1, "isSpec": False}]})
                sent += 1
            await asyncio.sleep(BURST_EVERY_S)
        return sent


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


async def main():
    async with running_peers(with_echo=False) as (kernel, _):
        pid = kernel.process.pid
        await kernel.send({"type": "update_module", "module_name": "live", "code": MODULE})
        await until(kernel, lambda m: m.get("type") == "module_updated")

        started = cpu_seconds(pid)
        await asyncio.sleep(IDLE_SECONDS)
        idle_cpu = cpu_seconds(pid) - started
        print(f"idle kernel: {idle_cpu:.2f} s CPU over {IDLE_SECONDS:.0f} s")

        book = Workbook(kernel)
        reader = asyncio.create_task(book.read())
        idle, idle_lost = await book.probe(IDLE_SECONDS, "idle")

        memory_start = memory_kib(pid, "VmRSS")
        for n in range(STREAMS):
            book.values[f"s{n}"] = []
            await kernel.send({"type": "execute_streaming_function", "module_name": "live", "function_name": "ticker",
                               "args": [{"type": "Float", "value": STREAM_PERIOD_S, "isSpec": False}],
                               "request_id": f"s{n}"})
        load_started = time.perf_counter()
        memory_samples = []

        async def sample_memory():
            while time.perf_counter() - load_started < SECONDS:
                await asyncio.sleep(BURST_EVERY_S)
                memory_samples.append(memory_kib(pid, "VmRSS"))

        (loaded, loaded_lost), completions, calls, _ = await asyncio.gather(
            book.probe(SECONDS, "load"), book.typing(SECONDS), book.recalculations(SECONDS), sample_memory())
        load_ended = time.perf_counter()
        memory_end = memory_kib(pid, "VmRSS")

        for n in range(STREAMS):
            await kernel.send({"type": "cancel_streaming_function", "request_id": f"s{n}"})
        deadline = time.perf_counter() + 30
        while len(book.ended) < STREAMS and time.perf_counter() < deadline:
            await asyncio.sleep(0.1)
        reader.cancel()

    idle_p50, idle_p99 = percentile(idle, 0.5), percentile(idle, 0.99)
    load_p50, load_p99 = percentile(loaded, 0.5), percentile(loaded, 0.99)
    print(f"probe idle: p50 {ms(idle_p50)}, p99 {ms(idle_p99)} ({len(idle) - idle_lost} answered, "
          f"{idle_lost} unanswered)")
    print(f"probe under load: p50 {ms(load_p50)}, p99 {ms(load_p99)} ({len(loaded) - loaded_lost} answered, "
          f"{loaded_lost} unanswered)")
    print(f"  ratio to idle: p50 {load_p50 / idle_p50:.2f}x, p99 {load_p99 / idle_p99:.2f}x (target p99 <= 5x)")

    counts, gaps = [], []
    for request_id, times in book.values.items():
        in_load = [t for t in times if t <= load_ended]
        counts.append(len(in_load))
        edges = [load_started] + in_load + [load_ended]
        gaps.append(max(b - a for a, b in zip(edges, edges[1:])))
    expected = SECONDS / STREAM_PERIOD_S
    canceled = sum(1 for m in book.ended.values() if m.get("result") == "Canceled")
    print(f"streams: {STREAMS}, values each {min(counts)}..{max(counts)} (about {expected:.0f} expected), "
          f"longest gap {ms(max(gaps))} (target <= 1000 ms), failed {len(book.failures)}, "
          f"canceled at the end {canceled}/{STREAMS}")
    print(f"completions answered: {book.completions}/{completions}; custom function calls answered: "
          f"{book.calls_answered}/{calls}")
    growth = (memory_end - memory_start) / memory_start
    print(f"kernel memory: {memory_start / 1024:.1f} MiB at the start of the load, {memory_end / 1024:.1f} MiB "
          f"at its end ({growth * 100:+.1f}%, target <= +10%)")
    # The first burst and completion warm the allocator and jedi's caches; a
    # leak keeps growing after them.
    warm = memory_samples[0] if memory_samples else memory_start
    print(f"  every {BURST_EVERY_S:.0f} s (MiB): " + " ".join(f"{m / 1024:.1f}" for m in memory_samples))
    print(f"  growth after the first {BURST_EVERY_S:.0f} s: {(memory_end - warm) / warm * 100:+.1f}%")


if __name__ == "__main__":
    asyncio.run(main())
