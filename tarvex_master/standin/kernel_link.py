"""The Business Layer's side of one kernel: its process and its connection."""

import asyncio
import itertools
import json
import logging
import os
import sys
import uuid

import websockets

from .chunking import CHUNK_TYPE, ChunkAssembler, ChunkError, frames_for

KERNEL_PATH_PREFIX = "/ws/kernel/"
SHUTDOWN_TIMEOUT = 5.0

log = logging.getLogger("tarvex_master.standin.kernel_link")


class KernelLink:
    """Starts the kernel process for a workbook and talks to it.

    ``on_message`` is called (and awaited) with every message the kernel
    sends, one at a time: chunked messages are put back together first and
    the messages of a "batch" are handed over one by one.
    """

    def __init__(self, workbook_id, port, on_message, log_level="info"):
        self.workbook_id = workbook_id
        self.port = port
        self.on_message = on_message
        self.log_level = log_level
        self.process = None
        self.websocket = None
        self.connected = asyncio.Event()
        self._chunks = ChunkAssembler()
        self._send_lock = asyncio.Lock()
        self._ids = itertools.count(1)

    @property
    def process_running(self):
        return self.process is not None and self.process.returncode is None

    async def start_process(self):
        """Starts ``python -m tarvex_master.launcher`` for this workbook."""
        env = dict(os.environ)
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
        self.process = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "tarvex_master.launcher",
            "--workbook", self.workbook_id, "--port", str(self.port), "--log-level", self.log_level,
            env=env, cwd=root,  # "-m" puts the working directory first on the path: make it ours
            # Ctrl-C in the terminal reaches the stand-in alone, which then shuts the kernel down in order.
            start_new_session=True,
        )
        return self.process

    async def serve(self, websocket):
        """Runs one kernel connection until it closes."""
        self.websocket = websocket
        self.connected.set()
        try:
            async for frame in websocket:
                for message in self._messages_in(frame):
                    await self.on_message(message)
        except websockets.ConnectionClosed:
            pass
        finally:
            self.websocket = None
            self.connected.clear()

    def _messages_in(self, frame):
        try:
            message = json.loads(frame)
        except (json.JSONDecodeError, TypeError):
            log.warning("Dropped a frame from the kernel that is not JSON text")
            return []
        if not isinstance(message, dict):
            log.warning("Dropped a frame from the kernel that is not a JSON object")
            return []
        if message.get("type") == CHUNK_TYPE:
            try:
                message = self._chunks.add(message)
            except ChunkError as e:
                log.warning("Dropped a chunk from the kernel: %s", e)
                return []
            if message is None:
                return []
        if message.get("type") == "batch":
            inner = message.get("messages")
            if not isinstance(inner, list):
                log.warning("Dropped a batch from the kernel without a list of messages")
                return []
            return [m for m in inner if isinstance(m, dict)]
        return [message]

    def new_request_id(self):
        return f"req-{next(self._ids)}-{uuid.uuid4().hex[:8]}"

    async def send(self, message):
        """Sends one message, in chunks when it is long; all its frames go out together."""
        websocket = self.websocket
        if websocket is None:
            raise ConnectionError("the kernel is not connected")
        frames = frames_for(message)
        async with self._send_lock:
            for frame in frames:
                await websocket.send(frame)

    async def shutdown(self, timeout=SHUTDOWN_TIMEOUT):
        """Asks the kernel to stop and waits for its process to exit (ending it after ``timeout``)."""
        if self.websocket is not None:
            try:
                await self.send({"type": "shutdown"})
            except (ConnectionError, websockets.ConnectionClosed):
                pass
        if self.process is not None and self.process.returncode is None:
            try:
                await asyncio.wait_for(self.process.wait(), timeout)
            except asyncio.TimeoutError:
                log.warning("The kernel for '%s' did not exit within %.0f s; ending it", self.workbook_id, timeout)
                self.process.terminate()
                try:
                    await asyncio.wait_for(self.process.wait(), timeout)
                except asyncio.TimeoutError:
                    self.process.kill()
                    await self.process.wait()
