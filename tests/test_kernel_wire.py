"""The kernel over the wire: a real websockets server plays the Business
Layer, a real kernel process (started through the launcher) connects to it."""

import json
import textwrap
import uuid

import pytest

from kernel_wire import BusinessLayer, joined_output

WB = "wb-test"


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB)
    yield layer
    layer.close()


def rid():
    return uuid.uuid4().hex[:10]


def kinds(messages):
    return [m["type"] for m in messages]


# --- connection ---

def test_connects_to_the_kernel_endpoint(bl):
    assert bl.path == f"/ws/kernel/{WB}"
    bl.wait_for_log(f"Kernel connected for workbook: {WB}")


# --- execution ---

def test_expression_result_and_output_line(bl):
    r = rid()
    messages, reply = bl.execute("1 + 1", r)
    assert messages == [
        {"type": "result_output", "content": "Out: 2\n", "request_id": r, "workbook_id": WB, "source": "ide"},
        {"type": "execution_result", "success": True, "result": "2", "request_id": r, "function_name": None,
         "workbook_id": WB, "source": "ide"},
    ]
    r = rid()
    _, reply = bl.execute("1 + 1", r, function_name="calc", source="addin")
    assert (reply["result"], reply["function_name"], reply["source"]) == (2, "calc", "addin")


def test_output_streams_before_the_result(bl):
    r = rid()
    messages, reply = bl.execute("for i in range(30): print(i)", r)
    assert joined_output(messages) == [
        {"type": "stdout", "content": "".join(f"{i}\n" for i in range(30)), "request_id": r, "workbook_id": WB,
         "source": "ide"},
        reply]
    assert reply["result"] is None


def test_user_error_is_reported_with_its_traceback(bl):
    r = rid()
    messages, reply = bl.execute("print('before'); 1/0", r)
    assert kinds(joined_output(messages)) == ["stdout", "execution_error"]
    assert list(reply) == ["type", "success", "error", "request_id", "function_name", "workbook_id", "source"]
    error = reply["error"]
    assert (error["type"], error["message"]) == ("ZeroDivisionError", "division by zero")
    assert 'File "<kernel>", line 1' in error["traceback"]


def test_namespace_persists_and_resets(bl):
    bl.execute("persisted = 5", rid())
    assert bl.execute("persisted", rid())[1]["result"] == "5"
    assert bl.request({"type": "reset_namespace"}, "namespace_reset") == {"type": "namespace_reset"}
    assert bl.execute("persisted", rid())[1]["error"]["type"] == "NameError"
    assert bl.execute("(excel, context, tarvex.__name__)", rid())[1]["type"] == "execution_result"


@pytest.mark.parametrize("definitions, call, result", [
    ("import math", "def area(r): return math.pi * r * r", "round(area(1), 2)"),
    ("scale = 3", "def times(x): return x * scale", "times(2)"),
    ("rows = [1, 2, 3]", "total = lambda: sum(v for v in rows)", "total()"),
])
def test_functions_see_the_names_defined_beside_them(bl, definitions, call, result):
    bl.execute(definitions, rid())
    bl.execute(call, rid())
    _, reply = bl.execute(result, rid())
    assert reply["type"] == "execution_result", reply


@pytest.mark.parametrize("code, result, stdout, check, checked", [
    ("n = 0\nfor i in range(3): n += 1; n += 10", None, "", "n", "33"),
    ('if False: print("a"); print("b")', None, "", None, None),
    ('ticks = []\nfor i in range(3): print("tick", i); ticks.append(i)', None, "tick 0\ntick 1\ntick 2\n",
     "ticks", "[0, 1, 2]"),
    ('s = "a; b"; s', "'a; b'", "", None, None),
    ("y = 1; y; y + 1", "2", "", None, None),
    ('print("hi"); 6 * 7', "42", "hi\n", None, None),
    ("x = 5; ", None, "", "x", "5"),
])
def test_console_code_runs_as_python_runs_it(bl, code, result, stdout, check, checked):
    messages, reply = bl.execute(code, rid())
    assert reply["type"] == "execution_result" and reply["result"] == result
    assert "".join(m["content"] for m in messages if m["type"] == "stdout") == stdout
    if check:
        assert bl.execute(check, rid())[1]["result"] == checked


