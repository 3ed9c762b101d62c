"""The Business Layer stand-in: one local server for kernels, pages and the page's files.

    http://127.0.0.1:PORT/?token=T        the code editor page (and its files)
    ws://127.0.0.1:PORT/ws/ide?token=T    the page's connection (workbook=ID picks a workbook)
    ws://127.0.0.1:PORT/ws/kernel/ID      where the kernel for workbook ID connects
"""

import asyncio
import http
import logging
import os
import re
from urllib.parse import parse_qs, quote, urlsplit

import websockets
from websockets.asyncio.server import serve

from .access import Access, new_token
from .kernel_link import KERNEL_PATH_PREFIX
from .session import WorkbookSession
from .static_files import StaticFiles, plain_response

log = logging.getLogger("tarvex_master.standin.business_layer")

PAGE_PATH = "/ws/ide"
WEB_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web")
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MONACO_ROOT = os.path.join(REPO_ROOT, "node_modules", "monaco-editor", "min")
WORKBOOK_ID = re.compile(r"[A-Za-z0-9_.-]{1,100}")
MAX_FRAME = 64 * 1024 * 1024  # modules and cell data from the page; the kernel chunks at 64 KiB


class BusinessLayer:
    def __init__(self, port=8000, workbook_id="demo-workbook", log_level="warning", launch_kernels=True,
                 token=None, monaco_root=MONACO_ROOT):
        self.requested_port = port
        self.port = None
        self.default_workbook = workbook_id
        self.log_level = log_level
        self.launch_kernels = launch_kernels
        self.token = token or new_token()
        self.monaco_root = monaco_root
        self.sessions = {}
        self.access = None
        self._server = None
        self._files = StaticFiles({"/": (WEB_ROOT, 0), "/monaco/": (monaco_root, 3600)})

    @property
    def monaco_installed(self):
        return os.path.isfile(os.path.join(self.monaco_root, "vs", "loader.js"))

    @property
    def url(self):
        query = f"token={quote(self.token)}"
        return f"http://127.0.0.1:{self.port}/?{query}"

    async def start(self):
        self._server = await serve(
            self._connection, "127.0.0.1", self.requested_port,
            process_request=self._http_request, max_size=MAX_FRAME,
        )
        self.port = self._server.sockets[0].getsockname()[1]
        self.access = Access(self.port, self.token)
        return self

    def session(self, workbook_id):
        found = self.sessions.get(workbook_id)
        if found is None:
            found = self.sessions[workbook_id] = WorkbookSession(
                workbook_id, self.port, self.log_level, launch_kernel=self.launch_kernels
            )
        return found

    async def close(self):
        """Shuts every kernel down (waiting for its process), then the server."""
        await asyncio.gather(*(session.close() for session in self.sessions.values()), return_exceptions=True)
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.close()

    # -- HTTP ------------------------------------------------------------------

    def _http_request(self, connection, request):
        if not self.access.host_allowed(request.headers.get("Host")):
            return plain_response(http.HTTPStatus.FORBIDDEN, "Use the address the stand-in printed.\n")
        path = urlsplit(request.path).path
        if path == PAGE_PATH or path.startswith(KERNEL_PATH_PREFIX):
            return None  # a WebSocket connection
        return self._files.response(path)

    # -- WebSocket ---------------------------------------------------------------

    async def _connection(self, websocket):
        target = urlsplit(websocket.request.path)
        origin = websocket.request.headers.get("Origin")
        if target.path.startswith(KERNEL_PATH_PREFIX):
            workbook_id = target.path[len(KERNEL_PATH_PREFIX):]
            refusal = self.access.kernel_refusal(origin)
            if refusal is None and not WORKBOOK_ID.fullmatch(workbook_id):
                refusal = "a workbook id is 1 to 100 letters, digits, '.', '_' or '-'"
            if refusal:
                log.warning("Refused a kernel connection for %r: %s", workbook_id, refusal)
                await websocket.close(1008, refusal)
                return
            await self.session(workbook_id).attach_kernel(websocket)
            return
        refusal = self.access.page_refusal(websocket.request.path, origin)
        workbook_id = parse_qs(target.query).get("workbook", [self.default_workbook])[0]
        if refusal is None and not WORKBOOK_ID.fullmatch(workbook_id):
            refusal = "a workbook id is 1 to 100 letters, digits, '.', '_' or '-'"
        if refusal:
            log.warning("Refused a page connection (Origin %s): %s", origin, refusal)
            await websocket.close(1008, refusal)
            return
        try:
            await self.session(workbook_id).attach_page(websocket)
        except websockets.ConnectionClosed:
            pass
