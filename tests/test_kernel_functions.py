"""Workbook functions over the wire: custom worksheet functions (and the
editor's run command), event handlers, callables handed to the add-in, and
streaming functions, against a real kernel process."""

import datetime
import json
import textwrap
import uuid

import orjson

import pytest

from kernel_wire import BusinessLayer, joined_output

WB = "wb-test"

FX = textwrap.dedent("""\
    import sys, time
    import tarvex

    def add(a, b):
        return a + b

    def shout(word):
        print(word)
        return 3

    def nothing():
        return None

    def pair():
        yield 1
        yield 2

    def fails():
        print("before")
        raise ValueError("from fx")

    def leaves():
        sys.exit(2)

    def read_foo():
        return tarvex.excel.Foo

    def on_event(x):
        print(f"event {x}")
        return "ignored"

    def count(n):
        for i in range(n):
            print("at", i)
            yield i * 10

    def endless(rid):
        # Yields 1 and 2, then waits for its own cancel before the third value,
        # so that the cancel is seen at the third yield whatever the timing.
        kernel = tarvex._kernel_instance
        i = 0
        while True:
            i += 1
            if i == 3:
                deadline = time.monotonic() + 20
                while rid not in kernel._canceled_streaming_requests and time.monotonic() < deadline:
                    time.sleep(0.01)
            yield i

    def listed():
        print("ran once")
        return [1, 2]

    def numpy_number(kind, text):
        import numpy
        return getattr(numpy, kind)(text)

    def breaks_after_two(bare):
        yield 1
        yield 2
        raise (ValueError() if bare else RuntimeError("stream broke"))

    def long_text(pad):
        return "x" * pad + "é中😀" * 30000
""")
# A result covering several wire rules, sent by fx.mixed() and converted
# here with to_wire as the reference.
MIXED = '{"a": [1, 2.5, "é中😀", None, True], "t": (3, "x"), "nan": float("nan"), "day": datetime.date(2024, 5, 1)}'
FX += f"\nimport datetime\ndef mixed():\n    return {MIXED}\n"
# Floats of every magnitude and layout, for their display line.
FLOAT_COLUMN = textwrap.dedent("""\
    def float_column():
        import math, random, struct
        rng = random.Random(5)
        values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)]
        values += [rng.random() * 10.0 ** rng.randint(-20, 20) for _ in range(3000)]
        return values + [0.0, -0.0, math.inf, -math.inf, -math.nan, 1e16, 1e15, 1e-4, 1e-5, 5e-324, 0.1, 100.0]
""")
FX += FLOAT_COLUMN


def rid():
    return uuid.uuid4().hex[:10]


def wire(value):
    kind = {int: "Int", str: "String", float: "Float", type(None): "Null"}[type(value)]
    return {"type": kind, "value": value, "isSpec": False}


def traceback_tail(text):
    return text.rstrip("\n").splitlines()[-1]


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB, log_level="debug")
    layer.request({"type": "update_module", "module_name": "fx", "code": FX}, "module_updated")
    yield layer
    layer.close()


def mine(messages, request_id):
    return [m for m in messages if m.get("request_id") == request_id]


def call(bl, function_name, args=(), module_name="fx", **extra):
    """Sends a custom_function_call; returns the request's messages up to its
    function_execution_result."""
    r = extra.pop("request_id", rid())
    message = {"type": "custom_function_call", "module_name": module_name, "function_name": function_name,
               "args": [wire(a) for a in args], "request_id": r, **extra}
    bl.send(message)
    seen = bl.until(lambda m: m["type"] == "function_execution_result" and m.get("request_id") == r)
    return mine(seen, r)


# --- custom function calls and the editor's run command ---

