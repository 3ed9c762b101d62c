"""Hover: Markdown for the name under the cursor, compact or detailed."""

import logging

import jedi
import pytest

from lexora_support import FakeName, FakeSignature, bridge, fake_jedi, lsp_log, messages  # noqa: F401
from tarvex_master.python_server import lexora

FOO = 'def foo(a, b=1):\n    """Adds."""\n    return a\n'
SEP = "\n\n---\n\n"


def block(header):
    return f"```python\n{header}\n```"


def hover(bridge, code, line, column, **kwargs):
    result = bridge.get_hover(code, line, column, **kwargs)
    assert list(result) == ["contents", "error"]
    return result


def markdown(text):
    return {"contents": {"kind": "markdown", "value": text}, "error": None}


@pytest.mark.parametrize("mode, expected", [
    ("compact", block("(function) foo(a, b=1)")),
    ("detailed", block("__main__.foo(a, b=1)") + SEP + "foo(a, b=1)\n\nAdds."),
])
def test_function_in_both_modes(bridge, lsp_log, mode, expected):
    bridge.set_hover_mode(mode)
    assert hover(bridge, FOO + "foo(1)", 4, 1) == markdown(expected)
    assert messages(lsp_log)[1] == "[LSP] Request: get_hover line=4, column=1, path=None"
    assert "[LSP] Hover: found 1 definitions" in messages(lsp_log)


@pytest.mark.parametrize("mode, code, column, expected", [
    ("compact", "import json\njson", 1, block("(module) json")),
    ("detailed", "import json\njson", 1, block("module json")),
    ("compact", "class Box: pass\nBox", 1, block("(class) Box")),
    ("detailed", "class Box: pass\nBox", 1, block("class __main__.Box")),
    ("compact", "count = 3\ncount", 1, block("(instance) int: instance int")),
    ("detailed", "count = 3\ncount", 1, block("builtins.int: instance int")),
])
def test_headers_by_type(bridge, mode, code, column, expected):
    bridge.set_hover_mode(mode)
    value = hover(bridge, code, 2, column)["contents"]["value"]
    assert value.split(SEP)[0] == expected
    if mode == "compact":
        assert SEP not in value


def test_module_path_gives_full_name_of_the_module(bridge):
    bridge.set_hover_mode("detailed")
    result = hover(bridge, FOO + "foo(1)", 4, 1, path="calc")
    assert result["contents"]["value"].startswith(block("calc.foo(a, b=1)"))


def test_two_definitions_in_detailed_mode(bridge, monkeypatch):
    names = [FakeName("one", full_name="m.one", signatures=[FakeSignature("one(a)")], doc="One."),
             FakeName("Two", type="class", full_name="m.Two", doc="Two.")]
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, infer=names))
    bridge.set_hover_mode("detailed")
    assert hover(bridge, "x", 1, 0) == markdown(SEP.join([block("m.one(a)"), "One.", block("class m.Two"), "Two."]))


def test_mode_change_applies_to_the_next_request(bridge):
    compact = hover(bridge, FOO + "foo", 4, 1)
    bridge.set_hover_mode("detailed")
    detailed = hover(bridge, FOO + "foo", 4, 1)
    bridge.set_hover_mode("verbose")
    assert hover(bridge, FOO + "foo", 4, 1) == detailed != compact


def test_keyword_falls_back_to_help(bridge, lsp_log):
    result = hover(bridge, "for x in y: pass", 1, 1)
    value = result["contents"]["value"]
    assert value.startswith(block("(keyword for) for") + SEP + 'The "for" statement')
    assert "[LSP] infer() returned empty, trying help() as fallback" in messages(lsp_log)
    assert "[LSP] Hover (from help()): found 1 results" in messages(lsp_log)


def test_blank_space_gives_nothing(bridge, lsp_log):
    assert hover(bridge, "x = 1\n\n", 2, 0) == {"contents": None, "error": None}
    assert messages(lsp_log)[-2:] == ["[LSP] infer() returned empty, trying help() as fallback",
                                      "[LSP] No type information found for hover"]