def test_first_run_output_goes_out_before_its_result(fresh):
    # A fresh pool thread can finish the run before the loop has started
    # the sends of its output; the reply must still come last.
    layer = fresh(log_level="info")
    r = rid()
    messages, _ = layer.execute('print("hello"); 1 + 1', r)
    assert kinds(joined_output(messages)) == ["stdout", "result_output", "execution_result"]


def test_kernel_side_failure_is_answered(bl):
    r = rid()
    # The raw value of a result is sent when a function name is given; a
    # set is not JSON.
    _, reply = bl.execute("{1, 2}", r, function_name="f")
    assert list(reply) == ["type", "success", "error", "request_id", "source"]
    assert reply["error"]["type"] == "TypeError"
    bl.wait_for_log(f"[TIMING] Execution failed: request_id={r}, elapsed=")


def test_overlapping_runs_each_receive_only_their_own_output(bl):
    setup = textwrap.dedent("""\
        import threading
        gate = threading.Barrier(2, timeout=20)
    """)
    bl.request({"type": "update_module", "module_name": "overlap_gate", "code": setup}, "module_updated")
    code = "import overlap_gate\noverlap_gate.gate.wait()\nfor i in range(100): print('{0}', i)\noverlap_gate.gate.wait()"
    first, second = rid(), rid()
    bl.send({"type": "execution_request", "code": code.format("first"), "request_id": first})
    bl.send({"type": "execution_request", "code": code.format("second"), "request_id": second})
    done, seen = set(), []
    while done != {first, second}:
        m = bl.recv()
        seen.append(m)
        if m["type"] == "execution_result":
            done.add(m["request_id"])
    for r, word in ((first, "first"), (second, "second")):
        text = "".join(m["content"] for m in seen if m["type"] == "stdout" and m.get("request_id") == r)
        assert text == "".join(f"{word} {i}\n" for i in range(100))
    assert not [m for m in seen if m["type"] == "stdout" and "request_id" not in m]


def test_stream_kept_from_an_earlier_run_follows_the_writing_request(bl):
    # A logging handler made in one run holds that run's capture.
    bl.execute("import logging, sys\nlg = logging.getLogger('user')\nlg.addHandler(logging.StreamHandler(sys.stdout))\n"
               "lg.setLevel(logging.INFO)\nlg.propagate = False", rid())
    r = rid()
    messages, _ = bl.execute("lg.info('from the second run')", r)
    assert [m["content"] for m in messages if m["type"] == "stdout"] == ["from the second run\n"]


def test_output_outside_any_run_goes_out_as_kernel_output(bl):
    bl.send({"type": "execution_request", "request_id": rid(),
             "code": "import threading; threading.Timer(0.2, lambda: print('late')).start()"})
    # Whether or not the reply came first, and whether or not the line feed came with it.
    late = bl.until(lambda m: m["type"] == "stdout" and m["content"].startswith("late"))[-1]
    assert late == {"type": "stdout", "content": late["content"], "workbook_id": WB}


# --- modules and paths ---

def test_modules_update_import_and_delete(bl):
    code = "VALUE = 7\ndef boom():\n    raise ValueError('from module')\n"
    assert bl.request({"type": "update_module", "module_name": "wb_mod", "code": code}, "module_updated") == {
        "type": "module_updated", "module_name": "wb_mod"}
    assert bl.execute("import wb_mod; wb_mod.VALUE", rid())[1]["result"] == "7"
    traceback = bl.execute("wb_mod.boom()", rid())[1]["error"]["traceback"]
    assert 'File "<virtual:wb_mod>", line 3, in boom\n    raise ValueError(\'from module\')' in traceback
    bl.request({"type": "update_module", "module_name": "wb_mod", "code": "VALUE = 8\n"}, "module_updated")
    assert bl.execute("import wb_mod; wb_mod.VALUE", rid())[1]["result"] == "8"
    assert bl.request({"type": "delete_module", "module_name": "wb_mod"}, "module_deleted") == {
        "type": "module_deleted", "module_name": "wb_mod"}
    assert bl.execute("import sys; sys.modules.pop('wb_mod', None); import wb_mod", rid())[1]["error"]["type"] == \
        "ModuleNotFoundError"


