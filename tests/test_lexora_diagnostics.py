"""Diagnostics: syntax, pyflakes and unresolved-import markers for Monaco."""

import logging
import sys
import types

import pytest

from lexora_support import bridge, lsp_log, messages  # noqa: F401
from tarvex_master.python_server import lexora


def marker(line, column, end_line, end_column, message, severity):
    return {"startLineNumber": line, "startColumn": column, "endLineNumber": end_line,
            "endColumn": end_column, "message": message, "severity": severity}


def unresolved(name, line, column, end_line, end_column):
    return marker(line, column, end_line, end_column, f"import '{name}' could not be resolved", 8)


def test_empty_code(bridge):
    assert bridge.get_diagnostics("") == {"diagnostics": [], "error": None}


def test_syntax_error_is_the_only_marker(bridge, lsp_log):
    result = bridge.get_diagnostics("import nosuchmodule_xyz\nx = (")
    assert result == {"diagnostics": [marker(2, 5, 2, 6, "'(' was never closed", 8)], "error": None}
    assert "[LSP] Syntax error at line 2, col 5: '(' was never closed" in messages(lsp_log)
    assert not any("Pyflakes" in text or "Import check" in text for text in messages(lsp_log))


def test_unused_import_marks_the_name(bridge):
    assert bridge.get_diagnostics("import os") == {
        "diagnostics": [marker(1, 1, 1, 3, "'os' imported but unused", 4)], "error": None}


def test_errors_sort_before_warnings(bridge, lsp_log):
    code = "import nosuchmodule_xyz\ny = undefined_name\n"
    assert bridge.get_diagnostics(code)["diagnostics"] == [
        unresolved("nosuchmodule_xyz", 1, 1, 1, 24),
        marker(1, 1, 1, 17, "'nosuchmodule_xyz' imported but unused", 4),
        marker(2, 5, 2, 6, "undefined name 'undefined_name'", 4),
    ]
    assert messages(lsp_log)[:3] == [
        f"[LSP] Request: get_diagnostics, code_length={len(code)}",
        "[LSP] Pyflakes returned 2 diagnostics",
        "[LSP] Import check found 1 unresolved imports",
    ]


def test_pyflakes_errors_come_first(bridge, monkeypatch):
    class Reporter:
        def __init__(self, warnings, errors):
            self.warnings, self.errors = warnings, errors

    def check(code, filename, reporter):
        reporter.warnings.write(f"{filename}:1:1: a warning\n")
        reporter.errors.write(f"{filename}:2:3: an error\nsource line\n   ^\n")
        return 2

    monkeypatch.setattr(lexora, "pyflakes_api", types.SimpleNamespace(check=check))
    monkeypatch.setattr(lexora, "pyflakes_reporter", types.SimpleNamespace(Reporter=Reporter))
    assert bridge.get_diagnostics("import nosuchmodule_xyz", module_name="tools")["diagnostics"] == [
        marker(2, 3, 2, 4, "an error", 8),
        unresolved("nosuchmodule_xyz", 1, 1, 1, 24),
        marker(1, 1, 1, 2, "a warning", 4),
    ]


@pytest.mark.parametrize("code, expected", [
    ("from . import x", []),
    ("from .. import x", []),
    ("import os, nosuchmodule_xyz\nos", [unresolved("nosuchmodule_xyz", 1, 1, 1, 28)]),
    ("import nosuch_a, nosuch_b", [unresolved("nosuch_a", 1, 1, 1, 26), unresolved("nosuch_b", 1, 1, 1, 26)]),
    ("from .nosuch_sub import x\nx", [unresolved("nosuch_sub", 1, 1, 1, 26)]),
    ("def f():\n    import os.nosuch_child\n    os", [unresolved("os.nosuch_child", 2, 5, 2, 27)]),
    ("import nosuch_parent.child", [unresolved("nosuch_parent.child", 1, 1, 1, 27)]),
    ("from nosuch_pkg import (\n    a,\n)\na", [unresolved("nosuch_pkg", 1, 1, 3, 2)]),
    ("import sys, json\nsys, json", []),
])
def test_import_check(bridge, code, expected):
    found = [m for m in bridge.get_diagnostics(code)["diagnostics"] if m["message"].startswith("import ")]
    assert found == expected


def test_workbook_module_resolves_from_the_sync_directory(bridge):
    code = "import tools_only_here\ntools_only_here"
    assert bridge.get_diagnostics(code)["diagnostics"] == [unresolved("tools_only_here", 1, 1, 1, 23)]
    bridge.get_completions("x", 1, 0, modules={"tools_only_here": "def run(): pass"})
    assert bridge.get_diagnostics(code)["diagnostics"] == []


def missing(message, line, column, end_column):
    return marker(line, column, line, end_column, message, 8)


@pytest.mark.parametrize("helper, code, expected", [
    ("RATE = 1\n", "from kit import RATE, NOPE as N\nRATE, N",
     [missing("cannot import name 'NOPE' from 'kit'", 1, 23, 32)]),
    ("RATE = 1\n", "import kit as k\nk.RATE, k.NOPE", [missing("module 'kit' has no attribute 'NOPE'", 2, 11, 15)]),
    ("RATE = 1\n", "import kit\nx = ('é', kit.NOPE)", [missing("module 'kit' has no attribute 'NOPE'", 2, 15, 19)]),
    # Names from star imports and names bound through `global` are defined.
    ("from math import *\ndef f():\n    global G\n    G = 1\n", "import kit\nkit.pi, kit.G, kit.f", []),
    # Set by the code itself, or read through a name the code rebinds.
    ("RATE = 1\n", "import kit\nkit.NEW = 2\nkit.NEW", []),
    ("RATE = 1\n", "import kit\ndef f(kit):\n    return kit.NOPE", []),
    # A module-level __getattr__ may answer any name.
    ("def __getattr__(name):\n    return name\n", "from kit import anything\nanything", []),
])
def test_names_missing_from_a_workbook_module(bridge, helper, code, expected):
    bridge.sync_modules({"kit": helper})
    assert [m for m in bridge.get_diagnostics(code, "main")["diagnostics"] if m["severity"] == 8] == expected


