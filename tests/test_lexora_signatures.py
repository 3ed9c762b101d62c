"""Signature help: the first signature around the cursor, for Monaco."""

import logging

import jedi
import pytest

from lexora_support import FakeParam, FakeSignature, bridge, fake_jedi, lsp_log, messages  # noqa: F401
from tarvex_master.python_server import lexora

FOO = "def foo(a, b=1):\n    pass\n"
EMPTY = {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": None}


def at_end(bridge, code, **kwargs):
    lines = code.split("\n")
    return bridge.get_signature_help(code, len(lines), len(lines[-1]), **kwargs)


@pytest.mark.parametrize("call, active", [("foo(", 0), ("foo(1, ", 1), ("foo(1, b=", 1)])
def test_signature_and_active_parameter(bridge, lsp_log, call, active):
    result = at_end(bridge, FOO + call)
    assert result == {
        "signatures": [{"label": "foo(a, b=1)", "documentation": "",
                        "parameters": [{"label": "a", "documentation": "param a"},
                                       {"label": "b", "documentation": "param b=1"}]}],
        "activeSignature": 0, "activeParameter": active, "error": None,
    }
    assert list(result) == ["signatures", "activeSignature", "activeParameter", "error"]
    assert list(result["signatures"][0]) == ["label", "documentation", "parameters"]
    assert messages(lsp_log)[0] == f"[LSP] Request: get_signature_help line=3, column={len(call)}, path=None"
    assert messages(lsp_log)[-1] == f"[LSP] Signature help: foo, activeParam={active}"


def test_docstring_is_the_raw_docstring(bridge):
    code = 'def documented(x):\n    """Does things."""\ndocumented('
    assert at_end(bridge, code)["signatures"][0]["documentation"] == "Does things."


def test_past_last_parameter_gives_zero(bridge):
    assert at_end(bridge, "def one(a): pass\none(1, 2, ")["activeParameter"] == 0


def test_cross_module_signature(bridge):
    result = at_end(bridge, "import kit\nkit.tool(", modules={"kit": "def tool(path, *, mode='r'): pass"})
    assert result["signatures"][0]["label"] == "tool(path, *, mode='r')"


def test_outside_any_call(bridge, lsp_log):
    assert at_end(bridge, "x = 1") == EMPTY
    assert "[LSP] No signatures found" in messages(lsp_log)


@pytest.mark.parametrize("line, column, error", [
    (0, 0, "line must be a positive integer (1-based)"),
    (1, -1, "column must be a non-negative integer (0-based)"),
    (9, 0, "`line` parameter is not in a valid range."),
])
def test_errors_are_reported_in_the_result(bridge, lsp_log, line, column, error):
    assert bridge.get_signature_help("foo(", line, column) == dict(EMPTY, error=error)
    assert (logging.ERROR, f"[LSP] Error in get_signature_help: {error}") in lsp_log()


def test_only_first_signature_and_lookup_failures(bridge, monkeypatch, lsp_log):
    first = FakeSignature(
        "ignored(x, y)", name="", index=None, doc=TypeError("no doc"),
        params=[FakeParam("x", description="the x"), FakeParam("y", description=AttributeError("gone")),
                FakeParam("z", description="")])
    second = FakeSignature("second(q)", name="second", index=3)
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, signatures=[first, second]))
    assert bridge.get_signature_help("anything", 1, 0) == {
        "signatures": [{"label": "function(x, y)", "documentation": "",
                        "parameters": [{"label": "x", "documentation": "the x"}, {"label": "y"}, {"label": "z"}]}],
        "activeSignature": 0, "activeParameter": 0, "error": None,
    }
    # The log names the signature as jedi does, without the stand-in.
    assert messages(lsp_log)[-1] == "[LSP] Signature help: , activeParam=0"


def test_other_failures_in_a_signature_become_the_error(bridge, monkeypatch):
    broken = FakeSignature("f(x)", doc=RuntimeError("docstring exploded"))
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, signatures=[broken]))
    assert bridge.get_signature_help("f(", 1, 2) == dict(EMPTY, error="docstring exploded")