@pytest.mark.parametrize("kind", ["update_module", "delete_module"])
def test_module_message_without_name(bl, kind):
    assert bl.request({"type": kind, "code": "x = 1"}, "error") == {
        "type": "error", "message": f"{kind} requires module_name"}
    bl.wait_for_log(f"WARNING tarvex_master.python_server.kernel: [Kernel] Received {kind} without module_name")


def test_single_path_messages(bl):
    added = bl.request({"type": "add_path", "path": "/wb/extra"}, "path_added")
    assert added["path"] == "/wb/extra" and added["current_paths"][0] == "/wb/extra"
    removed = bl.request({"type": "remove_path", "path": "/wb/extra"}, "path_removed")
    assert "/wb/extra" not in removed["current_paths"]
    bl.request({"type": "add_path", "path": "/wb/again"}, "path_added")
    reset = bl.request({"type": "reset_path"}, "path_reset")
    assert "/wb/again" not in reset["current_paths"]


@pytest.mark.parametrize("kind, field", [("set_package_paths", "old_paths"),
                                         ("unload_and_clear_paths", "paths")])
def test_a_path_list_given_as_text_is_one_path(fresh, kind, field):
    # Read character by character, its "/" would unload every module loaded
    # from a file, the kernel's own dependencies included.
    bl = fresh()
    reply = bl.request({"type": kind, field: "/no/such/folder"},
                       "package_paths_updated" if kind == "set_package_paths" else "modules_unloaded")
    assert reply["modules_unloaded"] == 0
    bl.wait_for_log(f"{field} given as a string; taken as one path")


PACKAGES = textwrap.dedent("""\
    import os, tempfile
    root = tempfile.mkdtemp()
    for folder, files in {
        "A/pkg_p": {"__init__.py": "", },
        "B/pkg_p_sub": {},
        "C/pkg_q": {"__init__.py": ""},
    }.items():
        os.makedirs(os.path.join(root, folder))
        for name, text in files.items():
            open(os.path.join(root, folder, name), "w").write(text)
    open(os.path.join(root, "B", "sub.py"), "w").write("")
    os.environ["KERNEL_TEST_ROOT"] = root
""")


def test_package_paths_unload_the_old_packages(fresh):
    bl = fresh(prelude=PACKAGES)
    root = bl.execute("import os; os.environ['KERNEL_TEST_ROOT']", rid())[1]["result"].strip("'")
    a, b, c = (f"{root}/{x}" for x in "ABC")
    # P from A, its submodule P.S loaded from elsewhere, Q unrelated.
    bl.execute(f"import sys; sys.path[:0] = [{a!r}, {c!r}]; import pkg_p, pkg_q\n"
               f"import importlib.util as u\n"
               f"spec = u.spec_from_file_location('pkg_p.S', {b + '/sub.py'!r}); m = u.module_from_spec(spec)\n"
               f"sys.modules['pkg_p.S'] = m; spec.loader.exec_module(m)", rid())
    reply = bl.request({"type": "set_package_paths", "old_paths": [a], "new_paths": ["/new/x", "/new/y"]},
                       "package_paths_updated")
    assert reply == {"type": "package_paths_updated", "paths_added": 2, "modules_unloaded": 2, "workbook_id": WB}
    bl.wait_for_log("Package paths updated: 2 paths added, 2 modules unloaded")  # logged after the lines below
    unloaded = [line.split("Unloaded module: ")[1] for line in bl.logs_matching("Unloaded module: ")]
    assert unloaded == ["pkg_p.S", "pkg_p"]
    state = bl.execute(f"import sys; (sys.path[:2], 'pkg_q' in sys.modules, {a!r} in sys.path)", rid())[1]
    assert state["result"] == "(['/new/x', '/new/y'], True, False)"
    reply = bl.request({"type": "set_python_paths", "old_paths": [], "new_paths": ["/new/x", "/py/z"]},
                       "python_paths_updated")
    assert reply == {"type": "python_paths_updated", "paths_added": 2, "workbook_id": WB}
    state = bl.execute("import sys; (sys.path[:2], sys.path[-1])", rid())[1]["result"]
    assert state == "(['/new/x', '/new/y'], '/py/z')"
    # A path is a directory: ".../C/pkg" does not take ".../C/pkg_q/__init__.py".
    reply = bl.request({"type": "unload_and_clear_paths", "paths": [f"{c}/pkg"]}, "modules_unloaded")
    assert reply["modules_unloaded"] == 0
    reply = bl.request({"type": "unload_and_clear_paths", "paths": [c]}, "modules_unloaded")
    assert reply == {"type": "modules_unloaded", "modules_unloaded": 1, "paths_cleared": 1, "workbook_id": WB}


