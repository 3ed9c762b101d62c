"""Completions: Monaco items from jedi's completion at the cursor."""

import logging
import os

import jedi
import pytest

from lexora_support import FakeName, FakeSignature, bridge, fake_jedi, lsp_log, messages  # noqa: F401
from tarvex_master.python_server import lexora

SOURCE = '''\
import os

def adder(a, b=1):
    """Adds."""
    return a + b

class Box:
    def __init__(self):
        self.size = 1
        self._secret = 2

    @property
    def volume(self):
        return 3

CONSTANT = 4
box = Box()
'''


def complete(bridge, code, line=None, column=None, **kwargs):
    lines = code.split("\n")
    line = line or len(lines)
    column = len(lines[line - 1]) if column is None else column
    return bridge.get_completions(code, line, column, **kwargs)


def items_by_label(result):
    assert result["error"] is None
    return {item["label"]: item for item in result["completions"]}


def test_item_shapes_and_kinds(bridge):
    items = items_by_label(complete(bridge, SOURCE + "ad"))
    assert items["adder"] == {"label": "adder", "kind": 1, "insertText": "adder",
                              "detail": "(a, b=1)", "documentation": "adder(a, b=1)\n\nAdds."}
    for item in items.values():
        assert list(item)[:3] == ["label", "kind", "insertText"] and item["insertText"] == item["label"]

    kinds = {label: item["kind"] for label, item in items_by_label(complete(bridge, SOURCE)).items()}
    assert (kinds["Box"], kinds["os"], kinds["CONSTANT"], kinds["box"], kinds["adder"]) == (5, 7, 4, 4, 1)
    assert kinds["import"] == 13 and kinds["None"] == 13

    attributes = items_by_label(complete(bridge, SOURCE + "box."))
    assert attributes["volume"]["kind"] == 8 and attributes["size"]["kind"] == 4
    assert "detail" not in items_by_label(complete(bridge, SOURCE + "Bo"))["Box"]


def test_path_completions_have_kind_17(bridge, tmp_path):
    (tmp_path / "data_file.csv").write_text("x")
    items = items_by_label(complete(bridge, f"open('{tmp_path}/data_"))
    assert items == {"data_file.csv'": {"label": "data_file.csv'", "kind": 17, "insertText": "data_file.csv'"}}


def test_empty_docstring_leaves_no_documentation_key(bridge):
    items = items_by_label(complete(bridge, "def bare(x): pass\nbar"))
    assert items["bare"]["detail"] == "(x)"
    assert items["bare"]["documentation"] == "bare(x)"
    items = items_by_label(complete(bridge, "nothing_here = 1\nnothing_"))
    assert "documentation" not in items["nothing_here"]


@pytest.mark.parametrize("suffix, private_shown", [("box.", []), ("box._", ["_secret", "__init__"]),
                                                   ("box.__", ["__init__"])])
def test_underscore_names_only_after_underscore(bridge, suffix, private_shown):
    labels = set(items_by_label(complete(bridge, SOURCE + suffix)))
    assert {label for label in labels if label.startswith("_")} >= set(private_shown)
    if not private_shown:
        assert labels >= {"size", "volume"} and not any(label.startswith("_") for label in labels)


@pytest.mark.parametrize("line_text", ["import numpy as ", "import numpy as n", "from os import path as p"])
def test_import_alias_context_returns_nothing_and_writes_nothing(bridge, lsp_log, line_text):
    result = complete(bridge, "x = 1\n" + line_text, modules={"kit": "def tool(): pass"})
    assert result == {"completions": [], "error": None}
    assert os.listdir(bridge._temp_dir.name) == []
    assert "[LSP] In import alias context, returning empty completions" in messages(lsp_log)


def test_plain_import_still_completes(bridge):
    labels = set(items_by_label(complete(bridge, "import nump")))
    assert "numpy" in labels


