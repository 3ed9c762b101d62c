"""The kernel's parts that need no connection: module loader, paths, output
capture, code executor, error locations, chunk reassembly, object keeper,
message batcher."""

import asyncio
import gc
import io
import linecache
import logging
import sys
import threading
import traceback
import weakref

import pytest

from tarvex_master.python_server import kernel as k

TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append((record.levelname, record.getMessage()))


@pytest.fixture
def kernel_log():
    logger = logging.getLogger(k.__name__)
    records, level = Records(), logger.level
    logger.addHandler(records)
    logger.setLevel(logging.DEBUG)
    yield records.lines
    logger.removeHandler(records)
    logger.setLevel(level)


@pytest.fixture
def loader():
    names = []

    def update(name, code):
        names.append(name)
        k.in_memory_loader.update_module(name, code)

    yield update
    for name in names:
        k.in_memory_loader.delete_module(name)


# --- in-memory modules ---

def test_module_imports_reloads_and_shows_its_lines_in_tracebacks(loader):
    loader("vm_a", "X = 1\ndef f():\n    return 1 / 0\n")
    import vm_a
    assert vm_a.X == 1
    with pytest.raises(ZeroDivisionError) as info:
        vm_a.f()
    text = "".join(traceback.format_exception(info.value))
    assert 'File "<virtual:vm_a>", line 3, in f\n    return 1 / 0' in text
    loader("vm_a", "X = 2\r\n")
    assert "vm_a" not in sys.modules
    import vm_a as again
    assert again.X == 2
    assert linecache.cache["<virtual:vm_a>"] == (7, None, ["X = 2\n"], "<virtual:vm_a>")


def test_deleted_module_is_gone_everywhere(loader, kernel_log):
    loader("vm_b", "Y = 1\n")
    import vm_b  # noqa: F401
    k.in_memory_loader.delete_module("vm_b")
    assert [m for _, m in kernel_log if "'vm_b'" in m] == [
        "[InMemoryModuleLoader] Removed 'vm_b' from source_cache",
        "[InMemoryModuleLoader] Removed 'vm_b' from sys.modules",
        "[InMemoryModuleLoader] Removed 'vm_b' from linecache",
    ]
    with pytest.raises(ModuleNotFoundError):
        import vm_b  # noqa: F401,F811
    assert "<virtual:vm_b>" not in linecache.cache
    kernel_log.clear()
    k.in_memory_loader.delete_module("never_there")
    assert kernel_log == []


def test_failing_module_body_reaches_the_importer_unchained(loader, kernel_log):
    loader("vm_c", "A = 1\nraise KeyError('boom')\n")
    with pytest.raises(KeyError) as info:
        import vm_c  # noqa: F401
    e = info.value
    assert e.__cause__ is None and e.__suppress_context__
    frames = traceback.extract_tb(e.__traceback__)
    assert frames[-1].filename == "<virtual:vm_c>" and frames[-1].lineno == 2
    assert not any(f.filename.endswith(".so") or "kernel" in f.name for f in frames)
    assert ("ERROR", "[InMemoryModuleLoader] Error executing module 'vm_c': 'boom'") in kernel_log
    assert "vm_c" not in sys.modules


def test_in_memory_module_shadows_a_standard_module(loader):
    sys.modules.pop("colorsys", None)
    loader("colorsys", "SHADOW = True\n")
    import colorsys
    assert colorsys.SHADOW


