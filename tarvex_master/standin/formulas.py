"""Cell formulas that call the workbook's Python functions.

    =module.function(arg, ...)     a call; each argument is a number, "text",
                                   TRUE/FALSE, a cell (B2, Sheet2!B2) or a
                                   range (A1:B3), which arrives as rows
    =B2, =Sheet2!A1:B3             the value(s) of other cells
"""

import re
from dataclasses import dataclass, field

from .a1 import AddressError, parse_range

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")
_REFERENCE = re.compile(
    r"(?:(?:'(?:[^']|'')+'|[A-Za-z_][A-Za-z0-9_.]*)!)?\$?[A-Za-z]{1,3}\$?\d+(?::\$?[A-Za-z]{1,3}\$?\d+)?"
)


class FormulaError(ValueError):
    """A formula that cannot be read; the text says where and why."""


@dataclass(frozen=True)
class Reference:
    sheet: str | None  # None: the formula's own sheet
    top: int
    left: int
    bottom: int
    right: int

    @property
    def is_cell(self):
        return self.top == self.bottom and self.left == self.right


@dataclass(frozen=True)
class Literal:
    value: object


@dataclass
class Formula:
    module: str | None = None  # None for a plain reference
    function: str | None = None
    args: list = field(default_factory=list)  # Literal or Reference
    reference: Reference | None = None

    @property
    def references(self):
        if self.reference is not None:
            return [self.reference]
        return [arg for arg in self.args if isinstance(arg, Reference)]


def parse_formula(text):
    if not isinstance(text, str) or not text.startswith("="):
        raise FormulaError("a formula starts with '='")
    reader = _Reader(text, 1)
    reader.skip_space()
    reference = reader.try_reference()
    if reference is not None:
        reader.expect_end()
        return Formula(reference=reference)
    name = reader.dotted_name()
    if "." not in name:
        raise FormulaError(f"'{name}' is not a workbook function; write module.function(...)")
    module, function = name.rsplit(".", 1)
    reader.expect("(")
    args = []
    reader.skip_space()
    if not reader.peek(")"):
        while True:
            args.append(reader.argument())
            reader.skip_space()
            if reader.peek(","):
                reader.advance(1)
                continue
            break
    reader.expect(")")
    reader.expect_end()
    return Formula(module=module, function=function, args=args)


class _Reader:
    def __init__(self, text, position):
        self.text = text
        self.pos = position

    def skip_space(self):
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def peek(self, token):
        return self.text.startswith(token, self.pos)

    def advance(self, count):
        self.pos += count

    def fail(self, what):
        found = self.text[self.pos:self.pos + 10] or "the end"
        raise FormulaError(f"expected {what} at position {self.pos + 1}, found {found!r}")

    def expect(self, token):
        self.skip_space()
        if not self.peek(token):
            self.fail(repr(token))
        self.advance(len(token))

    def expect_end(self):
        self.skip_space()
        if self.pos != len(self.text):
            self.fail("the end of the formula")

    def dotted_name(self):
        parts = []
        while True:
            match = _NAME.match(self.text, self.pos)
            if not match:
                self.fail("a name")
            parts.append(match.group())
            self.pos = match.end()
            if self.peek(".") and _NAME.match(self.text, self.pos + 1):
                self.advance(1)
                continue
            return ".".join(parts)

    def try_reference(self):
        match = _REFERENCE.match(self.text, self.pos)
        if not match:
            return None
        end = match.end()
        # "f.g(" or "A1B" are names, not references
        if end < len(self.text) and (self.text[end].isalnum() or self.text[end] in "_.("):
            return None
        try:
            sheet, top, left, bottom, right = parse_range(match.group())
        except AddressError as e:
            raise FormulaError(str(e)) from None
        self.pos = end
        return Reference(sheet, top, left, bottom, right)

    def argument(self):
        self.skip_space()
        if self.peek('"'):
            return Literal(self.string())
        number = _NUMBER.match(self.text, self.pos)
        if number and not (number.end() < len(self.text) and self.text[number.end()].isalpha()):
            self.pos = number.end()
            literal = number.group()
            if re.fullmatch(r"[+-]?\d+", literal):
                return Literal(int(literal))
            return Literal(float(literal))
        reference = self.try_reference()
        if reference is not None:
            return reference
        match = _NAME.match(self.text, self.pos)
        if match and match.group().upper() in ("TRUE", "FALSE"):
            self.pos = match.end()
            return Literal(match.group().upper() == "TRUE")
        self.fail("a number, \"text\", TRUE, FALSE, a cell or a range")

    def string(self):
        self.advance(1)
        pieces = []
        while True:
            end = self.text.find('"', self.pos)
            if end < 0:
                raise FormulaError("text argument is missing its closing '\"'")
            pieces.append(self.text[self.pos:end])
            self.pos = end + 1
            if self.peek('"'):  # "" stands for one quote
                pieces.append('"')
                self.advance(1)
                continue
            return "".join(pieces)