@pytest.mark.parametrize("line, column, error", [
    (0, 0, "line must be a positive integer (1-based)"),
    (-5, 0, "line must be a positive integer (1-based)"),
    (-(10 ** 30), 0, "line must be a positive integer (1-based)"),
    (1, -1, "column must be a non-negative integer (0-based)"),
    (3, 0, "`line` parameter is not in a valid range."),
    (10 ** 30, 0, "`line` parameter is not in a valid range."),
])
def test_invalid_positions_are_reported_in_the_result(bridge, lsp_log, line, column, error):
    assert bridge.get_completions("x = 1", line, column) == {"completions": [], "error": error}
    assert (logging.ERROR, f"[LSP] Error in get_completions: {error}") in lsp_log()


def test_cross_module_completion_through_modules(bridge):
    result = bridge.get_completions("import kit\nkit.", 2, 4, modules={"kit": "def tool(): pass"})
    assert items_by_label(result) == {"tool": {"label": "tool", "kind": 1, "insertText": "tool",
                                               "detail": "()", "documentation": "tool()"}}


def test_dirty_files_override_modules(bridge):
    result = bridge.get_completions("import kit\nkit.", 2, 4, modules={"kit": "def saved(): pass"},
                                    dirty_files={"kit": "def unsaved(): pass", "extra": "z = 1"})
    assert list(items_by_label(result)) == ["unsaved"]
    assert sorted(os.listdir(bridge._temp_dir.name)) == ["extra.py", "kit.py"]


@pytest.mark.parametrize("path, found", [("utils", ["assist"]), (None, []), ("/elsewhere/utils.py", [])])
def test_module_path_places_the_buffer_in_the_sync_directory(bridge, path, found):
    # Only as the module file 'utils' does the buffer see its sibling by a relative import.
    result = bridge.get_completions("from .helpers import as", 1, 23, path=path,
                                    modules={"helpers": "def assist(): pass"})
    assert list(items_by_label(result)) == found


def test_request_log(bridge, lsp_log):
    code = "x" * 240 + "\nx"
    bridge.get_completions(code, 2, 1, path="somewhere")
    first = messages(lsp_log)[0]
    record = {"line": 2, "column": 1, "path": "somewhere", "code_length": 242, "code_preview": "x" * 100}
    assert first == f"[LSP] Request: get_completions {record}"


def labels_logged(lsp_log):
    return [text for text in messages(lsp_log) if text.startswith("[LSP] Sample completions: ")]


@pytest.mark.parametrize("count, sample", [
    (0, None), (5, "['n0', 'n1', 'n2', 'n3', 'n4']"), (6, "['n0', 'n1', 'n2', 'n3', 'n4']..."),
])
def test_sample_log(bridge, lsp_log, monkeypatch, count, sample):
    names = [FakeName(f"n{i}", type="statement") for i in range(count)]
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, complete=names))
    result = bridge.get_completions("n", 1, 1)
    assert len(result["completions"]) == count
    assert f"[LSP] Jedi returned {count} completions" in messages(lsp_log)
    assert f"[LSP] Response: {count} completions returned" in messages(lsp_log)
    assert labels_logged(lsp_log) == ([] if sample is None else [f"[LSP] Sample completions: {sample}"])


def test_failing_lookups_leave_keys_out(bridge, monkeypatch):
    names = [
        FakeName("sig_fails", signatures=RuntimeError("no"), doc="Doc."),
        FakeName("doc_fails", signatures=[FakeSignature("doc_fails(q)")], doc=ValueError("no")),
        FakeName("no_sigs", signatures=[], doc=""),
        FakeName("klass", type="class", signatures=[FakeSignature("klass(z)")], doc="K."),
        FakeName("weird", type="something_new"),
    ]
    monkeypatch.setattr(lexora, "jedi", fake_jedi(jedi, complete=names))
    items = items_by_label(bridge.get_completions("x", 1, 1))
    assert items["sig_fails"] == {"label": "sig_fails", "kind": 1, "insertText": "sig_fails", "documentation": "Doc."}
    assert items["doc_fails"] == {"label": "doc_fails", "kind": 1, "insertText": "doc_fails", "detail": "(q)"}
    assert items["no_sigs"] == {"label": "no_sigs", "kind": 1, "insertText": "no_sigs"}
    assert items["klass"] == {"label": "klass", "kind": 5, "insertText": "klass", "documentation": "K."}
    assert items["weird"]["kind"] == 4


