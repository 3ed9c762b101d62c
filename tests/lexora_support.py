"""Fixtures and stand-in jedi objects shared by the language-services tests."""

import logging
import types

import pytest

from tarvex_master.python_server import lexora

LOGGER_NAME = "tarvex_master.python_server.lexora"


@pytest.fixture
def bridge():
    instance = lexora.Lexora()
    yield instance
    instance.cleanup()


@pytest.fixture
def lsp_log(caplog):
    """The module's log records at debug level, as (level, message) pairs."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)

    def records():
        return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER_NAME]

    records.clear = caplog.clear
    return records


def messages(records, level=None):
    return [text for lvl, text in records() if level is None or lvl == level]


class FakeSignature:
    def __init__(self, text=None, params=(), name="f", index=None, doc="", fail=None):
        self._text, self.params, self.name, self.index, self._doc, self._fail = text, list(params), name, index, doc, fail

    def to_string(self):
        if self._fail:
            raise self._fail
        return self._text

    def docstring(self, raw=False):
        assert raw is True
        if isinstance(self._doc, BaseException):
            raise self._doc
        return self._doc


class FakeParam:
    def __init__(self, name, text=None, description=""):
        self.name, self._text, self._description = name, text if text is not None else name, description

    def to_string(self):
        return self._text

    @property
    def description(self):
        if isinstance(self._description, BaseException):
            raise self._description
        return self._description


class FakeName:
    """A jedi name or completion whose lookups can be made to fail."""

    def __init__(self, name, type="function", full_name=None, signatures=(), doc="", description=None):
        self.name, self.type, self.full_name = name, type, full_name
        self._signatures, self._doc = signatures, doc
        if description is not None:
            self.description = description

    def get_signatures(self):
        if isinstance(self._signatures, BaseException):
            raise self._signatures
        return list(self._signatures)

    def docstring(self):
        if isinstance(self._doc, BaseException):
            raise self._doc
        return self._doc


def fake_jedi(real_jedi, complete=(), signatures=(), infer=(), help=()):
    """A jedi module whose scripts answer with the given objects."""

    class Script:
        def __init__(self, code, path, project):
            self.code, self.path, self.project = code, path, project

        def complete(self, line, column):
            return list(complete)

        def get_signatures(self, line, column):
            return list(signatures)

        def infer(self, line, column):
            return list(infer)

        def help(self, line, column):
            if isinstance(help, BaseException):
                raise help
            return list(help)

    return types.SimpleNamespace(Script=Script, Project=real_jedi.Project)
