"""Lexora's module globals, construction, configuration, module files and
small helpers."""

import logging
import os
import re

import jedi
import pytest

from lexora_support import FakeParam, FakeSignature, bridge, lsp_log, messages  # noqa: F401
from tarvex_master.python_server import lexora

SERVER_DIR = os.path.dirname(os.path.abspath(lexora.__file__))
STUBS = os.path.join(SERVER_DIR, "stubs")


def test_module_globals():
    assert lexora.JEDI_TO_MONACO_KIND == {
        "function": 1, "class": 5, "module": 7, "property": 8, "instance": 4,
        "param": 4, "statement": 4, "keyword": 13, "path": 17,
    }
    assert (lexora.MONACO_MARKER_SEVERITY_ERROR, lexora.MONACO_MARKER_SEVERITY_WARNING) == (8, 4)
    assert lexora.PYFLAKES_AVAILABLE is True and lexora.PYLSP_AVAILABLE is False
    assert isinstance(lexora.IMPORT_ALIAS_PATTERN, re.Pattern)
    assert lexora.PYFLAKES_MESSAGE_PATTERN.match("<editor>:3:8: 'os' imported but unused").groups() == (
        "<editor>", "3", "8", "'os' imported but unused")
    assert lexora.logger.name == "tarvex_master.python_server.lexora"
    assert callable(lexora.setup_logging_subprocess) and callable(lexora.get_logger)


@pytest.mark.parametrize("text, matches", [
    ("import numpy as ", True), ("import numpy as n", True), ("  from a.b import c as x", True),
    ("import numpy", False), ("x = numpy.", False), ("import numpy as np, os", False),
])
def test_import_alias_pattern(text, matches):
    assert bool(lexora.IMPORT_ALIAS_PATTERN.match(text)) is matches


def test_new_bridge_state(lsp_log):
    bridge = lexora.Lexora()
    try:
        sync_dir = bridge._temp_dir.name
        assert os.path.isdir(sync_dir) and os.listdir(sync_dir) == []
        assert bridge._hover_mode == "compact" and bridge._workspace_path is None
        assert bridge._python_server_path == SERVER_DIR and bridge._stubs_path == STUBS
        assert isinstance(bridge._jedi_project, jedi.Project)
        assert str(bridge._jedi_project.path) == sync_dir
        assert bridge._jedi_project.added_sys_path == [STUBS]
        assert (logging.INFO, f"[LSP] Lexora initialized (pylsp_available=False, pyflakes_available=True, "
                f"temp_dir={sync_dir}, python_server={SERVER_DIR}, stubs={STUBS})") in lsp_log()
    finally:
        bridge.cleanup()


def test_set_workspace_records_path_only(bridge, lsp_log):
    project = bridge._jedi_project
    assert bridge.set_workspace("/some/where") is None
    assert bridge._workspace_path == "/some/where" and bridge._jedi_project is project
    assert messages(lsp_log) == ["[LSP] Workspace path recorded: /some/where (using temp_dir for jedi.Project)"]


def test_hover_mode_changes_only_to_known_modes(bridge, lsp_log):
    bridge.set_hover_mode("detailed")
    bridge.set_hover_mode("verbose")
    assert bridge._hover_mode == "detailed"
    assert lsp_log() == [
        (logging.INFO, "[LSP] Hover mode set to: detailed"),
        (logging.WARNING, "[LSP] Invalid hover mode 'verbose', keeping current: detailed"),
    ]
    with pytest.raises(AttributeError):
        bridge._hover_mode = "verbose"


@pytest.mark.parametrize("new_paths, expected, logged_new", [
    (["A", "B", "A"], ["A", "B"], 3),
    ([STUBS, "A"], ["A"], 2),
    ([], [], 0),
])
def test_update_sys_paths(bridge, lsp_log, new_paths, expected, logged_new):
    bridge.update_sys_paths(new_paths)
    project = bridge._jedi_project
    assert project.added_sys_path == [STUBS, SERVER_DIR] + expected
    assert str(project.path) == bridge._temp_dir.name
    total = 2 + len(expected)
    assert messages(lsp_log) == [
        f"[LSP] Updated jedi project with {total} total paths ({logged_new} package paths, stubs path: {STUBS})"]