@pytest.mark.parametrize("line, column, error", [
    (0, 0, "line must be a positive integer (1-based)"),
    (1, -3, "column must be a non-negative integer (0-based)"),
    (7, 0, "`line` parameter is not in a valid range."),
])
def test_errors_are_reported_in_the_result(bridge, lsp_log, line, column, error):
    assert hover(bridge, "x = 1", line, column) == {"contents": None, "error": error}
    assert (logging.ERROR, f"[LSP] Error in get_hover: {error}") in lsp_log()


class Exploding:
    """A jedi name whose every lookup raises."""

    @property
    def name(self):
        raise RuntimeError("no name")

    type = full_name = name


def test_only_definition_failing_gives_no_contents(bridge, monkeypatch, lsp_log):
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, infer=[Exploding()]))
    assert hover(bridge, "x", 1, 0) == {"contents": None, "error": None}
    assert "[LSP] Error formatting compact hover: no name" in messages(lsp_log)
    assert "[LSP] Hover: found 1 definitions" in messages(lsp_log)


def test_failing_definition_is_left_out(bridge, monkeypatch):
    good = FakeName("fine", type="class")
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, infer=[Exploding(), good]))
    assert hover(bridge, "x", 1, 0) == markdown(block("(class) fine"))


@pytest.mark.parametrize("mode, expected", [
    ("compact", block("(function) f")),
    ("detailed", block("mod.f") + SEP + "Doc."),
])
def test_signature_lookup_failure_gives_header_without_signature(bridge, monkeypatch, mode, expected):
    name = FakeName("f", full_name="mod.f", signatures=RuntimeError("no sig"), doc="Doc.")
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, infer=[name]))
    bridge.set_hover_mode(mode)
    assert hover(bridge, "f", 1, 0) == markdown(expected)


def test_detailed_docstring_failure_leaves_piece_out(bridge, monkeypatch):
    names = [FakeName("v", type="statement", full_name="", description="", doc=ValueError("x")),
             FakeName("g", type="function", signatures=[], doc="")]
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, infer=names))
    bridge.set_hover_mode("detailed")
    assert hover(bridge, "v", 1, 0) == markdown(block("v: statement") + SEP + block("g"))


@pytest.mark.parametrize("names, expected", [
    ([FakeName("kw", description="keyword", doc="Doc.")], block("(keyword) kw") + SEP + "Doc."),
    ([FakeName("plain")], block("plain")),
    ([FakeName("", description="keyword", doc="Only doc.")], "Only doc."),
    ([FakeName(None, doc=RuntimeError("x")), FakeName("b", doc="B.")], block("b") + SEP + "B."),
])
def test_help_fallback_headers(bridge, monkeypatch, lsp_log, names, expected):
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, help=names))
    assert hover(bridge, "x", 1, 0) == markdown(expected)
    assert f"[LSP] Hover (from help()): found {len(names)} results" in messages(lsp_log)


def test_help_fallback_failure(bridge, monkeypatch, lsp_log):
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, help=RuntimeError("help broke")))
    assert hover(bridge, "x", 1, 0) == {"contents": None, "error": None}
    assert messages(lsp_log)[-2:] == ["[LSP] help() fallback failed: help broke",
                                      "[LSP] No type information found for hover"]


def test_help_without_pieces_finds_nothing(bridge, monkeypatch, lsp_log):
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, help=[FakeName("")]))
    assert hover(bridge, "x", 1, 0) == {"contents": None, "error": None}
    assert messages(lsp_log)[-1] == "[LSP] No type information found for hover"


@pytest.mark.parametrize("definition, fallback, expected", [
    (FakeName("n", description="instance int"), "statement", "instance int"),
    (FakeName("n", description=""), "statement", "statement"),
    (FakeName("n"), "param", "param"),
])
def test_type_description(bridge, definition, fallback, expected):
    assert bridge._get_type_description(definition, fallback) == expected


@pytest.mark.parametrize("definition, expected", [
    (FakeName("f", signatures=[FakeSignature("f(x)")]), block("(function) f(x)")),
    (FakeName(None, type="class"), block("(class) ")),
    (FakeName("p", type="param", description="param p"), block("(param) p: param p")),
    (Exploding(), None),
])
def test_format_compact_hover(bridge, definition, expected):
    assert bridge._format_compact_hover(definition) == expected
