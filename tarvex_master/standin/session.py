"""One workbook in the stand-in: its kernel, its modules, its simulated add-in and its pages.

The pages (the code editor) and the kernel never talk directly: the
session relays the page's requests to the kernel and everything the
kernel says to every page, keeps the workbook's modules (sending them to
each new kernel, and again when the kernel asks for one), and lets the
simulated add-in answer the kernel's workbook requests.
"""

import asyncio
import json
import logging
import re

import websockets

from .a1 import AddressError, parse_range
from .addin import WorkbookAddin
from .kernel_link import KernelLink
from .workbook import WorkbookError

log = logging.getLogger("tarvex_master.standin.session")

# Requests a page may send on to the kernel as they are.
PAGE_TO_KERNEL = frozenset({
    "execution_request", "run_module", "interrupt_request", "reset_namespace", "get_object_registry", "set_hover_mode",
    "completion_request", "signature_help_request", "hover_request", "diagnostic_request",
    "debug_continue", "debug_step_over", "debug_step_into", "debug_step_out", "debug_stop",
    "debug_evaluate", "debug_update_breakpoints",
    "add_path", "remove_path", "reset_path", "set_package_paths", "set_python_paths", "unload_and_clear_paths",
})
# Kernel messages the pages have no use for: the add-in handles them.
NOT_FOR_PAGES = frozenset({"sys_request", "request_module_sync", "streaming_function_result"})
# Replies whose value the add-in puts into cells: the pages get the cells, and
# the reply without its "result" (a table's value would cost them seconds to read).
RESULT_FOR_CELLS = frozenset({"execution_result", "function_execution_result"})

MODULE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# A page that falls this far behind (a frozen tab) is let go rather than
# letting its backlog grow without bound.
PAGE_BACKLOG_LIMIT = 20000


class PageChannel:
    """One page's connection, with its own queue so that a slow page holds up no one."""

    def __init__(self, websocket):
        self.websocket = websocket
        self._queue = asyncio.Queue()
        self._writer = asyncio.create_task(self._write())

    def send(self, text):
        if self._queue.qsize() >= PAGE_BACKLOG_LIMIT:
            log.warning("A page fell %d messages behind; closing it", PAGE_BACKLOG_LIMIT)
            self._writer.cancel()
            asyncio.ensure_future(self.websocket.close(1008, "the page fell too far behind"))
            return
        self._queue.put_nowait(text)

    async def _write(self):
        try:
            while True:
                text = await self._queue.get()
                await self.websocket.send(text)
        except websockets.ConnectionClosed:
            pass

    def stop(self):
        self._writer.cancel()

    async def close(self, code, reason):
        self._writer.cancel()
        try:
            await self.websocket.close(code, reason)
        except websockets.ConnectionClosed:
            pass