def test_update_sys_paths_failure_keeps_project(bridge, lsp_log, monkeypatch):
    project = bridge._jedi_project

    class Unhashable:
        def __eq__(self, other):
            raise RuntimeError("cannot compare")

    bridge.update_sys_paths([Unhashable()])
    assert bridge._jedi_project is project
    [(level, text)] = lsp_log()
    assert level == logging.ERROR and text == "[LSP] Failed to update sys paths: cannot compare"


def test_update_sys_paths_after_cleanup_has_no_root(bridge):
    bridge.cleanup()
    bridge.update_sys_paths(["A"])
    assert bridge._jedi_project.added_sys_path == [STUBS, SERVER_DIR, "A"]


def read(bridge, name):
    with open(os.path.join(bridge._temp_dir.name, name), encoding="utf-8") as f:
        return f.read()


def test_sync_merges_dirty_files(bridge, lsp_log):
    bridge.sync_modules({"m": "x = 1", "pkg.mod": "é = 'ü'\r\n"}, {"m": "x = 2", "n": "y = 3"})
    assert sorted(os.listdir(bridge._temp_dir.name)) == ["m.py", "n.py", "pkg.mod.py"]
    assert read(bridge, "m.py") == "x = 2" and read(bridge, "n.py") == "y = 3"
    with open(os.path.join(bridge._temp_dir.name, "pkg.mod.py"), "rb") as f:
        assert f.read() == "é = 'ü'\r\n".encode("utf-8")
    sync_dir = bridge._temp_dir.name
    assert messages(lsp_log) == [f"[LSP] Synced module '{name}' to {sync_dir}/{name}.py" for name in ("m", "pkg.mod", "n")]


def test_sync_with_empty_dirty_files_writes_modules_only(bridge):
    bridge.sync_modules({"m": "x = 1"}, {})
    assert os.listdir(bridge._temp_dir.name) == ["m.py"]


@pytest.mark.parametrize("name", ["../escape", "a/b", "..", "", ".hidden", "a..b", "a\\b", "1abc", "x\0y"])
def test_sync_refuses_names_that_are_not_module_names(bridge, lsp_log, name):
    parent = os.path.dirname(bridge._temp_dir.name)
    before = set(os.listdir(parent))
    bridge.sync_modules({name: "x = 1", "ok": "y = 2"})
    assert os.listdir(bridge._temp_dir.name) == ["ok.py"]
    assert set(os.listdir(parent)) == before
    assert (logging.WARNING, f"[LSP] Skipping module with invalid name {name!r}: not a dotted module name") in lsp_log()


def test_sync_failure_of_one_module_goes_on(bridge, lsp_log):
    os.mkdir(os.path.join(bridge._temp_dir.name, "blocked.py"))
    bridge.sync_modules({"blocked": "x = 1", "bad_text": "\ud800", "ok": "y = 2"})
    assert read(bridge, "ok.py") == "y = 2"
    warnings = messages(lsp_log, logging.WARNING)
    assert warnings[0] == (f"[LSP] Failed to sync module 'blocked': [Errno 21] Is a directory: "
                           f"'{bridge._temp_dir.name}/blocked.py'")
    assert warnings[1].startswith("[LSP] Failed to sync module 'bad_text': 'utf-8' codec can't encode")


def test_unchanged_module_files_are_not_rewritten(bridge, lsp_log):
    path = os.path.join(bridge._temp_dir.name, "m.py")
    bridge.sync_modules({"m": "x = 1", "n": "y = 1"})
    first = os.stat(path)
    lsp_log.clear()
    bridge.sync_modules({"m": "x = 1", "n": "y = 2"})
    assert os.stat(path).st_mtime_ns == first.st_mtime_ns
    assert messages(lsp_log) == [f"[LSP] Synced module 'n' to {bridge._temp_dir.name}/n.py"]