def test_paths_never_unload_what_the_kernel_runs_on(fresh):
    bl = fresh()
    stdlib = bl.execute("import os; os.path.dirname(os.__file__)", rid())[1]["result"].strip("'")
    reply = bl.request({"type": "unload_and_clear_paths", "paths": [stdlib, "/"]}, "modules_unloaded")
    assert reply["modules_unloaded"] == 0
    bl.wait_for_log("the standard library and the packages the kernel runs on are never unloaded")
    assert bl.execute("import json, os; json.dumps([os.sep])", rid())[1]["result"] == """'["/"]'"""


# --- chunking ---

def chunk_frames(message, size, chunk_id="in-1"):
    text = json.dumps(message)
    pieces = [text[i:i + size] for i in range(0, len(text), size)]
    return [{"type": "chunk", "chunk_id": chunk_id, "chunk_index": i, "total_chunks": len(pieces), "data": p,
             "original_type": message["type"], "request_id": message.get("request_id", "N/A")}
            for i, p in enumerate(pieces)]


def test_chunked_request_runs_once_after_its_last_piece(bl):
    r = rid()
    frames = chunk_frames({"type": "execution_request", "code": "print('chunked'); 6 * 7", "request_id": r}, 30)
    assert len(frames) >= 3
    for index in [2, 0, 0] + list(range(3, len(frames))) + [1]:
        bl.send(frames[index])
    seen = bl.until(lambda m: m["type"] == "execution_result")
    assert [m["result"] for m in seen if m["type"] == "execution_result"] == ["42"]
    assert bl.no_message(0.3)


def test_bad_chunks_do_not_disturb_the_kernel(bl):
    bl.send({"type": "chunk", "chunk_id": "huge", "chunk_index": 0, "total_chunks": 10**15, "data": "x"})
    bl.send({"type": "chunk", "chunk_id": "bad", "chunk_index": "0", "total_chunks": 2, "data": "x"})
    bl.send({"type": "chunk", "chunk_id": "odd", "chunk_index": 0, "total_chunks": 1, "data": ["not text"]})
    bl.wait_for_log("[Kernel] Invalid total_chunks 1000000000000000: a chunked message may have at most 1024 chunks")
    bl.wait_for_log("[Kernel] Invalid chunk message: chunk_index and total_chunks must be integers")
    bl.wait_for_log("[Kernel] Invalid chunk message: data must be a string")
    assert bl.execute("'alive'", rid())[1]["result"] == "'alive'"


@pytest.mark.parametrize("r, header_id", [("long-1", "long-1"), (None, "N/A")])
def test_long_reply_goes_out_in_chunks(bl, r, header_id):
    bl.send({"type": "execution_request", "code": "'x' * 70000", "request_id": r})
    headers = []
    while True:
        frame = json.loads(bl.frame())
        if frame["type"] == "chunk" and frame["original_type"] == "execution_result":
            headers.append(frame)
            if len(headers) == frame["total_chunks"]:
                break
    assert [list(h) for h in headers][0] == ["type", "chunk_id", "chunk_index", "total_chunks", "data",
                                             "original_type", "request_id"]
    assert [h["chunk_index"] for h in headers] == [0, 1]
    assert {(h["chunk_id"], h["total_chunks"], h["request_id"]) for h in headers} == {
        (headers[0]["chunk_id"], 2, header_id)}
    assert [len(h["data"]) for h in headers][0] == 65536
    whole = json.loads("".join(h["data"] for h in headers))
    assert whole["type"] == "execution_result" and len(whole["result"]) == 70002 and whole["request_id"] == r


# --- frames ---

@pytest.mark.parametrize("odd", [float("nan"), "\ud800"])
def test_frames_only_the_json_module_reads_are_read(bl, odd):
    r = rid()
    bl.send({"type": "execution_request", "code": "1 + 1", "request_id": r, "note": odd})
    assert bl.expect("execution_result", request_id=r)["result"] == "2"


