"""The simulated add-in: what the spreadsheet side does with the kernel.

It answers the kernel's workbook requests from the simulated workbook,
calculates formulas that call workbook functions (``custom_function_call``,
interrupted when the formula changes or goes while it runs, or
``execute_streaming_function`` for generator functions, cancelled then),
runs event handlers (``event_execution`` and
``python_function_call``), and tells the pages what changed.
"""

import asyncio
import itertools
import logging
import uuid
from collections import deque
from dataclasses import dataclass

from .a1 import AddressError, cell_name, parse_cell, range_name
from .events import EventRegistry
from .formulas import FormulaError, Literal, parse_formula
from .object_bridge import ObjectBridge
from .office_objects import ApiObject
from .python_source import imported_modules, is_generator_function
from .wire import PythonFunction, WireError, from_wire, to_wire
from .workbook import Workbook, WorkbookError, parse_entry

log = logging.getLogger("tarvex_master.standin.addin")

# Recalculation passes one change on to the formulas that read it; a chain
# longer than this is taken for a loop (such as a formula whose own array
# result lands in the cells it reads).
MAX_CHAIN = 64
MAX_ARGUMENT_CELLS = 100_000
PYTHON_CALL_TIMEOUT = 60.0
# Cancelled streams and interrupted calls whose end the kernel has not
# confirmed yet (a generator blocked in its own code confirms late, or never).
MAX_CANCELLING = 1000


@dataclass
class FormulaState:
    sheet_id: str
    row: int
    column: int
    text: str
    parsed: object = None  # Formula, or None when it does not parse
    request_id: str | None = None  # the kernel request calculating it now
    streaming: bool = False
    values_received: int = 0
    depth: int = 0
    label: str = ""

    @property
    def key(self):
        return (self.sheet_id, self.row, self.column)