@pytest.mark.parametrize("disturb", ["edit", "remove", "touch"])
def test_module_file_changed_behind_our_back_is_rewritten(bridge, disturb):
    path = os.path.join(bridge._temp_dir.name, "m.py")
    bridge.sync_modules({"m": "x = 1"})
    if disturb == "edit":
        with open(path, "w") as f:
            f.write("x = 9")
    elif disturb == "remove":
        os.remove(path)
    else:
        os.utime(path, ns=(0, 0))
    bridge.sync_modules({"m": "x = 1"})
    assert read(bridge, "m.py") == "x = 1"
    assert os.stat(path).st_mtime_ns != 0


def test_rewritten_module_is_seen_by_the_next_analysis(bridge):
    # Rewrites follow each other closely; every one must be analysed afresh.
    for round in range(20):
        name = f"tool_{round}"
        result = bridge.get_completions("import kit\nkit.", 2, 4, modules={"kit": f"def {name}(): pass"})
        assert [item["label"] for item in result["completions"]] == [name]


def test_delete_module(bridge, lsp_log):
    bridge.sync_modules({"m": "x = 1"})
    lsp_log.clear()
    bridge.delete_module("m")
    bridge.delete_module("never_synced")
    assert os.listdir(bridge._temp_dir.name) == []
    assert messages(lsp_log) == ["[LSP] Deleted module file 'm'"]
    # The file comes back on the next sync even with the same text.
    bridge.sync_modules({"m": "x = 1"})
    assert read(bridge, "m.py") == "x = 1"


@pytest.mark.parametrize("name", ["../victim", "a/b"])
def test_delete_module_refuses_names_outside_the_directory(bridge, lsp_log, name, tmp_path):
    victim = os.path.join(os.path.dirname(bridge._temp_dir.name), "victim.py")
    open(victim, "w").close()
    try:
        bridge.delete_module(name)
        assert os.path.exists(victim)
        assert messages(lsp_log) == [f"[LSP] Not deleting module with invalid name {name!r}: not a dotted module name"]
    finally:
        os.remove(victim)


def test_delete_module_failure_is_logged(bridge, lsp_log):
    os.mkdir(os.path.join(bridge._temp_dir.name, "d.py"))
    bridge.delete_module("d")
    assert messages(lsp_log) == [
        f"[LSP] Failed to delete module file 'd': [Errno 21] Is a directory: '{bridge._temp_dir.name}/d.py'"]


def test_cleanup(lsp_log):
    bridge = lexora.Lexora()
    sync_dir = bridge._temp_dir.name
    bridge.sync_modules({"m": "x = 1"})
    lsp_log.clear()
    bridge.cleanup()
    bridge.cleanup()
    assert not os.path.exists(sync_dir) and bridge._temp_dir is None
    assert messages(lsp_log) == ["[LSP] Cleaned up temporary directory"]
    for call in (lambda: bridge.sync_modules({"m": "x"}), lambda: bridge.delete_module("m")):
        with pytest.raises(AttributeError):
            call()
    # Requests still answer, reporting what fails.
    assert bridge.get_completions("import os\nos.pa", 2, 5)["error"] is None
    assert bridge.get_completions("x", 1, 1, path="utils")["error"] == "'NoneType' object has no attribute 'name'"


def test_cleanup_failure_is_logged(bridge, lsp_log):
    class Broken:
        name = "/nonexistent"

        def cleanup(self):
            raise OSError("busy")

    bridge._temp_dir = Broken()
    bridge.cleanup()
    assert bridge._temp_dir is None
    assert messages(lsp_log) == ["[LSP] Failed to cleanup temporary directory: busy"]


@pytest.mark.parametrize("code, line, column, prefix", [
    ("x = foo._ba", 1, 11, "_ba"), ("foo(", 1, 4, ""), ("abc", 0, 3, ""), ("abc", 2, 3, ""),
    ("a\nbcd efg", 2, 100, "efg"), ("x = 9abc", 1, 8, "abc"), ("x = 123", 1, 7, ""),
    ("naïve", 1, 5, "ve"), ("abcdef", 1, -2, "abcd"), ("abc", 1, 2, "ab"),
])
def test_word_prefix(bridge, code, line, column, prefix):
    assert bridge._get_word_prefix(code, line, column) == prefix


