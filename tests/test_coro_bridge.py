"""C++ coroutines driven by asyncio exactly like `async def` coroutines."""

import asyncio
import gc
import inspect
import tracemalloc

import pytest

import bridge_probe as bp


def done_future(value):
    fut = asyncio.get_running_loop().create_future()
    fut.set_result(value)
    return fut


class Probe:
    """An awaitable that yields once and returns what the loop sends back."""

    def __await__(self):
        return (yield self)


async def test_recognised_as_coroutine():
    coro = bp.await_one(done_future(1))
    assert asyncio.iscoroutine(coro)
    assert inspect.isawaitable(coro)
    assert coro.__name__ == "await_one" and coro.__qualname__ == "await_one"
    assert repr(coro).startswith("<coroutine object await_one at 0x")
    assert await coro == 1


def test_asyncio_run():
    assert asyncio.run(bp.await_one(asyncio.sleep(0.001, "slept"))) == "slept"


async def test_task_and_gather_of_many():
    tasks = [asyncio.create_task(bp.await_one(asyncio.sleep(0.001, i))) for i in range(1000)]
    assert await asyncio.gather(*tasks) == list(range(1000))
    assert "await_one" in repr(tasks[0])


async def test_await_sequence_and_nesting():
    assert await bp.await_all([done_future(1), asyncio.sleep(0, 2), bp.await_one(asyncio.sleep(0, 3))]) == [1, 2, 3]
    assert await bp.nested(200, asyncio.sleep(0.001, 0)) == 200


async def test_value_sent_by_the_driver_becomes_the_await_result():
    coro = bp.await_one(Probe())
    probe = coro.send(None)
    assert isinstance(probe, Probe)
    with pytest.raises(StopIteration) as stop:
        coro.send(("a", "tuple"))
    assert stop.value.value == ("a", "tuple")


async def test_python_exception_crosses_cpp_with_its_traceback():
    async def failing():
        await asyncio.sleep(0)
        raise KeyError("inner")

    with pytest.raises(KeyError) as info:
        await bp.await_one(failing())
    names = [entry.name for entry in info.traceback]
    assert "failing" in names
    assert await bp.catch_error(failing()) == ("KeyError", "'inner'")


@pytest.mark.parametrize(
    "make, exc_type, text",
    [
        (lambda: bp.raise_value_error("bad value"), ValueError, "bad value"),
        (lambda: bp.raise_after(asyncio.sleep(0), LookupError("raised by C++")), LookupError, "raised by C++"),
        (lambda: bp.raise_stop_iteration(), RuntimeError, "coroutine raised StopIteration"),
        (lambda: bp.await_one(42), TypeError, "'int' object can't be awaited"),
    ],
)
async def test_cpp_failures_become_python_exceptions(make, exc_type, text):
    with pytest.raises(exc_type, match=text):
        await make()


async def test_stop_iteration_is_chained_as_cause():
    with pytest.raises(RuntimeError) as info:
        await bp.raise_stop_iteration()
    assert isinstance(info.value.__cause__, StopIteration)


async def test_wait_for_timeout_unwinds_the_cpp_frame():
    log = []
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(bp.guarded(asyncio.sleep(10), log), 0.01)
    assert log == ["cleanup"]


@pytest.mark.parametrize("steps_before_cancel", [0, 1, 2, 3])
async def test_cancellation_at_every_await(steps_before_cancel):
    """Cancelled wherever it waits, the frame unwinds and releases its lock."""
    lock = asyncio.Lock()
    gates = [asyncio.Event() for _ in range(4)]
    log = []

    async def staged():
        for gate in gates:
            await gate.wait()

    task = asyncio.create_task(bp.with_lock(lock, staged(), log))
    for gate in gates[:steps_before_cancel]:
        await asyncio.sleep(0)
        gate.set()
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled()
    assert not lock.locked()
    assert log == ["in"]


async def test_cancellation_can_be_caught_inside_cpp():
    task = asyncio.create_task(bp.catch_error(asyncio.sleep(10)))
    await asyncio.sleep(0)
    task.cancel()
    assert await task == ("CancelledError", "")