def test_jedi_failure_becomes_error(bridge, monkeypatch, lsp_log):
    class Broken:
        def Script(self, **kwargs):
            raise RuntimeError("jedi is broken")

    monkeypatch.setattr(lexora, "jedi", Broken())
    assert bridge.get_completions("x", 1, 1) == {"completions": [], "error": "jedi is broken"}


WORKBOOK = {
    "kit": 'import math\nfrom base import shared\n\ndef tool(a, b=2):\n    """Tool doc."""\n    return shared(a)\n',
    "base": 'def shared(x):\n    """Shared doc."""\n    return x\n',
}


def normalized(result):
    """jedi lists the signatures of a union in no fixed order; compare their lines as sets."""
    items = []
    for item in result["completions"]:
        item = dict(item)
        if "documentation" in item:
            item["documentation"] = sorted(item["documentation"].split("\n"))
        items.append(item)
    return {"completions": items, "error": result["error"]}


@pytest.mark.parametrize("code, line, column", [
    ("import kit\nkit.", 2, 4),
    ("import kit\nkit.sha", 2, 7),
    ("import os\nos.path.", 2, 8),
    ("import os\nos.pa", 2, 5),
    ("import collections\ncollections.", 2, 12),
    ("import json\njson.", 2, 5),
    ("import json\njson.dec", 2, 8),
])
def test_repeated_requests_answer_as_a_fresh_bridge(code, line, column):
    """Details kept between requests never change what a request answers."""
    warm = lexora.Lexora()
    try:
        answers = [warm.get_completions(code, line, column, path="editor", modules=dict(WORKBOOK)) for _ in range(3)]
        fresh = lexora.Lexora()
        try:
            expected = fresh.get_completions(code, line, column, path="editor", modules=dict(WORKBOOK))
        finally:
            fresh.cleanup()
        assert expected["completions"] and all(normalized(answer) == normalized(expected) for answer in answers)
    finally:
        warm.cleanup()


def test_changed_workbook_module_changes_details(bridge):
    code = "import kit\nkit."
    first = items_by_label(bridge.get_completions(code, 2, 4, modules=dict(WORKBOOK)))
    assert first["tool"]["detail"] == "(a, b=2)" and first["shared"]["documentation"] == "shared(x)\n\nShared doc."
    changed = dict(WORKBOOK, base='def shared(x, y):\n    """New doc."""\n', kit=WORKBOOK["kit"].replace("b=2", "b=3"))
    second = items_by_label(bridge.get_completions(code, 2, 4, modules=changed))
    assert second["tool"]["detail"] == "(a, b=3)"
    assert second["shared"]["detail"] == "(x, y)" and second["shared"]["documentation"] == "shared(x, y)\n\nNew doc."


def test_buffer_names_follow_the_buffer(bridge):
    first = items_by_label(complete(bridge, "def mine(a): pass\nmin", path="editor"))
    second = items_by_label(complete(bridge, "def mine(a, b): pass\nmin", path="editor"))
    assert first["mine"]["detail"] == "(a)" and second["mine"]["detail"] == "(a, b)"


def test_new_search_paths_drop_kept_library_details(bridge, tmp_path):
    library = tmp_path / "libmod.py"
    library.write_text("def api(a): pass\n")
    code = "import libmod\nlibmod."
    bridge.update_sys_paths([str(tmp_path)])
    assert items_by_label(bridge.get_completions(code, 2, 7))["api"]["detail"] == "(a)"
    library.write_text("def api(a, b): pass\n")
    later = os.stat(library).st_mtime_ns + 10 ** 9
    os.utime(library, ns=(later, later))
    bridge.update_sys_paths([str(tmp_path)])
    assert items_by_label(bridge.get_completions(code, 2, 7))["api"]["detail"] == "(a, b)"
