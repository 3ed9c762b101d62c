"""The request channel: Messaging."""

import concurrent.futures
import random
import re
import threading

import pytest

from tarvex_master.python_server.tarvex.vantrel import Messaging
from vantrel_addin import AddIn, ok

TIMEOUT_TEXT = "Timed out waiting for Office.js response"


@pytest.fixture
def channel():
    channel = Messaging()
    yield channel
    channel.set_send_handler(None)


@pytest.fixture
def served(channel):
    """A channel whose handler hands requests to an AddIn thread."""
    server = AddIn(channel)
    channel.set_send_handler(server.deliver)
    yield server
    server.stop()


def wait_until(predicate):
    event = threading.Event()
    while not predicate():
        event.wait(0.005)


def test_a_new_channel_has_its_attributes_in_order(channel):
    assert list(vars(channel)) == [
        "waiters", "_waiters_lock", "_guid", "_send_handler", "loop", "loop_thread",
        "_callable_registry", "_callable_lock", "_next_callable_id",
    ]
    assert re.fullmatch(r"[0-9a-f]{32}", channel._guid)
    assert (channel.waiters, channel._callable_registry, channel._next_callable_id) == ({}, {}, 1)
    assert Messaging()._guid != channel._guid


def test_without_handler_nothing_is_stored(channel):
    with pytest.raises(RuntimeError, match="^No send handler registered$"):
        channel.send_request_sync({"method": "GET"})
    assert channel.waiters == {}


def test_request_message_and_answer(channel, served):
    req = {"method": "GET", "requestId": "old", "name": "x"}
    answer = channel.send_request_sync(req)
    sent = served.requests[0]
    assert list(sent) == ["method", "requestId", "name", "kind"]
    assert re.fullmatch(r"[0-9a-f]{32}", sent["requestId"]) and sent["requestId"][12] == "4"
    assert sent["kind"] == "request" and sent["name"] == "x"
    assert req == {"method": "GET", "requestId": "old", "name": "x"}
    assert answer == {"requestId": sent["requestId"], **ok()}
    assert channel.waiters == {}


def test_the_response_object_itself_is_returned(channel):
    delivered = []

    def handler(message):
        response = {"requestId": message["requestId"], "ok": 1}
        delivered.append(response)
        threading.Thread(target=channel.on_message, args=(response,)).start()

    channel.set_send_handler(handler)
    assert channel.send_request_sync({}) is delivered[0]


@pytest.mark.parametrize(
    "fields, text",
    [
        ({"ok": False, "error": {"message": "Range not found"}}, "Range not found"),
        ({"ok": False}, "Remote error"),
        ({"ok": 0, "error": {}}, "Remote error"),
        ({"ok": None, "error": {"message": ""}}, "Remote error"),
        ({"ok": False, "error": "plain text"}, "plain text"),
        ({"ok": False, "error": None}, "Remote error"),
    ],
)
def test_error_responses_raise_runtime_error(channel, served, fields, text):
    served.answer = lambda request: fields
    with pytest.raises(RuntimeError) as info:
        channel.send_request_sync({"method": "GET"})
    assert str(info.value) == text
    assert channel.waiters == {}


def test_timeout_removes_the_waiter(channel, served):
    served.answer = lambda request: None
    with pytest.raises(TimeoutError) as info:
        channel.send_request_sync({"method": "GET"}, timeout=0.1)
    assert str(info.value) == TIMEOUT_TEXT
    assert channel.waiters == {}
    with pytest.raises(TimeoutError, match=TIMEOUT_TEXT):
        channel.send_request_sync({"method": "GET"}, 0)


def test_unknown_repeated_and_late_responses_are_ignored(channel, served):
    served.answer = lambda request: None
    with pytest.raises(TimeoutError):
        channel.send_request_sync({}, timeout=0.05)
    late_id = served.requests[-1]["requestId"]
    channel.on_message({"requestId": late_id, "ok": True})
    channel.on_message({"requestId": "unknown", "ok": True})
    channel.on_message({"ok": True})
    channel.on_message({"requestId": "", "ok": True})

    served.answer = lambda request: ok()
    channel.send_request_sync({})
    channel.on_message({"requestId": served.requests[-1]["requestId"], "ok": False})
    assert channel.waiters == {}


def test_a_release_is_sent_without_waiting_for_its_answer(channel, served):
    served.answer = lambda request: None
    assert channel.send_request_sync({"method": "DEL", "name": "__del__", "caller": 4}) is None
    assert channel.waiters == {}
    wait_until(lambda: served.requests)
    assert [(r["method"], r["caller"], r["kind"]) for r in served.requests] == [("DEL", 4, "request")]