class WorkbookAddin:
    def __init__(self, workbook_id, send_to_kernel, notify_pages, module_source):
        """``send_to_kernel(message)`` queues a message for the kernel (in order);
        ``notify_pages(message)`` tells every page; ``module_source(name)`` is the
        saved source of a workbook module, or None."""
        self.workbook_id = workbook_id
        self.workbook = Workbook()
        self.settings = {"workbook_id": workbook_id}
        self.events = EventRegistry()
        self.bridge = ObjectBridge(self)
        self.kernel_ready = False
        self._send = send_to_kernel
        self._notify = notify_pages
        self._module_source = module_source
        self._formulas = {}  # (sheet id, row, column) -> FormulaState
        self._requests = {}  # request id -> formula key, while a calculation runs
        self._handler_requests = {}  # request id -> label, for event handler runs
        self._python_calls = {}  # request id -> future of the python_function_result
        self._cancelling = {}  # request id -> label, for streams told to stop
        self._interrupting = {}  # request id -> label, for calls told to stop
        self._ids = itertools.count(1)
        self._flush_scheduled = False

    # -- the kernel ---------------------------------------------------------

    def kernel_connected(self):
        self.kernel_ready = True
        self.recalculate_all()

    def kernel_lost(self):
        """The kernel went away: its objects, functions and running calculations with it."""
        self.kernel_ready = False
        self.bridge.release_all()
        if self.events.drop_callables():
            self.events_changed()
        for future in self._python_calls.values():
            if not future.done():
                future.set_exception(WorkbookError("The kernel went away before the function returned."))
        self._python_calls.clear()
        self._handler_requests.clear()
        self._cancelling.clear()
        self._interrupting.clear()
        for key in list(self._requests.values()):
            state = self._formulas.get(key)
            if state is not None:
                state.request_id = None
                state.streaming = False
                sheet = self.workbook.sheet_by_id(state.sheet_id)
                if sheet is not None:
                    self.workbook.set_result(sheet, state.row, state.column, error="#CONNECT!",
                                             detail="The kernel went away during the calculation.", streaming=False)
        self._requests.clear()
        self._changed()

    async def answer_sys_request(self, payload):
        """The response payload to one object request of the kernel."""
        response = await self.bridge.answer(payload)
        self._changed()
        return response

    def handle_kernel_message(self, message):
        """Takes the kernel's answers to the add-in's own requests; True when the message was one."""
        kind = message.get("type")
        request_id = message.get("request_id")
        if kind == "function_execution_result" and request_id in self._requests:
            self._on_function_result(message)
            return True
        if kind == "streaming_function_result" and request_id in self._requests:
            self._on_stream_result(message)
            return True
        if kind == "streaming_function_result" and request_id in self._cancelling:
            if message.get("done"):
                label = self._cancelling.pop(request_id)
                stopped = message.get("result") == "Canceled"
                self._notify({"type": "addin_log", "level": "info", "request_id": request_id,
                              "text": f"{label}: the stream {'stopped' if stopped else 'ended'}."})
                self._request_done(request_id, "stopped")
            return True
        if kind == "function_execution_result" and request_id in self._interrupting:
            label = self._interrupting.pop(request_id)
            if _last_line(message.get("error")).startswith("KeyboardInterrupt"):
                self._notify({"type": "addin_log", "level": "info", "request_id": request_id,
                              "text": f"{label}: the call stopped."})
                self._request_done(request_id, "stopped")
            return True
        if kind == "python_function_result" and request_id in self._python_calls:
            future = self._python_calls.pop(request_id)
            if not future.done():
                future.set_result(message)
            return True
        if kind in ("python_function_result", "event_execution_result") and request_id in self._handler_requests:
            label = self._handler_requests.pop(request_id)
            failed = message.get("status") == "error" or message.get("success") is False
            if failed:
                self._notify({"type": "addin_log", "level": "error", "request_id": request_id,
                              "text": f"{label} failed: {_last_line(message.get('error'))}"})
            return True
        return False

    def owns_request(self, request_id):
        """Whether a kernel request of this id is the add-in's (a cell, a stream, a handler, a call)."""
        return (request_id in self._requests or request_id in self._handler_requests
                or request_id in self._python_calls or request_id in self._cancelling
                or request_id in self._interrupting)

    def _request_done(self, request_id, status):
        """How a request ended ("ok", "failed" or "stopped"), for those whose reply does not say it
        (streams, and calls that were told to stop)."""
        self._notify({"type": "addin_request_done", "request_id": request_id, "status": status})

    # -- what the pages do ----------------------------------------------------

    def enter_cell(self, sheet_name, address, text):
        sheet = self.workbook.sheet(sheet_name)
        try:
            row, column = parse_cell(address)
        except AddressError as e:
            raise WorkbookError(str(e)) from None
        if text is not None and not isinstance(text, str):
            raise WorkbookError("a cell entry is text")
        self.write_cells(sheet, [(row, column, parse_entry(text))], (row, column, row, column))

    def select(self, sheet, bounds):
        self.workbook.activate(sheet)
        self.workbook.selection = (sheet, *bounds)
        self._fire("onSelectionChanged", sheet, {"type": "WorksheetSelectionChanged", "worksheetId": sheet.id,
                                                 "address": range_name(*bounds)})
        self._changed()

    def activate_sheet(self, sheet):
        if self.workbook.active is not sheet:
            self.workbook.activate(sheet)
            self._fire("onActivated", sheet, {"type": "WorksheetActivated", "worksheetId": sheet.id})
            self._changed()

    def add_sheet(self, name=None):
        sheet = self.workbook.add_sheet(name)
        self._changed()
        return sheet

    def delete_sheet(self, sheet):
        self.workbook.delete_sheet(sheet)
        for key, state in list(self._formulas.items()):
            if state.sheet_id == sheet.id:
                self._stop(state)
                del self._formulas[key]
        self.events.drop_sheet(sheet)
        # Formulas elsewhere that read the sheet now point nowhere.
        self._run([(state.key, 0) for state in self._formulas.values() if self._reads_sheet(state, sheet.name)])
        self._changed()

    def set_events_enabled(self, enabled):
        self.workbook.events_enabled = bool(enabled)
        self._notify({"type": "events_enabled", "enabled": self.workbook.events_enabled})

    def register_handler(self, event, sheet_name, module_name, function_name):
        sheet = self.workbook.sheet(sheet_name) if sheet_name else None
        for name, what in ((module_name, "module"), (function_name, "function")):
            if not isinstance(name, str) or not name.isidentifier():
                raise WorkbookError(f"the handler's {what} must be a Python name, got {name!r}")
        try:
            self.events.add_module_handler(event, sheet, module_name, function_name)
        except ValueError as e:
            raise WorkbookError(str(e)) from None
        self.events_changed()

    def unregister_handler(self, registration_id):
        if self.events.remove_id(registration_id):
            self.events_changed()

    def recalculate_all(self):
        self._run([(key, 0) for key in self._formulas])
        self._changed()

    def module_saved(self, module_name):
        """A module's new code: the formulas calling it, or calling a module
        that imports it directly or through others, run again."""
        uses = {}
        self._run([(state.key, 0) for state in self._formulas.values()
                   if state.parsed is not None and self._uses_module(state.parsed.module, module_name, uses)])
        self._changed()

    def _uses_module(self, module, changed, known):
        """Whether workbook module ``module`` is ``changed`` or imports it, as
        far as its saved source tells; ``known`` keeps answers per save."""
        if module not in known:
            reached, pending = {module}, [module]
            while pending:
                for imported in imported_modules(self._module_source(pending.pop())):
                    if imported not in reached and self._module_source(imported) is not None:
                        reached.add(imported)
                        pending.append(imported)
            known[module] = changed in reached
        return known[module]

    # -- what the object model does (office_objects calls these) -----------------

    def write_cells(self, sheet, entries, bounds):
        """Puts values and formulas into cells; recalculates what reads them; fires onChanged."""
        single = len(entries) == 1
        before = sheet.value(entries[0][0], entries[0][1]) if single else None
        keys = []
        for row, column, (value, formula) in entries:
            key = (sheet.id, row, column)
            old = self._formulas.pop(key, None)
            if old is not None:
                self._stop(old)
            self.workbook.set_input(sheet, row, column, value=value, formula=formula, retry_spills=False)
            if formula is not None:
                self._formulas[key] = self._new_formula(sheet, row, column, formula)
                keys.append(key)
        self.workbook.retry_blocked_spills()
        self._run([(key, 0) for key in keys])
        args = {"type": "WorksheetChanged", "worksheetId": sheet.id, "address": range_name(*bounds),
                "changeType": "RangeEdited", "source": "Local"}
        if single:
            args["details"] = {"valueBefore": before, "valueAfter": sheet.value(entries[0][0], entries[0][1])}
        self._fire("onChanged", sheet, args)
        self._changed()

    def clear_cells(self, sheet, bounds):
        top, left, bottom, right = bounds
        keys = [key for key, _ in sheet.cells_within(top, left, bottom, right)]
        if keys:
            self.write_cells(sheet, [(row, column, (None, None)) for row, column in keys], bounds)

    def sheets_changed(self):
        self._changed()

    def events_changed(self):
        self._notify({"type": "events", "events": self.events.to_json(self.workbook)})

    def call_python(self, callable_id, args):
        """Runs a Python function of the kernel; the awaitable gives its result."""
        if not self.kernel_ready:
            raise WorkbookError("The kernel is not connected.")
        request_id = self._new_request_id("call")
        future = asyncio.get_running_loop().create_future()
        self._python_calls[request_id] = future
        self._send({"type": "python_function_call", "callable_id": callable_id,
                    "args": [to_wire(arg, self.bridge.register) for arg in args],
                    "request_id": request_id, "workbook_id": self.workbook_id})
        return self._python_result(request_id, future)

    async def _python_result(self, request_id, future):
        try:
            message = await asyncio.wait_for(future, PYTHON_CALL_TIMEOUT)
        except asyncio.TimeoutError:
            if self.kernel_ready:  # no one waits for it any more
                self._send({"type": "interrupt_request", "request_id": request_id, "workbook_id": self.workbook_id})
            raise WorkbookError(f"The Python function did not return within {PYTHON_CALL_TIMEOUT:.0f} s.") from None
        finally:
            self._python_calls.pop(request_id, None)
        if not message.get("success"):
            raise WorkbookError(f"The Python function failed: {_last_line(message.get('error'))}")
        return from_wire(message.get("result"), self.bridge.resolve)

    # -- calculation -------------------------------------------------------------

    def _new_formula(self, sheet, row, column, text):
        state = FormulaState(sheet.id, row, column, text)
        try:
            state.parsed = parse_formula(text)
        except FormulaError as e:
            self.workbook.set_result(sheet, row, column, error="#NAME?", detail=f"The formula cannot be read: {e}.")
        return state

    def _run(self, work, depth=0):
        """Calculates formulas, then whatever reads what changed, breadth first.

        ``work`` lists (formula key, chain depth); cells changed before the
        call count as changes at ``depth``.
        """
        queue = deque()
        waiting = set()

        def add(key, depth):
            if key not in waiting:
                waiting.add(key)
                queue.append((key, depth))

        for key, key_depth in work:
            add(key, key_depth)
        for dependent in self._dependents(self.workbook.drain_recent()):
            add(dependent, depth + 1)
        while queue:
            key, depth = queue.popleft()
            waiting.discard(key)
            state = self._formulas.get(key)
            if state is None:
                continue
            self._calculate(state, depth)
            for dependent in self._dependents(self.workbook.drain_recent()):
                add(dependent, depth + 1)

    def _calculate(self, state, depth):
        sheet = self.workbook.sheet_by_id(state.sheet_id)
        if sheet is None:
            return
        self._stop(state)
        formula = state.parsed
        if formula is None:
            return  # shows why it does not parse
        show = lambda **result: self.workbook.set_result(sheet, state.row, state.column, **result)  # noqa: E731
        if depth > MAX_CHAIN or self._is_circular(state):
            show(error="#CYCLE!", detail="The formula depends on its own result (a circular reference).", streaming=False)
            return
        try:
            if formula.reference is not None:
                show(result=self._read_reference(sheet, formula.reference, as_rows=not formula.reference.is_cell),
                     streaming=False)
                return
            args = [arg.value if isinstance(arg, Literal) else self._read_reference(sheet, arg, as_rows=not arg.is_cell)
                    for arg in formula.args]
        except _CellError as e:
            show(error=e.error, detail=e.detail, streaming=False)
            return
        if not self.kernel_ready:
            show(error="#CONNECT!", detail="The kernel is not connected.", streaming=False)
            return
        source = self._module_source(formula.module)
        if source is None:
            show(error="#NAME?", detail=f"There is no module '{formula.module}' in this workbook.", streaming=False)
            return
        state.streaming = is_generator_function(source, formula.function)
        state.values_received = 0
        state.depth = depth
        state.request_id = self._new_request_id("stream" if state.streaming else "cell")
        self._requests[state.request_id] = state.key
        show(error="#BUSY!", detail="Waiting for the first value." if state.streaming else "Calculating.",
             streaming=state.streaming)
        wire_args = [to_wire(arg, self.bridge.register) for arg in args]
        state.label = f"{sheet.name}!{cell_name(state.row, state.column)} {state.text}"
        self._notify({"type": "addin_request", "request_id": state.request_id, "label": state.label})
        if state.streaming:
            self._send({"type": "execute_streaming_function", "request_id": state.request_id,
                        "module_name": formula.module, "function_name": formula.function, "args": wire_args,
                        "workbook_id": self.workbook_id, "source": "addin"})
        else:
            self._send({"type": "custom_function_call", "module_name": formula.module,
                        "function_name": formula.function, "args": wire_args, "request_id": state.request_id,
                        "workbook_id": self.workbook_id, "source": "addin"})

    def _stop(self, state):
        """Forgets a running calculation: a stream is cancelled, a call interrupted."""
        if state.request_id is None:
            return
        self._requests.pop(state.request_id, None)
        if self.kernel_ready:
            if state.streaming:
                self._send({"type": "cancel_streaming_function", "request_id": state.request_id,
                            "workbook_id": self.workbook_id})
                stopping = self._cancelling
            else:
                self._send({"type": "interrupt_request", "request_id": state.request_id,
                            "workbook_id": self.workbook_id})
                stopping = self._interrupting
            stopping[state.request_id] = state.label
            while len(stopping) > MAX_CANCELLING:
                del stopping[next(iter(stopping))]
        state.request_id = None

    def _on_function_result(self, message):
        key = self._requests.pop(message["request_id"])
        state = self._formulas.get(key)
        sheet = self.workbook.sheet_by_id(key[0])
        if state is None or sheet is None or state.request_id != message["request_id"]:
            return
        state.request_id = None
        if message.get("status") == "success":
            self._show_value(sheet, state, message.get("result"), streaming=False)
        else:
            self.workbook.set_result(sheet, state.row, state.column, error="#VALUE!",
                                     detail=_last_line(message.get("error")), streaming=False)
        self._after_result(state)

    def _on_stream_result(self, message):
        request_id = message["request_id"]
        key = self._requests[request_id]
        state = self._formulas.get(key)
        sheet = self.workbook.sheet_by_id(key[0])
        if state is None or sheet is None or state.request_id != request_id:
            self._requests.pop(request_id, None)
            return
        if not message.get("done"):
            state.values_received += 1
            self._show_value(sheet, state, message.get("result"), streaming=True)
        else:
            self._requests.pop(request_id, None)
            state.request_id = None
            self._request_done(request_id, "failed" if message.get("error") is not None else "ok")
            if message.get("error") is not None:
                self.workbook.set_result(sheet, state.row, state.column, error="#VALUE!",
                                         detail=_last_line(message.get("error")), streaming=False)
            elif state.values_received == 0:
                self.workbook.set_result(sheet, state.row, state.column, error="#N/A",
                                         detail="The function ended without yielding a value.", streaming=False)
            else:
                cell = sheet.cell(state.row, state.column)
                self.workbook.set_result(sheet, state.row, state.column, result=cell.result if cell else None,
                                         error=cell.error if cell else None, detail=cell.detail if cell else None,
                                         streaming=False)
        self._after_result(state)

    def _show_value(self, sheet, state, wire, streaming):
        try:
            value = _cell_value(from_wire(wire, self.bridge.resolve))
        except WireError as e:
            self.workbook.set_result(sheet, state.row, state.column, error="#VALUE!",
                                     detail=f"The result cannot be shown: {e}.", streaming=streaming)
            return
        self.workbook.set_result(sheet, state.row, state.column, result=value, streaming=streaming)

    def _after_result(self, state):
        self._run([], depth=state.depth)
        self._changed()

    def _read_reference(self, sheet, reference, as_rows):
        target = sheet
        if reference.sheet is not None:
            try:
                target = self.workbook.sheet(reference.sheet)
            except WorkbookError:
                raise _CellError("#REF!", f"There is no worksheet '{reference.sheet}'.") from None
        count = (reference.bottom - reference.top + 1) * (reference.right - reference.left + 1)
        if count > MAX_ARGUMENT_CELLS:
            raise _CellError("#VALUE!", f"The range holds {count} cells; at most {MAX_ARGUMENT_CELLS} can be passed.")
        bounds = (reference.top, reference.left, reference.bottom, reference.right)
        failed = [(key, cell) for key, cell in target.cells_within(*bounds) if cell.error]
        if failed:
            (row, column), cell = min(failed, key=lambda pair: pair[0])
            raise _CellError(cell.error, f"{target.name}!{cell_name(row, column)} shows {cell.error}.")
        rows = target.values(*bounds)
        return rows if as_rows else rows[0][0]

    def _dependents(self, changed):
        """Keys of the formulas that read any of the changed cells ({sheet id: Changed})."""
        if not changed:
            return []
        found = []
        for state in self._formulas.values():
            if state.parsed is None:
                continue
            for sheet_id, top, left, bottom, right in self._resolved_references(state):
                recent = changed.get(sheet_id)
                if recent is not None and recent.touches(top, left, bottom, right):
                    found.append(state.key)
                    break
        return found

    def _resolved_references(self, state):
        for reference in state.parsed.references:
            if reference.sheet is None:
                sheet_id = state.sheet_id
            else:
                try:
                    sheet_id = self.workbook.sheet(reference.sheet).id
                except WorkbookError:
                    continue
            yield sheet_id, reference.top, reference.left, reference.bottom, reference.right

    def _reads_sheet(self, state, sheet_name):
        return state.parsed is not None and any(
            r.sheet is not None and r.sheet.lower() == sheet_name.lower() for r in state.parsed.references
        )

    def _is_circular(self, state):
        """Whether following what the formula reads (through other formulas and their arrays) leads back to it."""
        seen = set()
        pending = [state]
        while pending:
            current = pending.pop()
            for sheet_id, top, left, bottom, right in self._resolved_references(current):
                sheet = self.workbook.sheet_by_id(sheet_id)
                if sheet is None:
                    continue
                origins = [key for key, _ in sheet.cells_within(top, left, bottom, right)]
                origins += [key for key, _ in sheet.spills_within(top, left, bottom, right)]
                for row, column in origins:
                    origin = (sheet_id, row, column)
                    if origin == state.key:
                        return True
                    if origin not in seen and origin in self._formulas:
                        seen.add(origin)
                        pending.append(self._formulas[origin])
        return False

    # -- events ------------------------------------------------------------------

    def _fire(self, event, sheet, args):
        if not self.workbook.events_enabled or not self.kernel_ready:
            return
        for registration in self.events.matching(event, sheet):
            request_id = self._new_request_id("event")
            wire_args = [to_wire(args, self.bridge.register)]
            if registration.by_code:
                label = f"{event} handler {registration.callable_id} ({sheet.name})"
                self._send({"type": "python_function_call", "callable_id": registration.callable_id,
                            "args": wire_args, "request_id": request_id, "workbook_id": self.workbook_id})
            else:
                label = f"{event} handler {registration.module_name}.{registration.function_name} ({sheet.name})"
                self._send({"type": "event_execution", "module_name": registration.module_name,
                            "function_name": registration.function_name, "request_id": request_id,
                            "workbook_id": self.workbook_id, "args": wire_args, "object_name": sheet.name,
                            "event_type": event, "object_type": "Worksheet"})
            self._handler_requests[request_id] = label
            self._notify({"type": "addin_request", "request_id": request_id, "label": label})

    # -- pages ------------------------------------------------------------------

    def state(self):
        snapshot = self.workbook.snapshot()
        snapshot["events"] = self.events.to_json(self.workbook)
        return snapshot

    def _changed(self):
        """Tells the pages what changed, once per turn of the event loop."""
        if self._flush_scheduled:
            return
        self._flush_scheduled = True
        try:
            asyncio.get_running_loop().call_soon(self._flush)
        except RuntimeError:  # no loop (direct use in tests): tell them now
            self._flush()

    def _flush(self):
        self._flush_scheduled = False
        changes, structure = self.workbook.take_changes()
        if structure:
            snapshot = self.workbook.snapshot()
            self._notify({"type": "workbook_structure", "sheets": [s["name"] for s in snapshot["sheets"]],
                          "active": snapshot["active"], "selection": snapshot["selection"]})
        if changes:
            self._notify({"type": "cells_updated", "sheets": changes})

    def _new_request_id(self, kind):
        return f"addin-{kind}-{next(self._ids)}-{uuid.uuid4().hex[:8]}"


class _CellError(Exception):
    def __init__(self, error, detail):
        super().__init__(detail)
        self.error, self.detail = error, detail


def _cell_value(value):
    """A formula result as cells hold it: scalars, or rows of scalars."""
    if isinstance(value, list):
        return [_cell_value(item) if not isinstance(item, list) else [_scalar(x) for x in item] for item in value]
    return _scalar(value)


def _scalar(value):
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, ApiObject):
        return f"[{value.type_name}]"
    if isinstance(value, PythonFunction):
        return "[Python function]"
    if isinstance(value, bytes):
        return f"<{len(value)} bytes>"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k}: {_scalar(v)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(str(_scalar(v)) for v in value) + "]"
    return str(value)


def _last_line(error):
    """The last line of a traceback text: the exception and its message."""
    if isinstance(error, dict):
        return f"{error.get('type')}: {error.get('message')}"
    if not isinstance(error, str) or not error.strip():
        return "unknown error"
    return error.strip().splitlines()[-1]