def test_an_edited_submodule_leaves_its_package(loader, tmp_path, monkeypatch):
    (tmp_path / "vm_pkg").mkdir()
    (tmp_path / "vm_pkg" / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "vm_pkg", raising=False)
    loader("vm_pkg.mod", "RATE = 2\n")
    loader("vm_user", "from vm_pkg import mod\ndef rate():\n    return mod.RATE\n")
    import vm_pkg.mod  # noqa: F401  (loaded first: vm_user takes it from the package, importing nothing)
    import vm_user
    assert vm_user.rate() == 2
    loader("vm_pkg.mod", "RATE = 3\n")
    import vm_user as again
    assert again.rate() == 3
    sys.modules.pop("vm_pkg", None)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: k.in_memory_loader.find_spec(b"x", None), TYPE_ERROR.format("fullname", "str", "bytes")),
        (lambda: k.in_memory_loader.update_module("m", None), TYPE_ERROR.format("code", "str", "NoneType")),
        (lambda: k.in_memory_loader.delete_module(3), TYPE_ERROR.format("module_name", "str", "int")),
        (lambda: k.VirtualEnvironment(1), TYPE_ERROR.format("workbook_id", "str", "int")),
        (lambda: k.VirtualEnvironment("wb").add_path(None), TYPE_ERROR.format("path", "str", "NoneType")),
        (lambda: k.VirtualEnvironment("wb").remove_path(b"x"), TYPE_ERROR.format("path", "str", "bytes")),
        (lambda: setattr(k.VirtualEnvironment("wb"), "custom_paths", ("x",)),
         TYPE_ERROR.format("custom_paths", "list", "tuple")),
        (lambda: k.CodeExecutor().execute(1), TYPE_ERROR.format("code", "str", "int")),
        (lambda: k.MessageBatcher(None).enqueue([]), TYPE_ERROR.format("message", "dict", "list")),
    ],
)
def test_arguments_are_typed(call, expected):
    with pytest.raises(TypeError, match=expected.replace("(", r"\(").replace(")", r"\)")):
        call()


def test_loader_without_source_refuses_to_execute():
    module = type(sys)("not_cached")
    with pytest.raises(ImportError, match="No source code found for module 'not_cached'"):
        k.in_memory_loader.exec_module(module)
    assert k.in_memory_loader.find_spec("not_cached", None) is None


# --- import paths ---

@pytest.fixture
def saved_sys_path():
    saved = list(sys.path)
    yield
    sys.path[:] = saved


def test_virtual_environment_paths(saved_sys_path):
    env = k.VirtualEnvironment("wb")
    original = list(sys.path)
    assert env.workbook_id == "wb" and env.original_path == original and env.custom_paths == []
    env.add_path("/x/new")
    env.add_path("/x/new")
    assert sys.path[0] == "/x/new" and sys.path.count("/x/new") == 1 and env.custom_paths == ["/x/new"]
    env.add_path(original[-1])  # already present: recorded, not moved
    assert sys.path[-1] == original[-1] and env.get_paths() == ["/x/new", original[-1]]
    env.get_paths().append("/mutated")
    assert "/mutated" not in env.custom_paths
    env.remove_path(original[0])  # never added: untouched
    assert original[0] in sys.path
    path_object = sys.path
    env.reset_path()
    assert sys.path is path_object and sys.path == original and env.get_paths() == []


def test_replaced_custom_paths_are_the_ones_used(saved_sys_path):
    env = k.VirtualEnvironment("wb")
    replacement = ["/x/a", "/x/b"]
    sys.path.insert(0, "/x/a")
    env.custom_paths = replacement
    env.add_path("/x/b")  # recorded already: sys.path untouched
    env.remove_path("/x/a")
    assert env.custom_paths is replacement and env.get_paths() == ["/x/b"]
    assert "/x/a" not in sys.path and "/x/b" not in sys.path


# --- output capture ---

def test_stream_capture_forwards_each_write_and_keeps_the_text():
    seen = []
    capture = k.StreamCapture(on_write=seen.append)
    print("word", file=capture)
    assert seen == ["word", "\n"] and capture.getvalue() == "word\n"
    assert capture.write("") == 0 and seen == ["word", "\n"]
    assert (capture.readable(), capture.writable()) == (False, True)
    with pytest.raises(TypeError, match=r"Argument 'text' has incorrect type \(expected str, got bytes\)"):
        capture.write(b"x")