@pytest.mark.parametrize("path, expected", [
    ("utils", True), ("a_b", True), ("pkg.utils", False), ("C:\\work\\a.py", False), ("", False),
    ("<editor>", False), ("1abc", False), (".hidden", False), ("a/b", False),
])
def test_is_module_name(bridge, path, expected):
    assert bridge._is_module_name(path) is expected


@pytest.mark.parametrize("signature, expected", [
    (FakeSignature("foo(a, b=1)"), "(a, b=1)"),
    (FakeSignature("foo()"), "()"),
    (FakeSignature("no parens"), "no parens"),
    (FakeSignature(fail=TypeError("x"), params=[FakeParam("x"), FakeParam("y", "y=2")]), "(x, y=2)"),
    (FakeSignature(fail=AttributeError("x"), params=[]), "()"),
    (object(), ""),
])
def test_format_signature(bridge, signature, expected):
    assert bridge._format_signature(signature) == expected


def test_format_signature_lets_other_errors_through(bridge):
    with pytest.raises(RuntimeError):
        bridge._format_signature(FakeSignature(fail=RuntimeError("boom")))


CURSOR_CALLS = ["get_completions", "get_signature_help", "get_hover"]


@pytest.mark.parametrize("method", CURSOR_CALLS)
@pytest.mark.parametrize("kwargs, argument, expected, got", [
    ({"code": None, "line": 1, "column": 0}, "code", "str", "NoneType"),
    ({"code": "x", "line": None, "column": 0}, "line", "int", "NoneType"),
    ({"code": "x", "line": True, "column": 0}, "line", "int", "bool"),
    ({"code": "x", "line": 1, "column": 1.0}, "column", "int", "float"),
    ({"code": "x", "line": 1, "column": 0, "path": 3}, "path", "str", "int"),
    ({"code": "x", "line": 1, "column": 0, "modules": []}, "modules", "dict", "list"),
    ({"code": "x", "line": 1, "column": 0, "dirty_files": "a"}, "dirty_files", "dict", "str"),
])
def test_cursor_requests_check_argument_types(bridge, method, kwargs, argument, expected, got):
    with pytest.raises(TypeError) as info:
        getattr(bridge, method)(**kwargs)
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


class StrSubclass(str):
    pass


@pytest.mark.parametrize("call, argument, expected, got", [
    (lambda b: b.set_hover_mode(None), "mode", "str", "NoneType"),
    (lambda b: b.set_workspace(StrSubclass("x")), "workspace_path", "str", "StrSubclass"),
    (lambda b: b.update_sys_paths(("a",)), "new_paths", "list", "tuple"),
    (lambda b: b.sync_modules(None), "modules", "dict", "NoneType"),
    (lambda b: b.sync_modules({}, []), "dirty_files", "dict", "list"),
    (lambda b: b.delete_module(1), "module_name", "str", "int"),
    (lambda b: b.get_diagnostics(b"x"), "code", "str", "bytes"),
    (lambda b: b.get_diagnostics("x", module_name=1), "module_name", "str", "int"),
    (lambda b: b._get_word_prefix("x", 1, None), "column", "int", "NoneType"),
    (lambda b: b._parse_pyflakes_message("x", "4"), "severity", "int", "str"),
    (lambda b: b._can_resolve_import(None), "module_name", "str", "NoneType"),
])
def test_other_methods_check_argument_types(bridge, call, argument, expected, got):
    with pytest.raises(TypeError) as info:
        call(bridge)
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


def test_arguments_by_keyword_and_wrong_count(bridge):
    assert bridge.get_completions(code="x", line=1, column=0, path=None, modules=None, dirty_files=None)["error"] is None
    with pytest.raises(TypeError):
        bridge.get_completions("x", 1)