@pytest.mark.parametrize("kind, extra, source, workbook_id", [
    ("custom_function_call", {}, "addin", None),
    ("custom_function_call", {"source": "ide", "workbook_id": WB}, "ide", WB),
    ("run_module", {}, "ide", ""),
    ("run_module", {"debug": False, "source": "addin", "workbook_id": "wb-x"}, "addin", "wb-x"),
])
def test_function_replies_in_order(bl, kind, extra, source, workbook_id):
    r = rid()
    bl.send({"type": kind, "module_name": "fx", "function_name": "shout", "args": [wire("hi")], "request_id": r,
             **extra})
    seen = mine(bl.until(lambda m: m["type"] == "function_execution_result" and m.get("request_id") == r), r)
    three = {"type": "Int", "value": 3, "isSpec": False}
    assert joined_output(seen) == [
        {"type": "stdout", "content": "hi\n", "request_id": r, "workbook_id": workbook_id, "source": source},
        {"type": "result_output", "content": "Out: 3\n", "request_id": r, "workbook_id": workbook_id,
         "source": source},
        {"type": "execution_result", "success": True, "result": three, "logs": "hi\n", "request_id": r,
         "module_name": "fx", "function_name": "shout", "workbook_id": workbook_id, "source": source},
        {"type": "function_execution_result", "request_id": r, "status": "success", "result": three,
         "logs": "hi\n"},
    ]


@pytest.mark.parametrize("function_name, out, result", [
    ("nothing", "Out: None\n", {"type": "Null", "value": None, "isSpec": False}),
    ("pair", "Out: <generator object pair at ", [wire(1), wire(2)]),
])
def test_none_and_generator_results(bl, function_name, out, result):
    seen = call(bl, function_name)
    assert [m["type"] for m in seen] == ["result_output", "execution_result", "function_execution_result"]
    assert seen[0]["content"].startswith(out)
    assert seen[1]["result"] == result and seen[2]["result"] == result


@pytest.mark.parametrize("kind, text, result", [
    ("int64", "3", wire(3)),
    ("int32", "-7", wire(-7)),
    ("float32", "1.5", wire(1.5)),
])
def test_numpy_numbers_reach_the_cell_as_numbers(bl, kind, text, result):
    seen = call(bl, "numpy_number", [kind, text])
    assert seen[-2]["result"] == result and seen[-1]["result"] == result


# --- long and non-ASCII results on the wire ---

def raw_replies(layer, request_id):
    """The request's frames as sent, by the type of message they carry, up to
    its function_execution_result."""
    frames = {}
    while True:
        text = layer.frame()
        message = json.loads(text)
        if message.get("request_id") != request_id:
            continue
        kind = message["original_type"] if message["type"] == "chunk" else message["type"]
        frames.setdefault(kind, []).append(text)
        if kind == "function_execution_result" and message.get("chunk_index", 0) == message.get("total_chunks", 1) - 1:
            return frames


def send_call(layer, function_name, args=()):
    r = rid()
    layer.send({"type": "custom_function_call", "module_name": "fx", "function_name": function_name,
                "args": [wire(a) for a in args], "request_id": r})
    return r


def check_long_text_replies(layer, pad, canonical):
    """Both replies of fx.long_text(pad) come in pieces of 65,536 characters,
    each frame written as `canonical` writes its content, and put back
    together give the text exactly."""
    replies = raw_replies(layer, send_call(layer, "long_text", [pad]))
    for kind in ("execution_result", "function_execution_result"):
        chunks = [json.loads(frame) for frame in replies[kind]]
        assert all(frame == canonical(chunk) for frame, chunk in zip(replies[kind], chunks))
        assert [len(chunk["data"]) for chunk in chunks[:-1]] == [65536] * (len(chunks) - 1)
        whole = json.loads("".join(chunk["data"] for chunk in chunks))
        assert whole["result"] == wire("x" * pad + "é中😀" * 30000)
    return replies


@pytest.mark.parametrize("pad", [0, 1, 2])  # a two-, three- and four-byte character ends the first piece
def test_long_result_is_cut_between_characters(bl, pad):
    check_long_text_replies(bl, pad, lambda chunk: orjson.dumps(chunk).decode())


def test_both_replies_carry_the_result_text_of_to_wire(bl):
    from tarvex_master.python_server.tarvex.vantrel import Serializer

    replies = raw_replies(bl, send_call(bl, "mixed"))
    texts = [replies[kind][0] for kind in ("execution_result", "function_execution_result")]
    expected = json.loads(orjson.dumps(Serializer.to_wire(eval(MIXED))))
    assert [json.loads(text)["result"] for text in texts] == [expected, expected]
    assert [orjson.dumps(json.loads(text)).decode() for text in texts] == texts


