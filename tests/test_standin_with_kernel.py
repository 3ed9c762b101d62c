"""The stand-in with a real kernel process, driven from a page connection (no browser).

What the browser tests do not reach: event handlers (added by code and in
the page), ``excel.run``, the kernel asking for a module it lacks, and a
restart that gives the new kernel the workbook's modules.
"""

import pytest

from standin_peers import connect, page_url
from tarvex_master.standin.business_layer import BusinessLayer

pytestmark = pytest.mark.timeout(120)
KERNEL_START_SECONDS = 60

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