class WorkbookSession:
    def __init__(self, workbook_id, port, log_level="warning", launch_kernel=True):
        self.workbook_id = workbook_id
        self.launch_kernel = launch_kernel
        self.modules = {}  # module name -> saved source
        self.pages = {}  # page websocket -> PageChannel
        self.listeners = []  # callables given every message the pages get (a terminal, tests)
        self.status, self.status_detail = "stopped", ""
        self.link = KernelLink(workbook_id, port, self._on_kernel_message, log_level)
        self.addin = WorkbookAddin(workbook_id, self._queue_for_kernel, self.broadcast, self.modules.get)
        self._outbox = asyncio.Queue()
        self._writer = asyncio.create_task(self._write_to_kernel(), name=f"kernel writer {workbook_id}")
        self._watcher = None
        self._retired = None  # the process a restart is shutting down
        self._closing = False
        self._start_lock = asyncio.Lock()
        self._tasks = set()

    # -- the kernel ------------------------------------------------------------

    async def ensure_kernel(self):
        """Starts a kernel process unless one runs or is connected."""
        if not self.launch_kernel or self._closing:
            return
        async with self._start_lock:
            if self.link.process_running or self.link.websocket is not None:
                return
            self._set_status("starting", "Starting the kernel process.")
            try:
                process = await self.link.start_process()
            except OSError as e:
                self._set_status("exited", f"The kernel process could not start: {e}")
                return
            self._watcher = asyncio.create_task(self._watch(process), name=f"kernel process {self.workbook_id}")

    async def restart_kernel(self):
        self._set_status("starting", "Restarting the kernel.")
        self._retired = self.link.process  # its exit is the restart's doing, not news for the pages
        await self.link.shutdown()
        if self.link.websocket is None and not self.link.process_running:
            await self.ensure_kernel()

    async def _watch(self, process):
        code = await process.wait()
        if self._closing or process is not self.link.process or process is self._retired:
            return  # ending, or a kernel that a restart replaces
        if code == 0:
            self._set_status("exited", "The kernel process ended.")
        else:
            self._set_status("exited", f"The kernel process exited with status {code}; its reason is in the terminal.")

    async def attach_kernel(self, websocket):
        """Serves the kernel's connection until it closes."""
        if self.link.websocket is not None:
            await websocket.close(1008, "a kernel is already connected for this workbook")
            return
        self.link.websocket = websocket  # taken at once, so a second kernel is refused
        log.info("Kernel connected for workbook '%s'", self.workbook_id)
        self._set_status("connected", "")
        for name, code in self.modules.items():
            self._queue_for_kernel({"type": "update_module", "module_name": name, "code": code})
        self._queue_for_kernel({"type": "get_object_registry"})
        self.addin.kernel_connected()
        try:
            await self.link.serve(websocket)
        finally:
            log.info("Kernel disconnected for workbook '%s'", self.workbook_id)
            self.addin.kernel_lost()
            if not self._closing and self.status == "connected":
                self._set_status("disconnected", "The kernel closed its connection.")

    def _queue_for_kernel(self, message):
        self._outbox.put_nowait(message)

    def send_to_kernel(self, message):
        """Queues a message for the kernel; messages go out in the order queued."""
        self._queue_for_kernel(message)

    async def wait_connected(self, timeout=60.0):
        """Waits until the kernel connects (True), or its process ends or ``timeout`` passes first (False)."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while self.status != "connected":
            if self.status in ("exited", "disconnected") or loop.time() > deadline:
                return False
            await asyncio.sleep(0.05)
        return True

    async def _write_to_kernel(self):
        """Sends queued messages to the kernel in order; drops them while no kernel is connected."""
        while True:
            message = await self._outbox.get()
            if self.link.websocket is None:
                log.debug("No kernel for '%s'; dropped %s", self.workbook_id, message.get("type"))
                continue
            try:
                await self.link.send(message)
            except (ConnectionError, websockets.ConnectionClosed):
                log.debug("Kernel connection closed; dropped %s", message.get("type"))

    async def _on_kernel_message(self, message):
        kind = message.get("type")
        if kind == "sys_request":
            self._spawn(self._answer_sys_request(message))
            return
        if kind == "request_module_sync":
            self._sync_module(message.get("module_name"))
            return
        if kind == "set_enable_events":
            self.addin.set_events_enabled(message.get("enable"))
        for_pages = message
        if kind in RESULT_FOR_CELLS and "result" in message and self.addin.owns_request(message.get("request_id")):
            for_pages = {key: value for key, value in message.items() if key != "result"}
        self.addin.handle_kernel_message(message)
        if kind not in NOT_FOR_PAGES:
            self.broadcast(for_pages)

    async def _answer_sys_request(self, message):
        payload = message.get("payload")
        if not payload:
            payload = message  # the fields may stand at the top level
        if not isinstance(payload, dict):
            log.warning("Dropped a sys_request whose payload is not an object")
            return
        response = await self.addin.answer_sys_request(payload)
        self._queue_for_kernel({"type": "sys_response", "payload": response})

    def _sync_module(self, name):
        if isinstance(name, str) and name in self.modules:
            self._queue_for_kernel({"type": "update_module", "module_name": name, "code": self.modules[name]})
        else:
            self.broadcast({"type": "addin_log", "level": "warning",
                            "text": f"The kernel asked for module {name!r}, which this workbook does not have."})

    # -- pages -------------------------------------------------------------------

    async def attach_page(self, websocket):
        """Serves one page until it closes."""
        channel = self.pages[websocket] = PageChannel(websocket)
        try:
            channel.send(json.dumps(self.page_state()))
            await self.ensure_kernel()
            if self.status == "connected":
                self._queue_for_kernel({"type": "get_object_registry"})
            async for frame in websocket:
                await self._on_page_frame(websocket, frame)
        except websockets.ConnectionClosed:
            pass
        finally:
            self.pages.pop(websocket, None)
            channel.stop()

    def page_state(self):
        return {
            "type": "standin_state",
            "workbook_id": self.workbook_id,
            "modules": self.modules,
            "workbook": self.addin.state(),
            "kernel": {"status": self.status, "detail": self.status_detail},
        }

    async def _on_page_frame(self, page, frame):
        try:
            message = json.loads(frame)
        except (json.JSONDecodeError, TypeError):
            await self._page_error(page, None, "The page sent something that is not JSON text.")
            return
        if not isinstance(message, dict) or not isinstance(message.get("type"), str):
            await self._page_error(page, None, "Every message needs a \"type\".")
            return
        try:
            await self._on_page_message(page, message)
        except WorkbookError as e:
            await self._page_error(page, message.get("request_id"), str(e))

    async def _on_page_message(self, page, message):
        kind = message["type"]
        if kind in PAGE_TO_KERNEL:
            if self.link.websocket is None:
                await self._page_error(page, message.get("request_id"), "The kernel is not connected.", kind)
                return
            message["workbook_id"] = self.workbook_id
            if kind in ("execution_request", "run_module"):
                message.setdefault("source", "ide")
            self._queue_for_kernel(message)
        elif kind == "update_module":
            self._save_module(page, message.get("module_name"), message.get("code"))
        elif kind == "delete_module":
            self._delete_module(page, message.get("module_name"))
        elif kind == "set_cell":
            self.addin.enter_cell(message.get("sheet"), message.get("address"), message.get("text"))
        elif kind == "select":
            sheet, bounds = self._sheet_and_bounds(message)
            self.addin.select(sheet, bounds)
        elif kind == "activate_sheet":
            self.addin.activate_sheet(self.addin.workbook.sheet(message.get("sheet")))
        elif kind == "add_sheet":
            self.addin.add_sheet()
        elif kind == "recalculate":
            self.addin.recalculate_all()
        elif kind == "set_events_enabled":
            self.addin.set_events_enabled(message.get("enabled"))
        elif kind == "register_event":
            self.addin.register_handler(message.get("event"), message.get("sheet"),
                                        message.get("module_name"), message.get("function_name"))
        elif kind == "unregister_event":
            self.addin.unregister_handler(message.get("id"))
        elif kind == "restart_kernel":
            await self.restart_kernel()
        else:
            await self._page_error(page, message.get("request_id"), f"Unknown request type {kind!r}.")

    def _sheet_and_bounds(self, message):
        sheet = self.addin.workbook.sheet(message.get("sheet"))
        try:
            _, top, left, bottom, right = parse_range(message.get("address"))
        except AddressError as e:
            raise WorkbookError(str(e)) from None
        return sheet, (top, left, bottom, right)

    def _save_module(self, page, name, code):
        if not isinstance(name, str) or not MODULE_NAME.fullmatch(name):
            raise WorkbookError(f"{name!r} is not a module name: use letters, digits and _ (not first).")
        if not isinstance(code, str):
            raise WorkbookError("A module's code is text.")
        self.modules[name] = code
        self._queue_for_kernel({"type": "update_module", "module_name": name, "code": code,
                                "workbook_id": self.workbook_id})
        self.broadcast({"type": "module_saved", "module_name": name, "code": code}, exclude=page)
        self.addin.module_saved(name)

    def _delete_module(self, page, name):
        if not isinstance(name, str) or name not in self.modules:
            raise WorkbookError(f"There is no module {name!r}.")
        del self.modules[name]
        self._queue_for_kernel({"type": "delete_module", "module_name": name, "workbook_id": self.workbook_id})
        self.broadcast({"type": "module_removed", "module_name": name}, exclude=page)
        self.addin.module_saved(name)

    async def _page_error(self, page, request_id, text, request_type=None):
        channel = self.pages.get(page)
        if channel is not None:
            channel.send(json.dumps({"type": "standin_error", "request_id": request_id,
                                     "request_type": request_type, "message": text}))

    def broadcast(self, message, exclude=None):
        """Sends a message to every page (but ``exclude``) and every listener."""
        for listener in self.listeners:
            listener(message)
        if not self.pages:
            return
        text = json.dumps(message)
        for websocket, channel in list(self.pages.items()):
            if websocket is not exclude:
                channel.send(text)

    def _set_status(self, status, detail):
        self.status, self.status_detail = status, detail
        self.broadcast({"type": "kernel_status", "status": status, "detail": detail})

    def _spawn(self, coroutine):
        task = asyncio.create_task(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    # -- the end -----------------------------------------------------------------

    async def close(self):
        """Stops the kernel (shutdown, then waiting for its process) and the session's tasks."""
        self._closing = True
        await self.link.shutdown()
        for channel in list(self.pages.values()):
            await channel.close(1001, "the stand-in is shutting down")
        for task in [self._writer, self._watcher, *self._tasks]:
            if task is not None:
                task.cancel()
        await asyncio.gather(*[t for t in [self._writer, self._watcher, *self._tasks] if t], return_exceptions=True)