def test_frame_size_limit_and_invalid_json(bl):
    at_limit = json.dumps({"type": "no_such_type", "pad": ""})
    at_limit = at_limit[:-2] + "x" * (1048576 - len(at_limit)) + '"}'
    assert len(at_limit) == 1048576
    bl.send_raw(at_limit)
    bl.send_raw(at_limit[:-2] + 'x"}')
    assert bl.recv() == {"type": "error", "message": "Message too large"}
    bl.wait_for_log("Message too large: 1048577 bytes")
    bl.send_raw("{not json")
    assert bl.recv() == {"type": "error", "message": "Invalid JSON received"}
    assert bl.execute("'still here'", rid())[1]["type"] == "execution_result"


@pytest.mark.parametrize("message, request_id, complaint", [
    ({"type": "execution_request", "code": "1", "request_id": 7}, 7, "'request_id' has incorrect type"),
    ({"type": "cancel_streaming_function", "request_id": ["a"]}, ["a"], "unhashable type: 'list'"),
    ({"type": "sys_response", "payload": {"requestId": ["a"]}}, None, "unhashable type: 'list'"),
    ({"type": "completion_request", "code": "x", "line": "1", "request_id": "c"}, "c", "TypeError"),
    ({"type": "add_path", "path": 5}, None, "TypeError"),
    ({"type": "update_module", "module_name": 5, "code": ""}, None, "TypeError"),
    ([1, 2], None, "Message must be a JSON object, not list"),
])
def test_a_message_that_cannot_be_handled_is_refused(bl, message, request_id, complaint):
    bl.execute("kept = 41", rid())
    bl.send(message)
    error = bl.expect("error")
    assert complaint in error["message"]
    assert error.get("request_id") == request_id
    assert bl.execute("kept + 1", rid())[1]["result"] == "42"


def test_shutdown_gives_exactly_one_disconnect(fresh):
    bl = fresh()
    bl.send({"type": "shutdown"})
    assert bl.wait_closed()
    assert bl.wait_exit() == 0
    assert len(bl.logs_matching(f"Kernel disconnected for workbook: {WB}")) == 1


def test_refused_connection_ends_the_kernel_with_an_error(tmp_path):
    import socket
    import subprocess
    import sys

    from kernel_wire import CHILD

    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    done = subprocess.run([sys.executable, str(CHILD), WB, str(port), "info"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 1
    assert "ERROR tarvex_master.python_server.kernel: Kernel error: [Errno 111] Connect call failed" in done.stderr
    assert done.stderr.count(f"Kernel disconnected for workbook: {WB}") == 1


def test_server_closing_ends_the_kernel(fresh):
    bl = fresh()
    bl.close_connection()
    assert bl.wait_exit() == 0
    assert len(bl.logs_matching("Kernel disconnected for workbook: ")) == 1


# --- synchronous system requests ---

SYS_REQUEST = "import tarvex; tarvex.messaging.send_request_sync({0}, timeout={1})"


def test_sys_request_round_trip(bl):
    r = rid()
    bl.send({"type": "execution_request", "request_id": r,
             "code": SYS_REQUEST.format("{'method': 'GET', 'name': 'Foo', 'caller': 1}", 10)})
    request = bl.expect("sys_request")
    payload = request["payload"]
    assert list(request) == ["type", "payload"]
    assert [payload[k] for k in ("method", "name", "caller", "kind")] == ["GET", "Foo", 1, "request"]
    assert len(payload["requestId"]) == 32 and int(payload["requestId"], 16) >= 0
    bl.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], "ok": True, "result": 5}})
    reply = bl.expect("execution_result", request_id=r)
    assert json.loads(reply["result"].replace("'", '"').replace("True", "true")) == {
        "requestId": payload["requestId"], "ok": True, "result": 5}


def test_sys_responses_in_reverse_order_reach_their_own_workers(bl):
    first, second = rid(), rid()
    bl.send({"type": "execution_request", "request_id": first, "code": SYS_REQUEST.format("{'n': 1}", 10)})
    one = bl.expect("sys_request")["payload"]
    bl.send({"type": "execution_request", "request_id": second, "code": SYS_REQUEST.format("{'n': 2}", 10)})
    two = bl.expect("sys_request")["payload"]
    # The second answer stands at the top level, without "payload".
    bl.send({"type": "sys_response", "requestId": two["requestId"], "answer": "two"})
    bl.send({"type": "sys_response", "payload": {"requestId": one["requestId"], "answer": "one"}})
    results = {}
    while len(results) < 2:
        m = bl.expect("execution_result")
        results[m["request_id"]] = m["result"]
    assert "'answer': 'one'" in results[first] and "'answer': 'two'" in results[second]
    assert "'type': 'sys_response'" in results[second]


