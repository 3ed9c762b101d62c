"""A Business Layer for the kernel tests: a real websockets server on
127.0.0.1, run on its own thread, and a real kernel process connected to it.

Tests talk to it synchronously: send() a message, then expect() the kernel's
answers. Waits are bounded by generous timeouts (for a hung kernel), never
used to assert speed.
"""

import asyncio
import json
import os
import pathlib
import queue
import subprocess
import sys
import threading
import time

import websockets

CHILD = pathlib.Path(__file__).resolve().parent / "kernel_child.py"
# Under AddressSanitizer a process's resident size also holds the quarantine
# of freed memory (256 MiB), filled at a pace that says nothing of leaks:
# memory bounds are checked in the plain build.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
WAIT = 30.0


def joined_output(messages):
    """The messages with each run of consecutive output messages of one stream and request made one.

    Writes that wait together leave the kernel as one message, so only the
    text of the output and its order are fixed, not where messages end.
    """
    joined = []
    for message in messages:
        last = joined[-1] if joined else None
        if (last is not None and message.get("type") in ("stdout", "stderr")
                and {k: v for k, v in message.items() if k != "content"}
                == {k: v for k, v in last.items() if k != "content"}):
            joined[-1] = {**last, "content": last["content"] + message["content"]}
        else:
            joined.append(message)
    return joined


class KernelGone(AssertionError):
    pass


class BusinessLayer:
    def __init__(self, workbook_id="wb-test", log_level="debug", prelude=None, max_size=None):
        self.workbook_id = workbook_id
        self.frames = queue.Queue()  # raw text frames from the kernel, then None at close
        self.log_lines = []
        self.stdout_lines = []
        self.path = None
        self._connection = None
        self._reading = None  # set: frames are read as they come; cleared: the peer stops reading
        self._connected = threading.Event()
        self._closed = threading.Event()
        self._chunks = {}
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._thread.start()
        async def start_server():
            return await websockets.serve(self._serve, "127.0.0.1", 0, max_size=max_size)

        self._server = self._call(start_server())
        self.port = self._server.sockets[0].getsockname()[1]
        env = dict(os.environ)
        if prelude:
            env["KERNEL_TEST_PRELUDE"] = prelude
        self.process = subprocess.Popen(
            [sys.executable, str(CHILD), workbook_id, str(self.port), log_level],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        )
        self._readers = [
            threading.Thread(target=self._read, args=(self.process.stderr, self.log_lines), daemon=True),
            threading.Thread(target=self._read, args=(self.process.stdout, self.stdout_lines), daemon=True),
        ]
        for reader in self._readers:
            reader.start()
        if not self._connected.wait(WAIT):
            self.close()
            raise KernelGone("the kernel did not connect:\n" + "\n".join(self.log_lines[-30:]))

    # --- server side ---

    def _call(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(WAIT)

    async def _serve(self, websocket):
        self._connection = websocket
        self.path = websocket.request.path
        self._reading = asyncio.Event()
        self._reading.set()
        self._connected.set()
        try:
            async for frame in websocket:
                self.frames.put(frame)
                await self._reading.wait()
        except websockets.ConnectionClosed:
            pass
        finally:
            self.frames.put(None)
            self._closed.set()

    @staticmethod
    def _read(stream, lines):
        for line in stream:
            lines.append(line.rstrip("\n"))

    # --- what tests use ---

    def send(self, message):
        self.send_raw(json.dumps(message))

    def send_raw(self, text):
        self._call(self._connection.send(text))

    def pause_reading(self):
        """Stops reading frames after the next one, as a slow peer does (the socket then fills up)."""
        self._loop.call_soon_threadsafe(self._reading.clear)

    def resume_reading(self):
        self._loop.call_soon_threadsafe(self._reading.set)

    def memory_kib(self, field="VmRSS"):
        """The kernel process's VmRSS (or VmHWM, its peak) in KiB."""
        with open(f"/proc/{self.process.pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    def close_connection(self):
        self._call(self._connection.close())

    def frame(self, timeout=WAIT):
        """The next raw frame (text), or KernelGone when the connection ended."""
        try:
            frame = self.frames.get(timeout=timeout)
        except queue.Empty:
            raise KernelGone(f"no message within {timeout} s" + self._log_tail()) from None
        if frame is None:
            self.frames.put(None)
            raise KernelGone("the kernel closed the connection" + self._log_tail())
        return frame

    def _log_tail(self, count=25):
        lines = [line for line in self.log_lines if "[TIMING]" not in line]
        return "\nkernel log:\n" + "\n".join(lines[-count:])

    def recv(self, timeout=WAIT):
        """The next message, chunked messages put back together."""
        while True:
            message = json.loads(self.frame(timeout))
            if not (isinstance(message, dict) and message.get("type") == "chunk"):
                return message
            pieces = self._chunks.setdefault(message["chunk_id"], {})
            pieces[message["chunk_index"]] = message["data"]
            if len(pieces) == message["total_chunks"]:
                del self._chunks[message["chunk_id"]]
                return json.loads("".join(pieces[i] for i in range(message["total_chunks"])))

    def until(self, predicate, timeout=WAIT):
        """Messages received up to and including the first that matches."""
        seen = []
        deadline = time.monotonic() + timeout
        while True:
            message = self.recv(max(0.1, deadline - time.monotonic()))
            seen.append(message)
            if predicate(message):
                return seen

    def expect(self, type_, timeout=WAIT, **fields):
        """The first message of `type_` (and with `fields`), skipping others."""
        def matches(m):
            return m.get("type") == type_ and all(m.get(k) == v for k, v in fields.items())
        return self.until(matches, timeout)[-1]

    def request(self, message, reply_type, **fields):
        self.send(message)
        return self.expect(reply_type, **fields)

    def execute(self, code, request_id, **extra):
        """Runs code; returns (messages of the request, final reply)."""
        self.send({"type": "execution_request", "code": code, "request_id": request_id, **extra})
        seen = self.until(lambda m: m.get("type") in ("execution_result", "execution_error")
                          and m.get("request_id") == request_id)
        mine = [m for m in seen if m.get("request_id") == request_id]
        return mine, mine[-1]

    def no_message(self, timeout=0.5):
        """True when nothing arrives within `timeout` (used only to show absence)."""
        try:
            self.frames.put(self.frames.get(timeout=timeout))
        except queue.Empty:
            return True
        return False

    def logs_matching(self, text, since=0):
        return [line for line in self.log_lines[since:] if text in line]

    def log_mark(self):
        """Where the log stands: wait_for_log(text, since=mark) looks only at the lines after it, for a
        line that an earlier test of the same kernel may have logged too."""
        return len(self.log_lines)

    def wait_for_log(self, text, timeout=WAIT, since=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.logs_matching(text, since)
            if found:
                return found
            time.sleep(0.02)
        raise AssertionError(f"no log line with {text!r}; last lines:\n" + "\n".join(self.log_lines[-30:]))

    def wait_closed(self, timeout=WAIT):
        return self._closed.wait(timeout)

    def wait_exit(self, timeout=WAIT):
        code = self.process.wait(timeout)
        for reader in self._readers:
            reader.join(timeout)
        return code

    def close(self):
        if self.process.poll() is None:
            try:
                if self._connection is not None and not self._closed.is_set():
                    self.send({"type": "shutdown"})
                self.process.wait(10)
            except Exception:
                self.process.kill()
                self.process.wait()
        for reader in self._readers:
            reader.join(5)
        self._server.close()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)
