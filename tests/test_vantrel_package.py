"""The user package `tarvex` and its editor stubs."""

import pathlib

import jedi
import pytest

from tarvex_master.python_server import tarvex
from tarvex_master.python_server.tarvex import vantrel

PACKAGE = pathlib.Path(tarvex.__file__).resolve().parent
PYTHON_SERVER = PACKAGE.parent
STUBS = PYTHON_SERVER / "stubs"


def test_package_exports_the_bridge():
    for name in ("Serializer", "Messaging", "messaging", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict",
                 "Context", "Excel", "GetSetting"):
        assert getattr(tarvex, name) is getattr(vantrel, name)
    assert tarvex.excel is vantrel.Excel and tarvex.context is vantrel.Context
    assert tarvex._kernel_instance is None
    assert vantrel.Serializer.__doc__ == "Handles marshaling of data types between Python and JavaScript."


@pytest.mark.parametrize(
    "code, expected",
    [
        ("import tarvex\ntarvex.", {"excel", "context", "messaging", "Serializer", "OfficeJsObject"}),
        ("import tarvex\ntarvex.Serializer.", {"to_wire", "to_wire_json", "from_wire"}),
        ("import tarvex\ntarvex.messaging.", {"send_request_sync", "register_callable", "reset", "loop_thread"}),
        ("from tarvex import excel\nexcel.", {"_internal_id", "_internal_typeName"}),
    ],
)
@pytest.mark.parametrize("search_path", [[STUBS], [STUBS, PYTHON_SERVER]], ids=["stubs", "stubs and package"])
def test_stubs_give_the_editor_completions(tmp_path, code, expected, search_path):
    # The language services put the stubs first, then the package's own
    # directory, where the extension's stub beside it stands in for it.
    project = jedi.Project(path=str(tmp_path), added_sys_path=[str(p) for p in search_path])
    lines = code.splitlines()
    names = {c.name for c in jedi.Script(code, project=project).complete(len(lines), len(lines[-1]))}
    assert expected <= names


def test_the_extension_stub_matches_the_editor_stub():
    assert (PACKAGE / "vantrel.pyi").read_text() == (STUBS / "tarvex" / "vantrel.pyi").read_text()