def test_sys_request_timeout_and_late_answer(bl):
    r = rid()
    bl.send({"type": "execution_request", "request_id": r, "code": SYS_REQUEST.format("{}", 0.5)})
    request_id = bl.expect("sys_request")["payload"]["requestId"]
    error = bl.expect("execution_error", request_id=r)["error"]
    assert (error["type"], error["message"]) == ("TimeoutError", f"sys_request timeout after 0.5s: {request_id}")
    bl.send({"type": "sys_response", "payload": {"requestId": request_id}})
    bl.wait_for_log(f"[Kernel] Received sys_response for unknown request_id: {request_id}")
    bl.send({"type": "sys_response", "payload": {"ok": True}})
    bl.wait_for_log("[Kernel] Received sys_response without requestId")


def test_sys_request_that_cannot_be_sent_fails_at_once(bl):
    # Nobody answers, and the time limit is far off: only the send's own
    # failure can end the run.
    r = rid()
    bl.send({"type": "execution_request", "request_id": r,
             "code": SYS_REQUEST.format("{'value': {1, 2}}", 600)})
    error = bl.expect("execution_error", request_id=r)["error"]
    assert (error["type"], error["message"]) == ("TypeError", "Type is not JSON serializable: set")


def test_sys_request_from_the_event_loop_is_refused(bl):
    refusal = "send_sys_request must not be called from the async event loop thread to avoid deadlock"
    bl.execute(textwrap.dedent("""\
        import asyncio, tarvex
        async def on_loop():
            try:
                tarvex.messaging.send_request_sync({})
            except RuntimeError as e:
                return str(e)"""), rid())
    code = "asyncio.run_coroutine_threadsafe(on_loop(), tarvex.messaging.loop).result(10)"
    assert bl.execute(code, rid())[1]["result"] == repr(refusal)


def test_repr_of_a_result_may_call_the_workbook(bl):
    # repr() runs on the worker, which can wait for the answer.
    bl.execute(textwrap.dedent("""\
        class AsksInRepr:
            def __repr__(self):
                import tarvex
                return str(tarvex.messaging.send_request_sync({}, timeout=10)["result"])"""), rid())
    r = rid()
    bl.send({"type": "execution_request", "request_id": r, "code": "AsksInRepr()"})
    payload = bl.expect("sys_request")["payload"]
    bl.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], "ok": True, "result": 5}})
    assert bl.expect("execution_result", request_id=r)["result"] == "5"


# --- object keeper and services ---

def test_object_keeper_messages(bl):
    code = textwrap.dedent("""\
        import tarvex
        k = tarvex._kernel_instance
        k.save_object("answer", 42)
        k.save_object("answer", 43)
        k.save_object("label", "x")
        k.clear_object("absent")
        k.set_enable_events(0)
        k.show_message_box("hello")""")
    bl.send({"type": "execution_request", "request_id": rid(), "code": code})
    seen = bl.until(lambda m: m["type"] == "show_message_box")
    sent = [m for m in seen if m["type"] in (
        "object_registry_update", "set_enable_events", "show_message_box")]
    assert sent == [
        {"type": "object_registry_update", "action": "update", "key": "answer", "object_type": "int", "repr": "42",
         "workbook_id": WB},
        {"type": "object_registry_update", "action": "update", "key": "answer", "object_type": "int", "repr": "43",
         "workbook_id": WB},
        {"type": "object_registry_update", "action": "update", "key": "label", "object_type": "str", "repr": "'x'",
         "workbook_id": WB},
        {"type": "object_registry_update", "action": "delete", "key": "absent", "workbook_id": WB},
        {"type": "set_enable_events", "enable": False, "workbook_id": WB},
        {"type": "show_message_box", "message": "hello", "title": "Tarvex", "msg_type": "Info", "workbook_id": WB},
    ]
    assert bl.execute("tarvex._kernel_instance.get_object('answer')", rid())[1]["result"] == "43"
    assert bl.request({"type": "get_object_registry"}, "object_registry_response") == {
        "type": "object_registry_response", "workbook_id": WB,
        "objects": [{"key": "answer", "type": "int", "repr": "43"}, {"key": "label", "type": "str", "repr": "'x'"}]}
    bl.execute("tarvex._kernel_instance.clear_all_objects()", rid())
    assert bl.request({"type": "get_object_registry"}, "object_registry_response")["objects"] == []