@pytest.mark.parametrize(
    "failure, expected, text",
    [
        (TimeoutError("handler gave up"), TimeoutError, TIMEOUT_TEXT),
        (ValueError("cannot send"), ValueError, "cannot send"),
    ],
)
def test_handler_failures_reach_the_caller(channel, failure, expected, text):
    def handler(message):
        raise failure

    channel.set_send_handler(handler)
    with pytest.raises(expected) as info:
        channel.send_request_sync({})
    assert str(info.value) == text
    assert channel.waiters == {}


def test_reset_wakes_waiters_and_starts_a_generation(channel, served):
    served.answer = lambda request: None
    outcomes = []

    def wait():
        try:
            channel.send_request_sync({})
        except BaseException as exc:  # noqa: BLE001  (the outcome is the test)
            outcomes.append(type(exc))

    threads = [threading.Thread(target=wait) for _ in range(3)]
    for thread in threads:
        thread.start()
    wait_until(lambda: len(channel.waiters) == 3)
    loop, thread = object(), threading.current_thread()
    channel.loop, channel.loop_thread = loop, thread
    old_guid, old_id = channel._guid, channel.register_callable(print)
    channel.reset()
    for waiter in threads:
        waiter.join()
    assert outcomes == [concurrent.futures.CancelledError] * 3
    assert channel.waiters == {}
    assert channel._guid != old_guid and re.fullmatch(r"[0-9a-f]{32}", channel._guid)
    assert channel.get_callable(old_id) is None and channel._callable_registry == {}
    assert (channel.loop, channel.loop_thread, channel._send_handler) == (loop, thread, served.deliver)


def test_callable_ids_per_generation(channel):
    prefix = "pyfunc_" + channel._guid[:8] + "_"
    assert [channel.register_callable(f) for f in (print, len, print)] == [prefix + "1", prefix + "2", prefix + "3"]
    assert channel.get_callable(prefix + "3") is print
    channel.unregister_callable(prefix + "3")
    channel.unregister_callable("pyfunc_unknown_9")
    assert channel.get_callable(prefix + "3") is None
    channel.reset()
    assert channel.register_callable(len) == "pyfunc_" + channel._guid[:8] + "_1"
    assert channel.get_callable(prefix + "1") is None


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda c: c.register_callable(5), TypeError, "Object must be callable, got int"),
        (lambda c: c.get_callable(5), TypeError, "Argument 'callable_id' has incorrect type (expected str, got int)"),
        (lambda c: c.unregister_callable(None), TypeError,
         "Argument 'callable_id' has incorrect type (expected str, got NoneType)"),
        (lambda c: c.send_request_sync([]), TypeError, "Argument 'req' has incorrect type (expected dict, got list)"),
        (lambda c: c.on_message(None), TypeError, "Argument 'message' has incorrect type (expected dict, got NoneType)"),
        (lambda c: c.send_request_sync({}, timeout="soon"), ValueError, None),
    ],
)
def test_argument_checks(channel, call, error, text):
    with pytest.raises(error) as info:
        call(channel)
    if text is not None:
        assert str(info.value) == text


def test_ten_threads_with_shuffled_answers_each_get_their_own(channel):
    pending = []
    pending_lock = threading.Lock()

    def handler(message):
        with pending_lock:
            pending.append(message)

    channel.set_send_handler(handler)
    answers = {}

    def work(i):
        answers[i] = channel.send_request_sync({"i": i})["echo"]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(10)]
    for thread in threads:
        thread.start()
    wait_until(lambda: len(pending) == 10)
    random.shuffle(pending)
    for message in pending:
        channel.on_message({"requestId": message["requestId"], "ok": True, "echo": message["i"]})
    for thread in threads:
        thread.join()
    assert answers == {i: i for i in range(10)}
    assert channel.waiters == {}


def test_code_run_by_a_cancellation_can_use_the_channel(channel, served):
    # cancel() runs the future's callbacks (and whatever the collector
    # finalizes meanwhile, such as a proxy releasing itself): they must be
    # able to send on the channel that is being reset.
    served.answer = lambda request: None
    waiter = threading.Thread(target=lambda: pytest.raises(concurrent.futures.CancelledError,
                                                           channel.send_request_sync, {}), daemon=True)
    waiter.start()
    wait_until(lambda: len(channel.waiters) == 1)
    nested = []

    def on_cancel(future):
        served.answer = lambda request: ok()
        nested.append(channel.send_request_sync({"nested": True}))

    next(iter(channel.waiters.values())).add_done_callback(on_cancel)
    resetter = threading.Thread(target=channel.reset, daemon=True)
    resetter.start()
    resetter.join(30)
    waiter.join(30)
    assert not resetter.is_alive() and not waiter.is_alive()
    assert [answer["ok"] for answer in nested] == [True]
