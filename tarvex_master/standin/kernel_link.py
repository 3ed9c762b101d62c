"""The Business Layer's side of one kernel: process, connection and replies."""

import asyncio
import itertools
import json
import os
import sys
import uuid

import websockets

KERNEL_PATH_PREFIX = "/ws/kernel/"


class KernelLink:
    """Starts the kernel process for a workbook and talks to it.

    ``on_message`` is called with every message the kernel sends (chunked
    messages already put back together).
    """

    def __init__(self, workbook_id, port, on_message, log_level="info"):
        self.workbook_id = workbook_id
        self.port = port
        self.on_message = on_message
        self.log_level = log_level
        self.process = None
        self.websocket = None
        self.connected = asyncio.Event()
        self._chunks = {}
        self._ids = itertools.count(1)

    async def start_process(self):
        env = dict(os.environ)
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
        self.process = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "tarvex_master.launcher",
            "--workbook", self.workbook_id, "--port", str(self.port), "--log-level", self.log_level,
            env=env,
        )

    async def serve(self, websocket):
        """Runs one kernel connection until it closes."""
        self.websocket = websocket
        self.connected.set()
        try:
            async for frame in websocket:
                message = json.loads(frame)
                if isinstance(message, dict) and message.get("type") == "chunk":
                    message = self._reassemble(message)
                    if message is None:
                        continue
                await self.on_message(message)
        except websockets.ConnectionClosed:
            pass
        finally:
            self.websocket = None
            self.connected.clear()

    def _reassemble(self, chunk):
        pieces = self._chunks.setdefault(chunk["chunk_id"], {})
        pieces[chunk["chunk_index"]] = chunk["data"]
        if len(pieces) < chunk["total_chunks"]:
            return None
        del self._chunks[chunk["chunk_id"]]
        return json.loads("".join(pieces[i] for i in range(chunk["total_chunks"])))

    def new_request_id(self):
        return f"req-{next(self._ids)}-{uuid.uuid4().hex[:8]}"

    async def send(self, message):
        if self.websocket is None:
            raise ConnectionError("the kernel is not connected")
        await self.websocket.send(json.dumps(message))

    async def shutdown(self, timeout=5.0):
        """Asks the kernel to stop and waits for its process to exit."""
        if self.websocket is not None:
            try:
                await self.send({"type": "shutdown"})
            except (ConnectionError, websockets.ConnectionClosed):
                pass
        if self.process is not None and self.process.returncode is None:
            try:
                await asyncio.wait_for(self.process.wait(), timeout)
            except asyncio.TimeoutError:
                self.process.terminate()
                await self.process.wait()