KEEPER_CALLBACK = textwrap.dedent("""\
    import tarvex
    class CallsBack:
        def __del__(self):
            import tarvex
            keeper = tarvex._kernel_instance
            keeper.save_object("finalized", str(keeper.get_object("held")))
    k = tarvex._kernel_instance
    k.save_object("held", CallsBack())
    {drop}""")


@pytest.mark.parametrize(
    "drop, seen",
    [("k.save_object('held', 2)", "'2'"), ("k.clear_object('held')", "'None'"), ("k.clear_all_objects()", "'None'")],
)
def test_a_dropped_kept_value_may_use_the_keeper_in_its_finalizer(bl, drop, seen):
    bl.execute(KEEPER_CALLBACK.format(drop=drop), rid())
    assert bl.execute("tarvex._kernel_instance.get_object('finalized')", rid())[1]["result"] == seen


def test_batcher_coalesces_queued_messages(bl):
    # All three are queued in one step of the event loop, so one flush
    # finds them together.
    code = textwrap.dedent("""\
        import asyncio, tarvex
        k = tarvex._kernel_instance
        async def queue_three(k=k):  # top-level names are locals of the run
            for n in range(3):
                await k._batcher.enqueue({"type": "note", "n": n})
        asyncio.run_coroutine_threadsafe(queue_three(), k._loop).result()""")
    r = rid()
    bl.send({"type": "execution_request", "code": code, "request_id": r})
    # The flush may come before or after the reply.
    seen = bl.until(lambda m: m["type"] == "execution_result" and m["request_id"] == r)
    if not any(m["type"] == "batch" for m in seen):
        seen += bl.until(lambda m: m["type"] == "batch")
    batches = [m for m in seen if m["type"] in ("batch", "note")]
    assert batches == [{"type": "batch", "messages": [{"type": "note", "n": n} for n in range(3)]}]


# --- dispatcher ---

def test_hover_mode(bl):
    assert bl.request({"type": "set_hover_mode", "mode": "full"}, "hover_mode_updated") == {
        "type": "hover_mode_updated", "mode": "full", "workbook_id": WB}

def test_debugger_commands_without_a_debug_run(bl):
    r = rid()
    assert bl.request({"type": "debug_evaluate", "expression": "x", "request_id": r}, "debug_evaluate_result") == {
        "type": "debug_evaluate_result", "workbook_id": WB, "request_id": r, "expression": "x",
        "error": "No active debug session"}
    for kind in ("debug_continue", "debug_step_over", "debug_stop", "no_such_message", "cancel_streaming_function"):
        bl.send({"type": kind})
    bl.send({"type": "debug_update_breakpoints", "breakpoints": []})
    bl.wait_for_log("[Kernel] Received debug_update_breakpoints but no active debugger")
    r = rid()
    bl.send({"type": "execution_request", "code": "None", "request_id": r})
    assert bl.recv() == {"type": "execution_result", "success": True, "result": None, "request_id": r,
                         "function_name": None, "workbook_id": WB, "source": "ide"}


# --- user code reaching the workbook through the object bridge ---

def answer_sys_requests(bl, request_id, answers):
    """Answers sys_requests with `answers(payload)` until `request_id` ends."""
    while True:
        m = bl.recv()
        if m["type"] == "sys_request":
            payload = m["payload"]
            bl.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], **answers(payload)}})
        elif m["type"] in ("execution_result", "execution_error") and m.get("request_id") == request_id:
            return m