def test_failing_capture_callback_never_reaches_the_writer():
    def fail(text):
        raise ValueError("callback broke")

    capture = k.StreamCapture(on_write=fail)
    assert capture.write("abc") == 3 and capture.getvalue() == "abc"


@pytest.mark.parametrize("callback_fails", [False, True])
def test_kernel_stream_hook_echoes_and_sends(monkeypatch, callback_fails):
    console = io.StringIO()
    monkeypatch.setattr(sys, "stderr", console)
    sent = []

    def send(stream_type, text):
        if callback_fails:
            raise ConnectionError("socket gone")
        sent.append((stream_type, text))

    hook = k.KernelStreamHook("stderr", send)
    assert hook._original_stream is console
    assert hook.write("") == 0
    assert hook.write("hello") == 5
    if callback_fails:
        assert console.getvalue() == "hello[KernelStreamHook Error] socket gone\n" and sent == []
    else:
        assert console.getvalue() == "hello" and sent == [("stderr", "hello")]
    assert k.KernelStreamHook("stdout", None).write("x") == 1


def test_overlapping_runs_each_keep_their_own_output():
    """Two runs on two threads print while both are active; a third thread
    outside any run writes to the process stream."""
    executor = k.CodeExecutor()
    both_started = threading.Barrier(3)
    executor.globals["both_started"] = both_started
    outputs, outcomes = {}, {}
    outside = io.StringIO()
    saved = sys.stdout
    sys.stdout = outside
    try:
        def run(name):
            outputs[name] = []
            code = f"both_started.wait()\nfor i in range(200): print('{name}', i)\nboth_started.wait()"
            outcomes[name] = executor.execute(code, outputs[name].append)

        threads = [threading.Thread(target=run, args=(name,)) for name in ("alpha", "beta")]
        for t in threads:
            t.start()
        both_started.wait()
        print("outsider", file=sys.stdout)  # sys.stdout is one of the runs' captures now
        both_started.wait()
        for t in threads:
            t.join()
    finally:
        restored, sys.stdout = sys.stdout, saved
    assert restored is outside
    assert outside.getvalue() == "outsider\n"
    for name, other in (("alpha", "beta"), ("beta", "alpha")):
        text = outcomes[name]["stdout"]
        assert text == "".join(f"{name} {i}\n" for i in range(200))
        assert "".join(outputs[name]) == text and other not in text


# --- code execution ---

@pytest.mark.parametrize(
    "code, result, stdout",
    [
        ("1 + 1", 2, ""),
        ("x = 5", None, ""),
        ("x = 5; x * 2", 10, ""),
        ("x = 5; ", None, ""),
        ("for i in range(3): print(i); print(i * 10)", None, "0\n0\n1\n10\n2\n20\n"),
        ("print('word')", None, "word\n"),
        ("x = 1\nprint('a; b')", None, "a; b\n"),
        ("x = 1  # note; see below\nx + 1", None, ""),
    ],
)
def test_code_executor_outcomes(code, result, stdout):
    outcome = k.CodeExecutor().execute(code)
    assert list(outcome) == ["success", "stdout", "stderr", "error", "result"]
    assert outcome == {"success": True, "stdout": stdout, "stderr": "", "error": None, "result": result}


@pytest.mark.parametrize(
    "code, exc_type, message, file_name",
    [
        ("1/0", "ZeroDivisionError", "division by zero", '"<kernel>"'),
        ("def f(:\n  pass", "SyntaxError", None, '"<string>"'),
        ("import sys; sys.exit(3)", "SystemExit", "3", '"<kernel>"'),
        ("raise KeyError('k')", "KeyError", "'k'", '"<string>"'),
    ],
)
def test_code_executor_reports_errors(code, exc_type, message, file_name):
    outcome = k.CodeExecutor().execute(code)
    assert outcome["success"] is False and outcome["result"] is None
    error = outcome["error"]
    assert list(error) == ["type", "message", "traceback"] and error["type"] == exc_type
    if message is not None:
        assert error["message"] == message
    assert f"File {file_name}, line" in error["traceback"]


