"""The editor's language requests over the wire: the kernel asks its
language services and answers with one response echoing the request's ids."""

import time
import uuid

import pytest

from kernel_wire import BusinessLayer

WB = "wb-editor"


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB)
    layer.request({"type": "update_module", "module_name": "helpers",
                   "code": "def greet(name):\n    return 'hi ' + name\n"}, "module_updated")
    yield layer
    layer.close()


def rid():
    return uuid.uuid4().hex[:10]


def labels(response):
    return {item["label"] for item in response["completions"]}


@pytest.mark.parametrize(
    "request_type, response_type, result_keys",
    [
        ("completion_request", "completion_response", ["completions"]),
        ("signature_help_request", "signature_help_response", ["signatures", "activeSignature", "activeParameter"]),
        ("hover_request", "hover_response", ["contents"]),
        ("diagnostic_request", "diagnostic_response", ["diagnostics"]),
    ],
)
def test_responses_echo_the_request_ids_in_order(bl, request_type, response_type, result_keys):
    r = rid()
    response = bl.request({"type": request_type, "code": "x = 1\n", "request_id": r,
                           "workbook_id": "wb-x", "module_name": "mod"}, response_type)
    assert list(response) == ["type", *result_keys, "error", "request_id", "workbook_id", "module_name"]
    assert (response["request_id"], response["workbook_id"], response["module_name"]) == (r, "wb-x", "mod")
    # Absent ids are echoed as null.
    bare = bl.request({"type": request_type, "code": "x = 1\n"}, response_type)
    assert (bare["request_id"], bare["workbook_id"], bare["module_name"]) == (None, None, None)


def test_completion_across_modules_and_dirty_buffers(bl):
    code = "import helpers\nhelpers."
    synced = bl.request({"type": "completion_request", "code": code, "line": 2, "column": 8}, "completion_response")
    assert "greet" in labels(synced) and synced["error"] is None
    dirty = bl.request({"type": "completion_request", "code": code, "line": 2, "column": 8,
                        "dirty_files": {"helpers": "def wave():\n    pass\n"}}, "completion_response")
    assert "wave" in labels(dirty) and "greet" not in labels(dirty)


def test_completion_defaults_and_refusals(bl):
    at_start = bl.request({"type": "completion_request", "code": "pri"}, "completion_response")
    assert at_start["error"] is None  # line 1, column 0
    zero = bl.request({"type": "completion_request", "code": "x", "line": 0}, "completion_response")
    assert (zero["completions"], zero["error"]) == ([], "line must be a positive integer (1-based)")
    alias = bl.request({"type": "completion_request", "code": "import numpy as n", "line": 1, "column": 17},
                       "completion_response")
    assert (alias["completions"], alias["error"]) == ([], None)
    bl.wait_for_log("[LSP] In import alias context, returning empty completions")


def test_signature_help_and_hover(bl):
    code = "import helpers\nhelpers.greet("
    help_ = bl.request({"type": "signature_help_request", "code": code, "line": 2, "column": 14},
                       "signature_help_response")
    assert help_["signatures"] and "name" in help_["signatures"][0]["label"]
    assert help_["activeSignature"] == 0 and help_["activeParameter"] == 0
    blank = bl.request({"type": "hover_request", "code": "\n\n", "line": 2, "column": 0}, "hover_response")
    assert (blank["contents"], blank["error"]) == (None, None)
    bl.wait_for_log("[LSP] Hover response: has_contents=False, error=None")


def test_diagnostics_ignore_dirty_files(bl):
    response = bl.request({"type": "diagnostic_request", "code": "print(undefined_name)\n", "module_name": "m",
                           "dirty_files": {"m": "oops("}}, "diagnostic_response")
    assert [d["message"] for d in response["diagnostics"]] == ["undefined name 'undefined_name'"]
    bl.wait_for_log("[LSP] Diagnostic request: code_length=22, module=m")


def test_null_line_is_refused_and_the_kernel_goes_on(bl):
    bl.send({"type": "completion_request", "code": "x", "line": None, "request_id": "n1"})
    error = bl.expect("error", request_id="n1")
    assert error["message"].startswith("Could not handle message of type 'completion_request': TypeError")
    assert bl.execute("1 + 1", "after-n1")[1]["result"] == "2"

def test_editor_requests_are_answered_once_in_arrival_order(bl):
    kinds = ["completion_request", "diagnostic_request", "hover_request", "signature_help_request",
             "completion_request", "diagnostic_request"]
    ids = [rid() for _ in kinds]
    for kind, r in zip(kinds, ids):
        bl.send({"type": kind, "code": "import helpers\nhelpers.greet(", "line": 2, "column": 8, "request_id": r})
    seen = bl.until(lambda m: m.get("request_id") == ids[-1])
    assert [m["request_id"] for m in seen if m["type"].endswith("_response")] == ids


def test_slow_analysis_holds_up_no_execution(fresh):
    # A cold pandas completion takes the analysis thread for a good while;
    # an execution sent just after it is answered first.
    layer = fresh(log_level="info")
    code = "import pandas as pd\npd.DataFrame().gr"
    layer.send({"type": "completion_request", "code": code, "line": 2, "column": 17, "request_id": "slow"})
    time.sleep(0.05)
    layer.send({"type": "execution_request", "code": "1 + 1", "request_id": "quick"})
    seen = layer.until(lambda m: m["type"] == "completion_response")
    if not any(m["type"] == "execution_result" for m in seen):
        seen += layer.until(lambda m: m["type"] == "execution_result")
    # Answered after the completion: a second reply to either would be here by now.
    layer.send({"type": "hover_request", "code": "x", "request_id": "last"})
    seen += layer.until(lambda m: m.get("request_id") == "last")
    replies = [m["type"] for m in seen if m["type"] in ("completion_response", "execution_result")]
    assert replies == ["execution_result", "completion_response"]
    assert "groupby" in labels(next(m for m in seen if m["type"] == "completion_response"))