def test_a_list_of_floats_is_shown_as_repr_shows_it(bl):
    namespace = {}
    exec(FLOAT_COLUMN, namespace)
    seen = call(bl, "float_column")
    assert seen[0] == {"type": "result_output", "content": f"Out: {namespace['float_column']()!r}\n",
                       "request_id": seen[0]["request_id"], "workbook_id": None, "source": "addin"}


REPLACE_JSON_DUMPS = textwrap.dedent("""\
    import json, sys
    sys.modules["tarvex_master.python_server.kernel"].json_dumps = (
        lambda obj: json.dumps({**obj, "encoder": "replaced"}))""")


@pytest.mark.parametrize("prelude, replacement, encoder", [
    ("import sys; sys.modules['orjson'] = None", None, None),
    (None, REPLACE_JSON_DUMPS, "replaced"),
])
def test_without_orjson_or_with_json_dumps_replaced(fresh, prelude, replacement, encoder):
    layer = fresh(prelude=prelude)
    layer.request({"type": "update_module", "module_name": "fx", "code": FX}, "module_updated")
    if replacement:
        layer.execute(replacement, rid())
    replies = check_long_text_replies(layer, 1, json.dumps)
    assert {json.loads(frame).get("encoder") for frames in replies.values() for frame in frames} == {encoder}


def test_print_then_raise_streams_and_reports_the_traceback(bl):
    seen = call(bl, "fails")
    streamed = {kind: "".join(m["content"] for m in seen if m["type"] == kind) for kind in ("stdout", "stderr")}
    assert streamed["stdout"] == "before\n"
    error, failed = seen[-2], seen[-1]
    traceback = streamed["stderr"]
    assert traceback.startswith("Traceback (most recent call last):\n")
    line = FX.splitlines().index('    raise ValueError("from fx")') + 1
    assert f'  File "<virtual:fx>", line {line}, in fails\n' in traceback
    assert traceback_tail(traceback) == "ValueError: from fx"
    assert error == {"type": "execution_error", "success": False, "error": traceback, "logs": "before\n" + traceback,
                     "request_id": error["request_id"], "module_name": "fx", "function_name": "fails",
                     "workbook_id": None, "source": "addin"}
    assert failed == {"type": "function_execution_result", "request_id": error["request_id"], "status": "error",
                      "result": None, "logs": "before\n" + traceback, "error": traceback}
    assert "result_output" not in [m["type"] for m in seen]


@pytest.mark.parametrize("message, text", [
    ({"function_name": "add"}, "Missing module_name"),
    ({"module_name": "fx"}, "Missing function_name"),
    ({"module_name": "", "function_name": ""}, "Missing module_name"),
])
def test_missing_names_are_validation_errors(bl, message, text):
    r = rid()
    bl.send({"type": "custom_function_call", "request_id": r, **message})
    seen = mine(bl.until(lambda m: m["type"] == "function_execution_result" and m.get("request_id") == r), r)
    record = {"type": "ValidationError", "message": text, "traceback": ""}
    assert seen == [
        {"type": "execution_error", "success": False, "error": record, "request_id": r,
         "module_name": message.get("module_name", ""), "function_name": message.get("function_name", ""),
         "workbook_id": None, "source": "addin"},
        {"type": "function_execution_result", "request_id": r, "status": "error", "error": record},
    ]


