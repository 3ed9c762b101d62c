"""The stand-in with a real kernel process, driven from a page connection (no browser).

What the browser tests do not reach: event handlers (added by code and in
the page), ``excel.run``, the kernel asking for a module it lacks, a
restart that gives the new kernel the workbook's modules, a cell's call
interrupted when its formula changes, and Ctrl-C in the terminal front end.
"""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from standin_peers import connect, page_url
from tarvex_master.standin.business_layer import BusinessLayer

pytestmark = pytest.mark.timeout(120)
KERNEL_START_SECONDS = 60
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

MODULE = '''
import tarvex

def mark(event):
    sheet = tarvex.context.workbook.worksheets.getItem("Sheet1")
    sheet.getRange("C1").values = "changed " + event["address"]

def register():
    sheet = tarvex.context.workbook.worksheets.getItem("Sheet1")
    sheet.onChanged.add(lambda event: sheet.getRange("D1").__setattr__("values", event["details"]["valueAfter"] * 2))
'''


@pytest.fixture
async def page():
    async with BusinessLayer(port=0) as layer:
        peer = await connect(page_url(layer, workbook="real"))
        await peer.wait_type("kernel_status", status="connected", timeout=KERNEL_START_SECONDS)
        peer.layer = layer
        yield peer
        await peer.close()


async def run(page, code, request_id):
    await page.send({"type": "execution_request", "code": code, "request_id": request_id})
    reply = await page.wait_for(lambda m: m.get("request_id") == request_id
                                and m.get("type") in ("execution_result", "execution_error"))
    assert reply["type"] == "execution_result", reply
    return reply


async def wait_cell(page, address, text):
    await page.wait_for(lambda m: m.get("type") == "cells_updated"
                        and (m["sheets"].get("Sheet1", {}).get(address) or {}).get("text") == text)


async def test_handlers_added_by_code_and_in_the_page_run_on_edits(page):
    await page.send({"type": "update_module", "module_name": "handlers", "code": MODULE})
    await page.wait_type("module_updated", module_name="handlers")
    await run(page, "import handlers; handlers.register()", "reg")
    await page.send({"type": "register_event", "event": "onChanged", "sheet": "Sheet1",
                     "module_name": "handlers", "function_name": "mark"})
    await page.send({"type": "set_cell", "sheet": "Sheet1", "address": "A1", "text": "21"})
    await wait_cell(page, "D1", "42")
    await wait_cell(page, "C1", "changed A1")


async def test_excel_run_hands_the_function_a_context(page):
    reply = await run(page, "excel.run(lambda ctx: ctx.workbook.getActiveWorksheet().name)", "run")
    assert reply["result"] == "'Sheet1'"


async def test_a_restarted_kernel_has_the_workbooks_modules_and_formulas_recalculate(page):
    await page.send({"type": "update_module", "module_name": "calc", "code": "def twice(x):\n    return 2 * x\n"})
    await page.send({"type": "set_cell", "sheet": "Sheet1", "address": "A1", "text": "=calc.twice(4)"})
    await wait_cell(page, "A1", "8")
    start = len(page.received)
    await page.send({"type": "restart_kernel"})
    await page.wait_for(lambda m: m.get("type") == "kernel_status" and m["status"] == "connected",
                        start=start, timeout=KERNEL_START_SECONDS)
    statuses = [m["status"] for m in page.received[start:] if m.get("type") == "kernel_status"]
    assert set(statuses) == {"starting", "connected"}  # the old kernel's exit is no news
    await page.wait_for(lambda m: m.get("type") == "cells_updated"
                        and (m["sheets"].get("Sheet1", {}).get("A1") or {}).get("text") == "8", start=start)
    assert (await run(page, "import calc; calc.twice(5)", "after"))["result"] == "10"


async def test_changing_a_formula_interrupts_its_running_call(page):
    await page.send({"type": "update_module", "module_name": "spin",
                     "code": "def spin():\n    print('spinning')\n    while True:\n        pass\n"})
    await page.wait_type("module_updated", module_name="spin")
    await page.send({"type": "set_cell", "sheet": "Sheet1", "address": "A1", "text": "=spin.spin()"})
    call = await page.wait_type("addin_request", label="Sheet1!A1 =spin.spin()")
    await page.wait_for(lambda m: m.get("type") == "stdout" and m.get("request_id") == call["request_id"])
    await page.send({"type": "set_cell", "sheet": "Sheet1", "address": "A1", "text": "plain"})
    assert (await page.wait_type("interrupt_reply", request_id=call["request_id"]))["interrupted"] is True
    await page.wait_type("addin_request_done", request_id=call["request_id"], status="stopped")
    await wait_cell(page, "A1", "plain")


class TerminalProcess:
    """``python -m tarvex_master.standin --terminal`` with its input and output on pipes."""

    def __init__(self, workbook):
        env = dict(os.environ, PYTHONUNBUFFERED="1")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tarvex_master.standin", "--terminal", "--port", "0", "--workbook", workbook],
            cwd=REPO, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.output = ""
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for chunk in iter(lambda: self.process.stdout.read(1), ""):
            self.output += chunk

    def wait_for(self, text, timeout=KERNEL_START_SECONDS):
        deadline = time.monotonic() + timeout
        while text not in self.output:
            assert time.monotonic() < deadline and self.process.poll() is None, f"no {text!r} in:\n{self.output}"
            time.sleep(0.05)

    def type(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def ctrl_c(self):
        self.process.send_signal(signal.SIGINT)


def test_ctrl_c_in_the_terminal_stops_the_line_and_twice_at_the_prompt_quits():
    terminal = TerminalProcess("terminal-ctrl-c")
    try:
        terminal.wait_for("Kernel connected.")
        terminal.type("x = 41")
        terminal.type("print('spinning'); exec('while True: pass')")
        terminal.wait_for("spinning")
        terminal.ctrl_c()
        terminal.wait_for("KeyboardInterrupt")
        terminal.type("print(x + 1)")
        terminal.wait_for("42\n>>> ")  # the line ended: nothing runs
        terminal.ctrl_c()
        terminal.wait_for("press Ctrl-C again")
        assert terminal.process.poll() is None
        terminal.ctrl_c()
        assert terminal.process.wait(KERNEL_START_SECONDS) == 0
    finally:
        if terminal.process.poll() is None:
            terminal.process.kill()
            terminal.process.wait()