@pytest.mark.parametrize(
    "answer, outcome",
    [
        ({"ok": True, "result": {"type": "Int", "value": 5, "isSpec": False}}, ("execution_result", "5")),
        ({"ok": True, "result": {"type": "Range", "value": 7, "isSpec": True}},
         ("execution_result", "<OfficeJsObject Range id=7>")),
        ({"ok": False, "error": {"message": "No such property: Foo"}}, ("AttributeError", "No such property: Foo")),
        ({"ok": False}, ("AttributeError", "GET failed for Foo")),
    ],
)
def test_excel_reads_from_user_code(bl, answer, outcome):
    r = rid()
    requests = []

    def answers(payload):
        requests.append(payload)
        return answer if payload["method"] == "GET" else {"ok": True}

    bl.send({"type": "execution_request", "request_id": r, "code": "excel.Foo"})
    reply = answer_sys_requests(bl, r, answers)
    # Releases of proxies made by earlier requests may come in between.
    get = next(p for p in requests if p["method"] == "GET")
    assert [get[k] for k in ("method", "name", "caller", "kind")] == ["GET", "Foo", 1, "request"]
    if outcome[0] == "execution_result":
        assert (reply["type"], reply["result"]) == outcome
    else:
        assert (reply["error"]["type"], reply["error"]["message"]) == outcome


def wire_rows(first_id, count):
    return {"type": "Array", "id": first_id, "isSpec": False, "value": [
        {"type": "Array", "id": first_id + 1 + i, "isSpec": False, "value": [{"type": "Int", "value": i, "isSpec": False}]}
        for i in range(count)]}


def test_releasing_a_thousand_rows_waits_for_no_answer(bl):
    count_orphans = "len(tarvex._kernel_instance._response_data)"
    orphans = bl.execute(count_orphans, rid())[1]["result"]
    r = rid()
    bl.send({"type": "execution_request", "request_id": r, "code": "len(excel.Foo)"})
    get_id, releases, reply = None, {}, None
    while reply is None or len(releases) < 1001:
        m = bl.recv()
        if m["type"] == "sys_request" and m["payload"]["method"] == "GET":
            get_id = m["payload"]["requestId"]
            bl.send({"type": "sys_response",
                     "payload": {"requestId": get_id, "ok": True, "result": wire_rows(5000, 1000)}})
        elif m["type"] == "sys_request" and 5000 <= m["payload"]["caller"] <= 6000:
            releases[m["payload"]["caller"]] = m["payload"]  # left unanswered
        elif m["type"] in ("execution_result", "execution_error") and m["request_id"] == r:
            reply = m
    assert (reply["type"], reply["result"]) == ("execution_result", "1000")
    assert sorted(releases) == list(range(5000, 6001))
    assert {p["method"] for p in releases.values()} == {"DEL"}
    bl.wait_for_log(f"Waiting for sys_response: {get_id}")
    waited = {line.rsplit(" ", 1)[-1] for line in bl.logs_matching("Waiting for sys_response: ")}
    assert waited.isdisjoint(p["requestId"] for p in releases.values())
    # Late answers to releases are dropped without a trace.
    for payload in releases.values():
        bl.send({"type": "sys_response", "payload": {"requestId": payload["requestId"], "ok": True}})
    assert bl.execute(count_orphans, rid())[1]["result"] == orphans


def test_a_proxy_dropped_on_the_event_loop_is_released(bl):
    # An expression's value is shown (and let go) by the event loop.
    r = rid()
    bl.send({"type": "execution_request", "request_id": r, "code": "excel.Foo"})
    released = False
    while not released:
        m = bl.recv()
        if m["type"] == "sys_request" and m["payload"]["method"] == "GET":
            bl.send({"type": "sys_response", "payload": {"requestId": m["payload"]["requestId"], "ok": True,
                                                         "result": {"type": "Range", "value": 7001, "isSpec": True}}})
        elif m["type"] == "sys_request":
            released = m["payload"]["caller"] == 7001
    assert bl.execute("'still served'", rid())[1]["result"] == "'still served'"


def test_a_log_level_changed_while_running_takes_effect_at_once(fresh):
    bl = fresh(log_level="info")
    bl.execute("1", "quiet")
    assert not bl.logs_matching("[TIMING] Execution started: request_id=quiet")
    bl.execute("from tarvex_master import logging_config; logging_config.set_level('debug')", rid())
    bl.execute("1", "loud")
    bl.wait_for_log("[TIMING] Execution started: request_id=loud")
    bl.execute("logging_config.set_level('info')", rid())
    bl.execute("1", "quiet-again")
    assert not bl.logs_matching("[TIMING] Execution started: request_id=quiet-again")