@pytest.mark.parametrize("module_name, function_name, args, last_line", [
    ("never_sent", "f", [], "ImportError: Module 'never_sent' not found in sys.modules. "
                            "Make sure the module has been synced via update_module."),
    ("fx", "absent", [], "AttributeError: Function 'absent' not found in module 'fx'"),
    ("fx", "add", [{"type": "Int", "value": "abc", "isSpec": False}],
     "ValueError: invalid literal for int() with base 10: 'abc'"),
    ("fx", "add", {"not": "a list"}, "TypeError: Argument 'args' has incorrect type (expected list, got dict)"),
    ("fx", "add", [wire(1)], "TypeError: add() missing 1 required positional argument: 'b'"),
    # A module name is looked up, never run as source.
    ("fx; print('injected')", "add", [], "ImportError: Module 'fx; print('injected')' not found in sys.modules. "
                                        "Make sure the module has been synced via update_module."),
])
def test_failures_before_and_during_the_call(bl, module_name, function_name, args, last_line):
    r = rid()
    bl.send({"type": "custom_function_call", "module_name": module_name, "function_name": function_name,
             "args": args, "request_id": r})
    seen = mine(bl.until(lambda m: m["type"] == "function_execution_result" and m.get("request_id") == r), r)
    assert [m["type"] for m in seen if m["type"] != "stderr"] == ["execution_error", "function_execution_result"]
    error = seen[-1]["error"]
    assert traceback_tail(error) == last_line
    assert seen[-2]["error"] == error and seen[-1]["logs"] == "".join(m["content"] for m in seen
                                                                      if m["type"] == "stderr")
    assert not [m for m in seen if m["type"] == "stdout"]  # nothing ran that printed


def test_a_module_failing_to_import_shows_the_users_code_first(bl):
    bl.request({"type": "update_module", "module_name": "breaks", "code": "x = 1\nraise ValueError('boom')\n"},
               "module_updated")
    r = rid()
    bl.send({"type": "custom_function_call", "module_name": "breaks", "function_name": "f", "args": [],
             "request_id": r})
    error = bl.expect("function_execution_result", request_id=r)["error"]
    assert error.splitlines()[:2] == ["Traceback (most recent call last):", '  File "<virtual:breaks>", line 2, in <module>']
    assert "importlib" not in error


def test_system_exit_in_a_function_is_its_error(bl):
    seen = call(bl, "leaves")
    assert traceback_tail(seen[-1]["error"]) == "SystemExit: 2"
    assert bl.execute("'still here'", rid())[1]["result"] == "'still here'"


def test_module_named_like_a_kernel_global_leaves_the_kernel_working(bl):
    bl.request({"type": "update_module", "module_name": "json_dumps", "code": "def f():\n    return 1\n"},
               "module_updated")
    seen = call(bl, "f", module_name="json_dumps")
    assert seen[-1]["status"] == "success"
    assert bl.execute("2 + 2", rid())[1]["result"] == "4"


@pytest.mark.parametrize("name", ["sys", "json"])
def test_a_workbook_module_never_replaces_a_loaded_one(bl, name):
    bl.request({"type": "update_module", "module_name": name, "code": "modules = None\n"}, "module_updated")
    bl.wait_for_log(f"'{name}' is already loaded from outside the workbook")
    bl.request({"type": "delete_module", "module_name": name}, "module_deleted")
    assert bl.execute(f"import {name}; {name}.__name__, len(__import__('sys').modules) > 10", rid())[1]["result"] \
        == f"('{name}', True)"


def test_updated_module_runs_its_new_text(bl):
    bl.request({"type": "update_module", "module_name": "fx_version", "code": "def v():\n    return 1\n"},
               "module_updated")
    assert call(bl, "v", module_name="fx_version")[-1]["result"] == wire(1)
    bl.request({"type": "update_module", "module_name": "fx_version", "code": "def v():\n    return 2\n"},
               "module_updated")
    assert call(bl, "v", module_name="fx_version")[-1]["result"] == wire(2)


def test_workbook_module_globals_hold_builtins_as_an_imported_module_does(bl):
    # C code that imports (pickle, ctypes, many extensions) reads __builtins__
    # from the globals of the running function.
    code = "import pickle\ndef roundtrip():\n    return int(pickle.loads(pickle.dumps(complex(1, 2))) == 1 + 2j)\n"
    bl.request({"type": "update_module", "module_name": "fx_builtins", "code": code}, "module_updated")
    assert call(bl, "roundtrip", module_name="fx_builtins")[-1]["result"] == wire(1)


