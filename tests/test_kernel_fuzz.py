"""The dispatcher under generated messages: every field of every incoming
type given wrong types, left out, null, huge or nested.

After each message a probe request must be answered: a message that cannot
be handled is refused with an error reply, never the end of the kernel. The
process must never crash (signal, abort) or hang.
"""

import itertools
import json

import pytest
import websockets
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kernel_wire import BusinessLayer, KernelGone

WB = "wb-fuzz"
PROBE_WAIT = 30.0

# Code and module texts come from a fixed list: generated source could
# legitimately run for ever (9**9**9) and prove nothing about the kernel.
SNIPPETS = ["1 + 1", "print('x')", "x = 1; x", "raise ValueError('v')", "def f(*a): return a",
            "def g():\n    yield 1\n    yield 2\n", "", "import sys", "(", "\x00", "é" * 3]

JSON_SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=30),
)
JSON_VALUES = st.recursive(
    JSON_SCALARS,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=8), inner, max_size=4)),
    max_leaves=12,
)
HUGE = st.sampled_from(["x" * 300_000, list(range(5_000)), {str(i): i for i in range(2_000)}])


def nested(depth):
    value = 0
    for _ in range(depth):
        value = [value]
    return value


DEEP = st.sampled_from([nested(200), {"a": nested(100)}])

WIRE_VALUES = st.lists(
    st.one_of(
        st.fixed_dictionaries({"type": st.sampled_from(["Int", "Float", "String", "Bool", "None", "Array", "Dict",
                                                        "Date", "Bytes", "Nope"]),
                               "value": JSON_VALUES, "isSpec": st.booleans()}),
        JSON_VALUES,
    ),
    max_size=3,
)


def field(good):
    """A field's value: a plausible one, or anything at all, huge or deep."""
    return st.one_of(good, JSON_VALUES, HUGE, DEEP)


NAMES = st.sampled_from(["mod", "fuzzmod", "os", "a.b", "no such", "x;y", "", "sys"])
FUNCTIONS = st.sampled_from(["f", "g", "missing", "", "__init__"])
TEXT = st.text(max_size=20)
IDS = st.one_of(TEXT, st.integers())
CODE = st.sampled_from(SNIPPETS)
PATHS = st.lists(st.sampled_from(["/tmp/fuzz-a", "/tmp/fuzz-b", "", "/"]), max_size=3)

# Field strategies per incoming type (shutdown is left out: it ends the
# connection by design).
MESSAGE_FIELDS = {
    "execution_request": {"code": CODE, "request_id": IDS, "function_name": TEXT, "source": TEXT},
    "add_path": {"path": st.sampled_from(["/tmp/fuzz-a", ""])},
    "remove_path": {"path": st.sampled_from(["/tmp/fuzz-a", ""])},
    "reset_namespace": {},
    "reset_path": {},
    "set_package_paths": {"old_paths": PATHS, "new_paths": PATHS},
    "set_python_paths": {"old_paths": PATHS, "new_paths": PATHS},
    "unload_and_clear_paths": {"paths": PATHS},
    "update_module": {"module_name": NAMES, "code": CODE},
    "delete_module": {"module_name": NAMES},
    "completion_request": {"code": CODE, "line": st.integers(-2, 5), "column": st.integers(-2, 20),
                           "path": TEXT, "dirty_files": st.dictionaries(NAMES, CODE, max_size=2),
                           "request_id": IDS},
    "signature_help_request": {"code": CODE, "line": st.integers(-2, 5), "column": st.integers(-2, 20)},
    "hover_request": {"code": CODE, "line": st.integers(-2, 5), "column": st.integers(-2, 20)},
    "diagnostic_request": {"code": CODE, "module_name": NAMES},
    "custom_function_call": {"module_name": NAMES, "function_name": FUNCTIONS, "args": WIRE_VALUES,
                             "request_id": IDS, "workbook_id": TEXT, "source": TEXT},
    "run_module": {"module_name": NAMES, "function_name": FUNCTIONS, "args": WIRE_VALUES,
                   "debug": st.just(False), "request_id": IDS},
    "event_execution": {"module_name": NAMES, "function_name": FUNCTIONS, "args": WIRE_VALUES,
                        "request_id": IDS, "event_type": TEXT},
    "python_function_call": {"callable_id": TEXT, "args": WIRE_VALUES, "request_id": IDS},
    "execute_streaming_function": {"module_name": st.sampled_from(["fuzzmod"]), "function_name": FUNCTIONS,
                                   "args": WIRE_VALUES, "request_id": IDS},
    "cancel_streaming_function": {"request_id": IDS},
    "debug_continue": {}, "debug_step_over": {}, "debug_step_into": {}, "debug_step_out": {},
    "debug_stop": {},
    "debug_evaluate": {"expression": TEXT, "request_id": IDS},
    "debug_update_breakpoints": {"breakpoints": JSON_VALUES},
    "sys_response": {"payload": st.one_of(st.fixed_dictionaries({"requestId": IDS, "ok": st.booleans(),
                                                                 "result": JSON_VALUES}), JSON_VALUES)},
    "get_object_registry": {},
    "set_hover_mode": {"mode": st.sampled_from(["compact", "detailed"])},
    "chunk": {"chunk_id": IDS, "chunk_index": st.integers(-1, 3), "total_chunks": st.integers(-1, 2**40),
              "data": TEXT},
}


@st.composite
def messages(draw):
    kind = draw(st.sampled_from(sorted(MESSAGE_FIELDS)))
    message = {"type": kind}
    for name, good in MESSAGE_FIELDS[kind].items():
        choice = draw(st.sampled_from(["good", "good", "any", "missing", "null"]))
        if choice == "good":
            message[name] = draw(good)
        elif choice == "any":
            message[name] = draw(field(good))
        elif choice == "null":
            message[name] = None
    return message


class Kernels:
    """One kernel for the whole run; the user's names must survive every message."""

    def __init__(self):
        self.layer = BusinessLayer(WB, log_level="warning")
        self.layer.request({"type": "update_module", "module_name": "fuzzmod",
                            "code": "def f(*a):\n    return a\n\ndef g(*a):\n    yield from a\n"},
                           "module_updated")
        self.probes = itertools.count()

    def probe(self, message, send=None):
        probe_id = f"probe-{next(self.probes)}"
        try:
            (send or self.layer.send)(message)
            self.layer.send({"type": "execution_request", "code": "'alive'", "request_id": probe_id})
            self.layer.until(lambda m: m.get("type") == "execution_result" and m.get("request_id") == probe_id,
                             timeout=PROBE_WAIT)
        except (KernelGone, websockets.ConnectionClosed) as gone:
            pytest.fail(f"the kernel ended or hung after {message!r}: {gone}\n" + "\n".join(self.layer.log_lines[-20:]))

    def close(self):
        self.layer.close()


@pytest.fixture(scope="module")
def kernels():
    k = Kernels()
    yield k
    k.close()


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(message=messages())
def test_generated_messages_never_crash_or_hang_the_kernel(kernels, message):
    json.dumps(message)  # the strategies only make JSON
    kernels.probe(message)


def test_non_object_frames_are_refused(kernels):
    for frame in ("[1, 2]", '"text"', "3", "null"):
        kernels.probe(frame, send=kernels.layer.send_raw)
    assert kernels.layer.process.poll() is None
