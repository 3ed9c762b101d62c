"""A1-style cell addresses: "B3", "A1:C4", "Sheet2!A1", "'My sheet'!$A$1:$B$2".

Rows and columns are 0-based inside the stand-in; addresses are what
people read and write.
"""

import re

MAX_ROWS = 1048576
MAX_COLUMNS = 16384  # column XFD

_CELL = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]{1,7})")
_QUALIFIED = re.compile(r"^(?:(?:'((?:[^']|'')+)'|([A-Za-z_][A-Za-z0-9_.]*))!)?(.+)$")


class AddressError(ValueError):
    """An address that does not name cells."""


def column_name(column):
    """0 -> "A", 25 -> "Z", 26 -> "AA"."""
    name = ""
    column += 1
    while column:
        column, rest = divmod(column - 1, 26)
        name = chr(ord("A") + rest) + name
    return name


def column_index(name):
    """"A" -> 0, "AA" -> 26."""
    index = 0
    for letter in name.upper():
        index = index * 26 + (ord(letter) - ord("A") + 1)
    return index - 1


def cell_name(row, column):
    return f"{column_name(column)}{row + 1}"


def range_name(top, left, bottom, right):
    """"A1" for one cell, "A1:B3" for more."""
    first = cell_name(top, left)
    if (top, left) == (bottom, right):
        return first
    return f"{first}:{cell_name(bottom, right)}"


def quote_sheet(name):
    """A sheet name as it stands before "!" in an address."""
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", name):
        return name
    return "'" + name.replace("'", "''") + "'"


def parse_cell(text):
    match = _CELL.fullmatch(text.strip())
    if not match:
        raise AddressError(f"'{text}' is not a cell address")
    column = column_index(match.group(1))
    row = int(match.group(2)) - 1
    if not 0 <= row < MAX_ROWS or not 0 <= column < MAX_COLUMNS:
        raise AddressError(f"'{text}' is outside the sheet")
    return row, column


def parse_range(text):
    """(sheet name or None, top, left, bottom, right) of an address."""
    if not isinstance(text, str) or not text.strip():
        raise AddressError("an address must be non-empty text")
    match = _QUALIFIED.match(text.strip())
    sheet = match.group(1).replace("''", "'") if match.group(1) else match.group(2)
    parts = match.group(3).split(":")
    if len(parts) > 2:
        raise AddressError(f"'{text}' is not a range address")
    try:
        first = parse_cell(parts[0])
        last = parse_cell(parts[1]) if len(parts) == 2 else first
    except AddressError:
        raise AddressError(f"'{text}' is not a range address") from None
    top, bottom = sorted((first[0], last[0]))
    left, right = sorted((first[1], last[1]))
    return sheet, top, left, bottom, right