def test_function_reads_the_workbook_while_the_loop_serves_others(bl):
    r = rid()
    bl.send({"type": "custom_function_call", "module_name": "fx", "function_name": "read_foo", "request_id": r})
    request = None
    while request is None:
        m = bl.recv()
        if m["type"] == "sys_request" and m["payload"].get("method") == "GET":
            request = m["payload"]
        elif m["type"] == "sys_request":  # releases of proxies made earlier
            bl.send({"type": "sys_response", "payload": {"requestId": m["payload"]["requestId"], "ok": True}})
    assert [request[k] for k in ("method", "name", "caller")] == ["GET", "Foo", 1]
    # The worker waits for the add-in; other requests are served meanwhile.
    other = rid()
    assert bl.execute("'served'", other)[1]["result"] == "'served'"
    bl.send({"type": "sys_response", "payload": {"requestId": request["requestId"], "ok": True,
                                                 "result": wire(5)}})
    done = bl.expect("function_execution_result", request_id=r)
    assert done["status"] == "success" and done["result"] == wire(5)


def test_two_hundred_concurrent_calls_each_answered_once(bl):
    ids = {f"many-{i}": i for i in range(200)}
    for r, i in ids.items():
        bl.send({"type": "custom_function_call", "module_name": "fx", "function_name": "add",
                 "args": [wire(i), wire(1000)], "request_id": r})
    answers = {}
    while len(answers) < len(ids):
        m = bl.expect("function_execution_result")
        assert m["request_id"] not in answers, m
        answers[m["request_id"]] = m["result"]
    assert answers == {r: wire(i + 1000) for r, i in ids.items()}
    assert bl.no_message(0.5)


# --- event handlers ---

def event(bl, **fields):
    r = fields.setdefault("request_id", rid())
    bl.send({"type": "event_execution", "module_name": "fx", "function_name": "on_event",
             "object_name": "Sheet1", "event_type": "onChanged", "object_type": "Worksheet", **fields})
    return mine(bl.until(lambda m: m["type"] == "event_execution_result" and m.get("request_id") == r), r)


@pytest.mark.parametrize("fields, workbook_id", [({}, WB), ({"workbook_id": "wb-other"}, "wb-other")])
def test_event_handler_success(bl, fields, workbook_id):
    seen = event(bl, args=[wire(7)], **fields)
    r = seen[0]["request_id"]
    assert joined_output(seen) == [
        {"type": "stdout", "content": "event 7\n", "request_id": r, "workbook_id": workbook_id, "source": "addin"},
        {"type": "event_execution_result", "status": "success", "logs": "event 7\n", "error": None,
         "request_id": r, "module_name": "fx", "function_name": "on_event", "workbook_id": workbook_id},
    ]
    bl.wait_for_log("[Kernel] [Async Task] Received event_execution: fx.on_event "
                    "(object=Worksheet/Sheet1, event=onChanged)")


@pytest.mark.parametrize("fields, last_line", [
    ({"args": []}, "TypeError: on_event() missing 1 required positional argument: 'x'"),
    ({"function_name": "nope", "args": []}, "AttributeError: Function 'nope' not found in module 'fx'"),
    ({"module_name": "ghost"}, "ImportError: Module 'ghost' not found in sys.modules"),
    # Arguments are decoded before the module is imported.
    ({"module_name": "ghost", "args": [{"type": "Float", "value": None, "isSpec": False}]},
     "TypeError: float() argument must be a string or a real number, not 'NoneType'"),
])
def test_event_handler_failures(bl, fields, last_line):
    seen = event(bl, **fields)
    result = seen[-1]
    assert result["status"] == "error" and traceback_tail(result["error"]) == last_line
    assert result["logs"] == "".join(m["content"] for m in seen if m["type"] == "stderr") == result["error"]


@pytest.mark.parametrize("fields", [{"function_name": ""}, {"module_name": ""}])
def test_event_without_names_gets_no_reply(bl, fields):
    r, mark = rid(), bl.log_mark()
    bl.send({"type": "event_execution", "module_name": "fx", "function_name": "on_event", "request_id": r, **fields})
    bl.wait_for_log("[Kernel] event_execution missing module_name or function_name", since=mark)
    assert bl.no_message(0.5)


# --- callables handed to the add-in ---

