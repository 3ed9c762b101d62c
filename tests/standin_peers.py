"""Peers of the Business Layer stand-in for its tests: a page and a kernel, both real WebSocket clients."""

import asyncio
import json

import websockets

WAIT_SECONDS = 10.0


def page_url(layer, token=None, workbook=None):
    url = f"ws://127.0.0.1:{layer.port}/ws/ide?token={token if token is not None else layer.token}"
    return url + (f"&workbook={workbook}" if workbook else "")


def kernel_url(layer, workbook="demo-workbook"):
    return f"ws://127.0.0.1:{layer.port}/ws/kernel/{workbook}"


class Peer:
    """A connection that keeps every JSON message it receives, for tests to wait on."""

    def __init__(self, websocket):
        self.ws = websocket
        self.received = []
        self._arrived = asyncio.Event()
        self._reader = asyncio.create_task(self._read())

    async def _read(self):
        try:
            async for frame in self.ws:
                self.received.append(json.loads(frame))
                self._arrived.set()
        except websockets.ConnectionClosed:
            pass
        finally:
            self._arrived.set()

    async def send(self, message):
        await self.ws.send(json.dumps(message))

    async def wait_for(self, predicate, timeout=WAIT_SECONDS, start=0):
        """The first received message (from index ``start``) for which ``predicate`` holds."""
        async def scan():
            seen = start
            while True:
                for message in self.received[seen:]:
                    if predicate(message):
                        return message
                seen = len(self.received)
                if self._reader.done():
                    raise AssertionError(f"connection closed; received {self.received!r}")
                self._arrived.clear()
                await self._arrived.wait()
        return await asyncio.wait_for(scan(), timeout)

    async def wait_type(self, kind, timeout=WAIT_SECONDS, **fields):
        return await self.wait_for(
            lambda m: m.get("type") == kind and all(m.get(k) == v for k, v in fields.items()), timeout
        )

    def of_type(self, kind):
        return [m for m in self.received if m.get("type") == kind]

    async def close(self):
        await self.ws.close()
        await self._reader


async def connect(url, **kwargs):
    return Peer(await websockets.connect(url, **kwargs))


async def closed_with(url, **kwargs):
    """(code, reason) with which the stand-in closes a connection it refuses."""
    async with websockets.connect(url, **kwargs) as ws:
        try:
            await asyncio.wait_for(ws.recv(), WAIT_SECONDS)
        except websockets.ConnectionClosed:
            pass
        return ws.close_code, ws.close_reason