def test_awaiting_code_leaves_its_thread_without_an_event_loop():
    seen = {}

    def run():
        code = "import asyncio\nloop = asyncio.get_running_loop(); await asyncio.sleep(0); loop"
        seen["loop"] = k.CodeExecutor().execute(code)["result"]
        try:
            seen["current"] = asyncio.get_event_loop()
        except RuntimeError:
            seen["current"] = None

    worker = threading.Thread(target=run)
    worker.start()
    worker.join(30)
    assert seen["loop"].is_closed() and seen["current"] is None


def test_namespace_persists_until_reset():
    executor = k.CodeExecutor()
    executor.execute("y = 41")
    assert executor.execute("y + 1")["result"] == 42
    executor.reset_namespace()
    assert executor.execute("y")["error"]["type"] == "NameError"
    assert list(executor.globals) == ["__builtins__", "tarvex", "excel", "context"]
    assert executor.locals is executor.globals
    assert executor.execute("(tarvex, excel, context)")["success"]


def test_stderr_is_captured_separately():
    errors = []
    outcome = k.CodeExecutor().execute("import sys; sys.stderr.write('bad\\n'); print('good')", None, errors.append)
    assert (outcome["stdout"], outcome["stderr"], errors) == ("good\n", "bad\n", ["bad\n"])


# --- tracebacks and error locations ---

@pytest.mark.parametrize(
    "text, modules, expected",
    [
        ('File "<virtual:a>", line 3, in f\n  File "<virtual:b>", line 7, in g\n', [],
         {"module": "b", "line": 7, "file": "<virtual:b>"}),
        ("File '/tmp/x/mod_a.py', line 4, in h\n", ["zz", "mod_a"],
         {"module": "mod_a", "line": 4, "file": "<virtual:mod_a>"}),
        ('File "/usr/lib/python3/json/__init__.py", line 9\n', {"other": 1}.keys(), {}),
    ],
)
def test_parse_error_location(text, modules, expected):
    assert k._parse_error_location(text, modules) == expected


def test_extract_tracebak_string_wants_an_exception():
    try:
        raise ValueError("v")
    except ValueError as e:
        text = k.extract_tracebak_string(e)
    assert text.startswith("Traceback (most recent call last):\n") and text.endswith("ValueError: v\n")
    with pytest.raises(TypeError):
        k.extract_tracebak_string("not an exception")


# --- the kernel object without a connection ---

@pytest.fixture
def kernel():
    instance = k.PythonKernel("wb-parts")
    yield instance
    instance._thread_pool.shutdown(wait=False)
    instance._lexora.cleanup()


def test_kernel_construction(kernel):
    assert kernel.server_url == "ws://127.0.0.1:8000"
    assert kernel.websocket is None and kernel._socket_lock is None and kernel._loop is None
    assert kernel._original_stdout is sys.stdout
    assert kernel.has_active_debugger is False
    assert not hasattr(kernel, "_debugger")
    kernel._debugger = object()
    assert kernel.has_active_debugger is True
    del kernel._debugger
    assert kernel.has_active_debugger is False and not hasattr(kernel, "_debugger")
    with pytest.raises(TypeError, match=r"Argument 'port' has incorrect type \(expected str, got int\)"):
        k.PythonKernel("wb", port=8000)


def test_a_kernel_in_a_reference_cycle_is_collected():
    instance = k.PythonKernel("wb-cycle")
    instance._thread_pool.shutdown(wait=False)
    instance._lexora.cleanup()
    instance.executor.globals["kernel"] = instance  # reaches itself through its own state
    gone = weakref.ref(instance)
    del instance
    gc.collect()
    assert gone() is None