REGISTER = textwrap.dedent("""\
    import tarvex
    def _shown(x):
        print("called with", x)
        return x * 2
    def _none():
        return None
    def _raises():
        print("about to fail")
        raise KeyError("k")
    tarvex.messaging._callable_registry["pyfunc_not_callable"] = 5
    _ids = [tarvex.messaging.register_callable(f) for f in (_shown, _none, _raises)]""") + "; _ids"


@pytest.fixture(scope="module")
def callables(bl):
    _, reply = bl.execute(REGISTER, rid(), function_name="register")
    return dict(zip(("shown", "none", "raises"), reply["result"]))


def callback(bl, callable_id, args=(), **extra):
    r = rid()
    bl.send({"type": "python_function_call", "callable_id": callable_id, "args": [wire(a) for a in args],
             "request_id": r, **extra})
    return mine(bl.until(lambda m: m["type"] == "python_function_result" and m.get("request_id") == r), r)


@pytest.mark.parametrize("name, args, out, result", [
    ("shown", [5], "Out: 10\n", wire(10)),
    ("none", [], "Out: None\n", wire(None)),
])
def test_callable_results(bl, callables, name, args, out, result):
    seen = callback(bl, callables[name], args, workbook_id=WB)
    r = seen[0]["request_id"]
    printed = [m for m in seen if m["type"] == "stdout"]
    assert all(m["source"] == "addin" and m["workbook_id"] == WB for m in printed)
    logs = "".join(m["content"] for m in printed)
    assert seen[len(printed):] == [
        {"type": "result_output", "content": out, "request_id": r, "workbook_id": WB},
        {"type": "python_function_result", "success": True, "result": result, "logs": logs, "request_id": r,
         "workbook_id": WB},
    ]


@pytest.mark.parametrize("callable_id, last_line, streamed", [
    ("pyfunc_unknown_1", "ValueError: Callable 'pyfunc_unknown_1' not found in registry", False),
    ("pyfunc_not_callable", "TypeError: Object with id 'pyfunc_not_callable' is not callable", False),
    ("raises", "KeyError: 'k'", True),
])
def test_callable_failures(bl, callables, callable_id, last_line, streamed):
    seen = callback(bl, callables.get(callable_id, callable_id))
    result = seen[-1]
    assert list(result) == ["type", "success", "error", "logs", "request_id", "workbook_id"]
    assert result["success"] is False and traceback_tail(result["error"]) == last_line
    stderr = "".join(m["content"] for m in seen if m["type"] == "stderr")
    assert bool(stderr) == streamed
    if streamed:
        assert stderr == result["error"] and result["logs"] == "about to fail\n" + stderr


def test_callable_without_id_is_a_validation_error(bl):
    seen = callback(bl, "")
    assert seen == [{"type": "python_function_result", "success": False,
                     "error": {"type": "ValidationError", "message": "Missing callable_id", "traceback": ""},
                     "request_id": seen[0]["request_id"], "workbook_id": None}]


# --- streaming functions ---

def stream(bl, function_name, args=(), module_name="fx", **extra):
    r = extra.pop("request_id", rid())
    bl.send({"type": "execute_streaming_function", "module_name": module_name, "function_name": function_name,
             "args": args, "request_id": r, **extra})
    return r


def stream_messages(bl, r):
    seen = bl.until(lambda m: m["type"] == "streaming_function_result" and m.get("request_id") == r and m["done"])
    return mine(seen, r)


def test_streamed_values_in_yield_order_then_done(bl):
    r = stream(bl, "count", [wire(3)], workbook_id="wb-s", source="ide")
    seen = stream_messages(bl, r)
    values = [m for m in seen if m["type"] == "streaming_function_result"]
    assert values == [
        {"type": "streaming_function_result", "request_id": r, "result": wire(v), "done": False, "workbook_id": WB}
        for v in (0, 10, 20)
    ] + [{"type": "streaming_function_result", "request_id": r, "done": True, "workbook_id": WB}]
    # Output streams with the message's workbook id and source, each line
    # before the value yielded after it.
    order = [m["content"] if m["type"] == "stdout" else m.get("result", {}).get("value") for m in joined_output(seen)]
    assert order == ["at 0\n", 0, "at 1\n", 10, "at 2\n", 20, None]
    assert {(m["workbook_id"], m["source"]) for m in seen if m["type"] == "stdout"} == {("wb-s", "ide")}
    bl.wait_for_log(f"[TIMING] Streaming completed: request_id={r}, elapsed=")
    assert bl.logs_matching(f"[TIMING] Streaming completed: request_id={r}, ")[0].endswith("ms, results=3")