def test_loaded_modules_resolve(bridge, monkeypatch):
    monkeypatch.setitem(sys.modules, "only_in_sys_modules", types.ModuleType("only_in_sys_modules"))
    assert bridge._can_resolve_import("only_in_sys_modules") is True
    assert bridge._can_resolve_import("json") is True
    assert bridge._can_resolve_import("nosuch_parent.child") is False
    assert bridge._can_resolve_import("") is False
    assert bridge._can_resolve_import("../outside") is False


@pytest.mark.parametrize("module_name, file_name", [("tools", "<tools>"), (None, "<editor>"), ("", "<editor>")])
def test_file_name_given_to_parser_and_pyflakes(bridge, monkeypatch, module_name, file_name):
    seen = []
    monkeypatch.setattr(lexora, "pyflakes_api", types.SimpleNamespace(check=lambda c, f, r: seen.append(f)))
    bridge.get_diagnostics("x = 1", module_name=module_name)
    assert seen == [file_name]
    # A syntax error names the same file in the parser's message.
    result = bridge.get_diagnostics("def f(:\n", module_name=module_name)
    assert [m["severity"] for m in result["diagnostics"]] == [8]


def test_without_pyflakes_the_import_check_still_runs(bridge, monkeypatch):
    monkeypatch.setattr(lexora, "PYFLAKES_AVAILABLE", False)
    assert bridge.get_diagnostics("import nosuchmodule_xyz")["diagnostics"] == [
        unresolved("nosuchmodule_xyz", 1, 1, 1, 24)]


def test_pyflakes_failure_keeps_the_import_check(bridge, monkeypatch, lsp_log):
    def check(code, filename, reporter):
        raise RuntimeError("checker crashed")

    monkeypatch.setattr(lexora, "pyflakes_api", types.SimpleNamespace(check=check))
    assert bridge.get_diagnostics("import nosuchmodule_xyz")["diagnostics"] == [
        unresolved("nosuchmodule_xyz", 1, 1, 1, 24)]
    assert (logging.WARNING, "[LSP] Pyflakes check failed: checker crashed") in lsp_log()


def test_import_check_failure(bridge, monkeypatch, lsp_log):
    def find_spec(name):
        raise RuntimeError("finder crashed")

    monkeypatch.setattr(lexora.importlib.util, "find_spec", find_spec)
    result = bridge.get_diagnostics("import json\nimport nosuch_one\njson")
    assert result == {"diagnostics": [marker(2, 1, 2, 11, "'nosuch_one' imported but unused", 4)], "error": None}
    assert (logging.WARNING, "[LSP] Import check failed: finder crashed") in lsp_log()


def test_unexpected_failure_becomes_the_error(bridge, monkeypatch, lsp_log):
    def parse(*args, **kwargs):
        raise MemoryError("parser out of memory")

    monkeypatch.setattr(lexora.ast, "parse", parse)
    assert bridge.get_diagnostics("x") == {"diagnostics": [], "error": "parser out of memory"}
    assert (logging.ERROR, "[LSP] Error in get_diagnostics: parser out of memory") in lsp_log()


@pytest.mark.parametrize("message, expected", [
    ("<editor>:3:8: 'os' imported but unused", marker(3, 8, 3, 10, "'os' imported but unused", 4)),
    ("<editor>:5: message", marker(5, 1, 5, 2, "message", 4)),
    ("C:\\dir\\a.py:2:1: undefined name 'x'", marker(2, 1, 2, 2, "undefined name 'x'", 4)),
    ("<editor>:1:1:   ''quoted", marker(1, 1, 1, 2, "''quoted", 4)),
    ("<editor>:1:4: 'naïve' unused", marker(1, 4, 1, 9, "'naïve' unused", 4)),
    ("", None),
    ("source line without a position", None),
    ("   ^", None),
])
def test_parse_pyflakes_message(bridge, message, expected):
    assert bridge._parse_pyflakes_message(message, 4) == expected


def test_parse_pyflakes_message_failure_is_logged(bridge, monkeypatch, lsp_log):
    class Pattern:
        def match(self, text):
            raise ValueError("bad pattern")

    monkeypatch.setattr(lexora, "PYFLAKES_MESSAGE_PATTERN", Pattern())
    assert bridge._parse_pyflakes_message("<editor>:1:1: x", 8) is None
    assert messages(lsp_log) == ["[LSP] Failed to parse pyflakes message '<editor>:1:1: x': bad pattern"]


def test_run_pyflakes_directly(bridge, lsp_log):
    assert bridge._run_pyflakes("import os\n", "<m>") == [marker(1, 1, 1, 3, "'os' imported but unused", 4)]
    assert bridge._run_pyflakes("x = 1\n", "<m>") == []
    assert bridge._check_unresolved_imports("import nosuch_q", None) == [unresolved("nosuch_q", 1, 1, 1, 16)]
    assert bridge._check_unresolved_imports("x = (", "m") == []
    assert (logging.WARNING, "[LSP] Import check failed: '(' was never closed (<unknown>, line 1)") in lsp_log()