async def test_send_before_connect_is_dropped_with_a_warning(kernel, kernel_log):
    assert await kernel.send_message({"type": "probe"}) is None
    assert ("WARNING", "[Kernel] Cannot send message type 'probe': WebSocket not connected") in kernel_log
    with pytest.raises(TypeError, match="Argument 'message'"):
        await kernel.send_message([])
    assert await kernel._send_message_direct({"type": "direct"}) is None
    assert ("WARNING", "[Kernel] Cannot send message type 'direct': WebSocket not connected") in kernel_log
    with pytest.raises(TypeError, match="Argument 'message'"):
        await kernel._send_message_direct(None)


async def test_handlers_check_their_arguments_when_called(kernel, kernel_log):
    for name in ("_handle_custom_function_call", "_handle_event_execution", "_handle_python_function_call"):
        with pytest.raises(TypeError, match="Argument 'message'"):
            getattr(kernel, name)([])
    with pytest.raises(TypeError, match="Argument 'code'"):
        kernel._execute_code_async(3, "r1")
    run = kernel._execute_code_async("1", "r1")
    assert run.__qualname__ == "PythonKernel._execute_code_async"
    run.close()  # never awaited: nothing was run
    assert not [m for _, m in kernel_log if "Submitting execution" in m]
    assert await kernel.handle_message(["not", "an", "object"]) is None  # refused, not raised
    assert ("ERROR", "[Kernel] Failed to handle message type None: TypeError: "
            + TYPE_ERROR.format("message", "dict", "list")) in kernel_log


def piece(chunk_id, index, total, data):
    return {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total, "data": data}


async def test_chunks_out_of_order_and_duplicated_complete_once(kernel):
    text = '{"type": "x", "n": 12345}'
    parts = [text[:8], text[8:16], text[16:]]
    results = [await kernel._handle_chunk_message(piece("c1", i, 3, parts[i])) for i in (2, 0, 0, 1)]
    assert results == [None, None, None, {"type": "x", "n": 12345}]
    assert kernel._chunk_buffers == {}