@pytest.mark.parametrize("function_name, args, error", [
    ("listed", [], "Function listed is not a generator function"),
    ("absent", [], "Function not found: absent"),
    ("count", [{"type": "Int", "value": "x", "isSpec": False}], "invalid literal for int() with base 10: 'x'"),
])
def test_streaming_refusals(bl, function_name, args, error):
    r = stream(bl, function_name, args)
    seen = stream_messages(bl, r)
    assert seen[-1] == {"type": "streaming_function_result", "request_id": r, "error": error, "done": True,
                        "workbook_id": WB}
    assert not [m for m in seen if m["type"] == "streaming_function_result" and not m["done"]]
    if function_name == "listed":  # it ran, once
        assert "".join(m["content"] for m in seen if m["type"] == "stdout") == "ran once\n"


@pytest.mark.parametrize("bare, error", [(False, "stream broke"), (True, "ValueError")])
def test_generator_failing_after_two_values(bl, bare, error):
    r = stream(bl, "breaks_after_two", [{"type": "Bool", "value": bare, "isSpec": False}])
    seen = stream_messages(bl, r)
    results = [m for m in seen if m["type"] == "streaming_function_result"]
    assert [m.get("result") for m in results[:2]] == [wire(1), wire(2)]
    # A failure without a message still reads as a failure, never as done.
    assert results[2:] == [{"type": "streaming_function_result", "request_id": r, "error": error, "done": True,
                            "workbook_id": WB}]
    stderr = "".join(m["content"] for m in seen if m["type"] == "stderr")
    assert stderr.startswith("Traceback (most recent call last):\n") and "in breaks_after_two" in stderr


def test_cancel_after_the_second_value(bl):
    r = rid()
    stream(bl, "endless", [wire(r)], request_id=r)
    first_two = [bl.expect("streaming_function_result", request_id=r) for _ in range(2)]
    assert [m["result"] for m in first_two] == [wire(1), wire(2)]
    bl.send({"type": "cancel_streaming_function", "request_id": r})
    seen = stream_messages(bl, r)
    assert [m for m in seen if m["type"] == "streaming_function_result"] == [
        {"type": "streaming_function_result", "request_id": r, "result": "Canceled", "done": True, "workbook_id": WB}]
    bl.wait_for_log(f"[TIMING] Streaming canceled: request_id={r}")
    still = bl.execute(f"{r!r} in tarvex._kernel_instance._canceled_streaming_requests", rid())[1]
    assert still["result"] == "False"
    assert bl.no_message(0.3)


def test_module_sync_wait_ends_with_update_module(bl):
    r = stream(bl, "values", module_name="late_mod")
    assert bl.expect("request_module_sync") == {"type": "request_module_sync", "module_name": "late_mod",
                                                "workbook_id": WB}
    bl.request({"type": "update_module", "module_name": "late_mod", "code": "def values():\n    yield 'a'\n"},
               "module_updated")
    seen = stream_messages(bl, r)
    assert [m.get("result") for m in seen] == [wire("a"), None]


def test_module_never_synced(bl):
    # Without module_name the request names a module None, which never comes.
    r = rid()
    bl.send({"type": "execute_streaming_function", "function_name": "f", "request_id": r})
    assert bl.expect("request_module_sync") == {"type": "request_module_sync", "module_name": None,
                                                "workbook_id": WB}
    seen = stream_messages(bl, r)
    assert seen == [{"type": "streaming_function_result", "request_id": r,
                     "error": "Module 'None' not found after sync attempt", "done": True, "workbook_id": WB}]
    bl.wait_for_log("[Kernel] Module 'None' not found after sync attempt")
