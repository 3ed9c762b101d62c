"""Test helpers for the object bridge: a stand-in add-in answering requests
from its own thread, and fixtures that attach it to `tarvex.messaging`."""

import gc
import queue
import threading

import pytest

from tarvex_master.python_server.tarvex import vantrel


def ok(result=None):
    """A successful answer carrying `result` (a wire value)."""
    return {"ok": True, "result": result if result is not None else {"type": "Null", "value": None, "isSpec": False}}


class AddIn:
    """Answers each request on its own thread through `channel.on_message`.

    `answer(request)` returns the response fields (without "requestId") or
    None to leave the request unanswered. Every request is recorded.
    """

    def __init__(self, channel, answer=None):
        self.channel = channel
        self.answer = answer or (lambda request: ok())
        self.requests = []
        self._inbox = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._serve, name="addin", daemon=True)
        self._thread.start()

    def _serve(self):
        while (request := self._inbox.get()) is not None:
            self.requests.append(request)
            fields = self.answer(request)
            if fields is not None:
                self.channel.on_message({"requestId": request["requestId"], **fields})

    def deliver(self, request):
        self._inbox.put(request)

    def stop(self):
        self._inbox.put(None)
        self._thread.join()

    def without_releases(self):
        """Requests other than DEL (releases of proxies dropped elsewhere)."""
        return [r for r in self.requests if r.get("method") != "DEL"]


def _restore(channel):
    channel.set_send_handler(None)
    vars(channel).pop("send_request_sync", None)


@pytest.fixture
def addin():
    """`tarvex.messaging` wired to an AddIn that answers every request."""
    gc.collect()  # proxies left over by earlier tests release themselves now
    channel = vantrel.messaging
    server = AddIn(channel)
    channel.set_send_handler(server.deliver)
    yield server
    _restore(channel)
    server.stop()


class Recorder:
    """Stands in for the kernel's send_request_sync: records each request and
    returns `respond(request)` (a response dict) directly."""

    def __init__(self, respond):
        self.respond = respond
        self.requests = []

    def __call__(self, req, timeout=30.0):
        self.requests.append(req)
        return self.respond(req)

    def without_releases(self):
        return [r for r in self.requests if r.get("method") != "DEL"]


@pytest.fixture
def kernel_send():
    """Installs a Recorder as `messaging.send_request_sync`, as the kernel does."""
    gc.collect()
    channel = vantrel.messaging
    recorder = Recorder(lambda req: ok())
    channel.send_request_sync = recorder
    yield recorder
    _restore(channel)