@pytest.mark.parametrize(
    "pieces, log",
    [
        ([{"type": "chunk", "chunk_id": "c", "chunk_index": 0}], "[Kernel] Invalid chunk message: missing required fields"),
        ([piece("c", "1", 2, "x")], "[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers"),
        ([piece("c", 2, 2, "x")], "[Kernel] Invalid chunk_index 2 for total_chunks 2"),
        ([piece("c", 0, 10**12, "x")], "[Kernel] Invalid total_chunks 1000000000000: a chunked message may have at most 1024 chunks"),
        ([piece("c", 0, 10**30, "x")], "[Kernel] Invalid total_chunks 1000000000000000000000000000000: a chunked message may have at most 1024 chunks"),
        ([piece("c", 0, 2, "x"), piece("c", 4, 5, "y")], "[Kernel] Chunk index 4 out of range for chunk_id c (expected 2 chunks); piece dropped"),
        ([piece("c", 0, 2, 17)], "[Kernel] Invalid chunk message: data must be a string"),
        ([piece(["c"], 0, 2, "x")], "[Kernel] Invalid chunk message: chunk_id must be a string or a number"),
        ([piece("c", 0, 2, None), piece("c", 1, 2, "x")], "[Kernel] Incomplete chunk buffer for chunk_id c"),
        ([piece("c", 0, 1, '{"type": "chunk"}')], "[Kernel] Nested chunk message detected for chunk_id c, rejecting"),
        ([piece("c", 0, 1, "{not json")], "[Kernel] Failed to parse reassembled message: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
    ],
)
async def test_bad_chunks_are_logged_and_dropped(kernel, kernel_log, pieces, log):
    for p in pieces:
        assert await kernel._handle_chunk_message(p) is None
    assert ("ERROR", log) in kernel_log


async def test_piece_beyond_the_first_pieces_total_is_not_stored(kernel):
    await kernel._handle_chunk_message(piece("c", 0, 2, "x"))
    await kernel._handle_chunk_message(piece("c", 4, 5, "y"))
    assert kernel._chunk_buffers["c"] == {"chunks": ["x", None], "received": 1, "total": 2}


async def test_chunked_message_size_is_bounded(kernel, kernel_log, monkeypatch):
    monkeypatch.setattr(k, "MAX_CHUNKED_MESSAGE_SIZE", 10)
    assert await kernel._handle_chunk_message(piece("big", 0, 3, "123456")) is None
    assert await kernel._handle_chunk_message(piece("big", 1, 3, "123456")) is None
    assert ("ERROR", "[Kernel] Chunked message big exceeds 10 characters; message dropped") in kernel_log
    assert "big" not in kernel._chunk_buffers


def test_object_keeper_refuses_bad_keys(kernel):
    with pytest.raises(ValueError, match="ObjectKeeper key must be a non-empty string"):
        kernel.save_object("", 1)
    with pytest.raises(TypeError, match="Argument 'key'"):
        kernel.save_object(3, 1)
    assert kernel.get_object("") is None and kernel.get_object_registry() == []
    assert kernel._deserialize_args([]) == []
    with pytest.raises(TypeError, match=r"Argument 'args' has incorrect type \(expected list, got NoneType\)"):
        kernel._deserialize_args(None)


def test_deserialize_args_decodes_wire_values(kernel):
    values = kernel._deserialize_args([{"type": "Int", "value": 3, "isSpec": False},
                                       {"type": "String", "value": "s", "isSpec": False}])
    assert values == [3, "s"]
    with pytest.raises(TypeError):
        kernel._deserialize_args([["not", "a", "wire", "value"]])


def test_deserialize_args_honours_a_replaced_from_wire(kernel, monkeypatch):
    from tarvex_master.python_server.tarvex.vantrel import Serializer
    monkeypatch.setattr(Serializer, "from_wire", staticmethod(lambda wire: ("decoded", wire["value"])))
    assert kernel._deserialize_args([{"type": "Int", "value": 3, "isSpec": False}]) == [("decoded", 3)]


def test_json_dumps_is_compact():
    assert k.json_dumps({"a": [1, "é"]}) == '{"a":[1,"é"]}'


async def test_disconnect_during_a_run_leaves_the_original_streams(monkeypatch):
    original, hook = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", original)
    kernel = k.PythonKernel("wb-streams")
    sys.stdout = hook  # what connect installs
    release, started = threading.Event(), threading.Event()
    kernel.executor.globals.update(release=release, started=started)
    run = threading.Thread(target=kernel.executor.execute, args=("started.set()\nrelease.wait(20)",))
    run.start()
    started.wait(20)
    await kernel.disconnect()
    release.set()
    run.join()
    kernel._lexora.cleanup()
    assert sys.stdout is original


# --- message batcher ---

class SendsDirect:
    def __init__(self):
        self.sent = []

    async def _send_message_direct(self, message):
        self.sent.append(message)


async def test_batcher_flushes_what_is_queued_when_stopped():
    kernel = SendsDirect()
    batcher = k.MessageBatcher(kernel)
    assert batcher._kernel is kernel and (batcher._running, batcher._flush_task) == (False, None)
    await batcher.start()
    task = batcher._flush_task
    await batcher.enqueue({"n": 1})
    await batcher.stop()
    assert kernel.sent == [{"n": 1}] and batcher._running is False and task.done()
    for n in (2, 3):
        await batcher.enqueue({"n": n})
    await batcher.stop()  # stopped already: only flushes
    assert kernel.sent[1:] == [{"type": "batch", "messages": [{"n": 2}, {"n": 3}]}]
    assert batcher._flush_task is task and batcher._queue.empty()


async def test_batcher_takes_its_interval_from_the_class(monkeypatch):
    monkeypatch.setattr(k.MessageBatcher, "FLUSH_INTERVAL", "not a number")
    batcher = k.MessageBatcher(SendsDirect())
    await batcher.start()
    await batcher.enqueue({"n": 1})
    await asyncio.wait([batcher._flush_task], timeout=30)
    with pytest.raises(TypeError):  # the loop's failure reaches whoever stops it
        await batcher.stop()