async def test_async_with_serializes_holders():
    lock = asyncio.Lock()
    log = []
    first_gate, second_gate = asyncio.Event(), asyncio.Event()
    first = asyncio.create_task(bp.with_lock(lock, first_gate.wait(), log))
    second = asyncio.create_task(bp.with_lock(lock, second_gate.wait(), log))
    await asyncio.sleep(0.01)
    assert log == ["in"]
    first_gate.set()
    second_gate.set()
    await asyncio.gather(first, second)
    assert log == ["in", "out", "in", "out"]
    assert not lock.locked()


async def test_async_with_releases_on_error():
    lock = asyncio.Lock()

    async def boom():
        raise OSError("no")

    with pytest.raises(OSError):
        await bp.with_lock(lock, boom(), [])
    assert not lock.locked()


async def test_async_for():
    async def numbers():
        for i in range(5):
            await asyncio.sleep(0)
            yield i

    assert await bp.collect(numbers()) == [0, 1, 2, 3, 4]
    with pytest.raises(TypeError):
        await bp.collect([1, 2])


def test_throw_before_first_send_finishes_the_coroutine():
    coro = bp.await_one(Probe())
    with pytest.raises(KeyError):
        coro.throw(KeyError("early"))
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_throw_into_a_suspended_frame_reaches_the_awaitable_then_cpp():
    coro = bp.catch_error(Probe())
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(ValueError("thrown in"))
    assert stop.value.value == ("ValueError", "thrown in")


def test_send_rules():
    coro = bp.await_one(Probe())
    with pytest.raises(TypeError, match="just-started"):
        coro.send(1)
    coro.close()
    coro.close()  # closing twice is harmless


def test_close_runs_cleanup_and_detects_ignored_exit():
    log = []
    coro = bp.guarded(Probe(), log)
    coro.send(None)
    coro.close()
    assert log == ["cleanup"]
    stubborn = bp.ignore_generator_exit(Probe())
    stubborn.send(None)
    with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
        stubborn.close()
    with pytest.raises(ValueError):
        stubborn.throw(ValueError)  # ValueError is not caught: the frame finishes


def test_never_awaited_warns():
    with pytest.warns(RuntimeWarning, match="coroutine 'await_one' was never awaited"):
        bp.await_one(None)
        gc.collect()


def test_abandoned_suspended_coroutine_is_closed_when_released():
    log = []
    coro = bp.guarded(Probe(), log)
    coro.send(None)
    del coro
    assert log == ["cleanup"]


def test_coroutine_resurrected_by_its_close_stays_tracked():
    kept = []

    class Keeper:
        """Awaited for ever; closing it keeps the coroutine that awaits it."""

        def __await__(self):
            return self

        def __next__(self):
            return None

        def close(self):
            kept.extend(r for r in gc.get_referrers(self) if type(r).__name__ == "coroutine")

    coro = bp.await_one(Keeper())
    coro.send(None)
    del coro
    assert len(kept) == 1 and gc.is_tracked(kept[0])


async def test_no_leak_over_100k_awaits():
    fut = done_future("x")
    loop_probe = asyncio.sleep(0)
    await loop_probe

    async def round_trip():
        await bp.await_n(fut, 1000)
        for _ in range(100):
            await bp.await_one(bp.await_one(fut))
        await bp.catch_error(bp.raise_value_error("e"))

    await round_trip()
    gc.collect()
    tracemalloc.start()
    objects_before = len(gc.get_objects())
    before = tracemalloc.get_traced_memory()[0]
    await bp.await_n(fut, 100_000)
    for _ in range(100):
        await round_trip()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert len(gc.get_objects()) - objects_before < 50
    assert grown < 64 * 1024


@pytest.mark.parametrize(
    "value, optional, error",
    [
        ("8000", False, None),
        (None, True, None),
        (8000, False, "Argument 'port' has incorrect type (expected str, got int)"),
        (None, False, "Argument 'port' has incorrect type (expected str, got NoneType)"),
        (type("Sub", (str,), {})("8000"), False, "Argument 'port' has incorrect type (expected str, got Sub)"),
    ],
)
def test_exact_argument_typing(value, optional, error):
    if error is None:
        bp.require_str(value, "port", optional)
    else:
        with pytest.raises(TypeError) as info:
            bp.require_str(value, "port", optional)
        assert str(info.value) == error


async def test_typing_inside_a_coroutine_raises_when_awaited():
    assert await bp.typed("8000") == "8000"
    with pytest.raises(TypeError, match=r"expected str, got int"):
        await bp.typed(8000)
