"""The simulated workbook: sheets of cells, with array results that spill.

Holds data only. Which formula runs when, and what the kernel is asked,
is the add-in's business (addin.py); this module records what cells
hold and which cells changed since the pages were last told.

An array result stays with its formula's cell: the cells it spills into
are read from it, never stored one by one, so a table of a million values
costs one list, and the pages get it whole with that cell.
"""

import itertools
import re

from .a1 import cell_name, column_name
from .wire import display_text

_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")


class WorkbookError(ValueError):
    """A request the workbook refuses; the text is shown to the user."""

    def __init__(self, message, code="InvalidArgument"):
        super().__init__(message)
        self.code = code


_NUMBERS = (int, float)


class Cell:
    __slots__ = ("value", "formula", "error", "detail", "spill_from", "spill_size", "spill_grid", "result",
                 "streaming")

    def __init__(self):
        self.value = None  # what the cell holds, or shows for a formula
        self.formula = None  # text starting with "=", or None
        self.error = None  # "#VALUE!", "#NAME?", "#BUSY!", "#SPILL!", ... or None
        self.detail = None  # why the error, or what the cell is doing
        self.spill_from = None  # (row, column) of the formula whose array result this cell shows
        self.spill_size = None  # (rows, columns) this formula's array result covers
        self.spill_grid = None  # the rows of values it covers them with
        self.result = None  # a formula's whole result (a 2D list when it spills)
        self.streaming = False

    @property
    def is_empty(self):
        return self.value is None and self.formula is None and self.error is None and self.spill_from is None

    def to_json(self):
        data = {"text": "", "value": self.value}
        if self.error:
            data["text"] = self.error
            data["error"] = self.error
        else:
            data["text"] = display_text(self.value)
        if self.formula is not None:
            data["formula"] = self.formula
        if self.detail:
            data["detail"] = self.detail
        if self.spill_from is not None:
            data["spill_from"] = cell_name(*self.spill_from)
        if self.spill_size is not None:
            data["spill"] = _spill_json(self.spill_grid)
        if self.streaming:
            data["streaming"] = True
        if isinstance(self.value, bytes):
            data["value"] = None
        return data


def _spill_json(grid):
    """An array result as the pages draw it: per row, the texts of its cells joined by tabs
    (or their list, when a text holds a tab), and which hold numbers ("0"/"1" per cell).

    A row in one string is what lets a page read a table of a million cells in a
    fraction of a second: it splits only the rows it shows.
    """
    texts, numeric = [], []
    for row in grid:
        kinds = set(map(type, row))
        if kinds == {int}:
            line = list(map(str, row))
            numeric.append("1" * len(row))
        else:
            line = [display_text(value) for value in row]
            numeric.append("".join("1" if type(value) in _NUMBERS else "0" for value in row))
        joined = "\t".join(line)
        texts.append(joined if joined.count("\t") == len(line) - 1 else line)
    return {"rows": len(grid), "columns": len(grid[0]), "texts": texts, "numeric": numeric}


class Changed:
    """The cells of one sheet changed since the add-in last looked: single cells, and the areas of arrays."""

    __slots__ = ("cells", "areas")

    def __init__(self):
        self.cells = set()  # (row, column)
        self.areas = []  # (top, left, bottom, right)

    def touches(self, top, left, bottom, right):
        """Whether any change lies in the rectangle; single cells by the cheaper of two walks."""
        for a_top, a_left, a_bottom, a_right in self.areas:
            if a_top <= bottom and top <= a_bottom and a_left <= right and left <= a_right:
                return True
        cells = self.cells
        if (bottom - top + 1) * (right - left + 1) <= len(cells):
            return any((r, c) in cells for r in range(top, bottom + 1) for c in range(left, right + 1))
        return any(top <= r <= bottom and left <= c <= right for r, c in cells)


class Worksheet:
    _ids = itertools.count(1)

    def __init__(self, name):
        self.id = f"{{sheet-{next(self._ids)}}}"
        self.name = name
        self.cells = {}  # (row, column) -> Cell: values and formulas
        self.spills = {}  # (row, column) -> the Cell of a formula whose array result covers more than itself
        self.deleted = False

    def cell(self, row, column, create=False):
        """The cell at (row, column), or None when empty; a cell an array spilled into is
        made up for the asking (``spill_from`` says whose array)."""
        found = self.cells.get((row, column))
        if found is None:
            if create:
                found = self.cells[(row, column)] = Cell()
            elif (origin := self.spill_origin(row, column)) is not None:
                found = Cell()
                found.value = self.spills[origin].spill_grid[row - origin[0]][column - origin[1]]
                found.spill_from = origin
        return found

    def spill_origin(self, row, column):
        """(row, column) of the formula whose array result covers the cell, or None."""
        for origin, owner in self.spills.items():
            height, width = owner.spill_size
            if 0 <= row - origin[0] < height and 0 <= column - origin[1] < width:
                return origin
        return None

    def value(self, row, column):
        """A cell's value as formulas and the object model read it; errors read as their text."""
        found = self.cell(row, column)
        if found is None:
            return None
        return found.error if found.error else found.value

    def values(self, top, left, bottom, right):
        """The rows of ``value`` over a rectangle, read array by array rather than cell by cell."""
        rows = [[None] * (right - left + 1) for _ in range(bottom - top + 1)]
        for (o_row, o_column), owner in self.spills_within(top, left, bottom, right):
            height, width = owner.spill_size
            first, last = max(left, o_column), min(right, o_column + width - 1)
            for row in range(max(top, o_row), min(bottom, o_row + height - 1) + 1):
                source = owner.spill_grid[row - o_row]
                rows[row - top][first - left:last - left + 1] = source[first - o_column:last - o_column + 1]
        for (row, column), cell in self.cells_within(top, left, bottom, right):
            rows[row - top][column - left] = cell.error if cell.error else cell.value
        return rows

    def cells_within(self, top, left, bottom, right):
        """The ((row, column), cell) pairs of the stored cells in a rectangle, by the cheaper of two walks."""
        if (bottom - top + 1) * (right - left + 1) <= len(self.cells):
            found = []
            for row in range(top, bottom + 1):
                for column in range(left, right + 1):
                    cell = self.cells.get((row, column))
                    if cell is not None:
                        found.append(((row, column), cell))
            return found
        return [(key, cell) for key, cell in self.cells.items()
                if top <= key[0] <= bottom and left <= key[1] <= right]

    def spills_within(self, top, left, bottom, right):
        """The (origin, cell) pairs of the arrays that cover part of a rectangle."""
        found = []
        for origin, owner in self.spills.items():
            height, width = owner.spill_size
            if origin[0] <= bottom and top < origin[0] + height and origin[1] <= right and left < origin[1] + width:
                found.append((origin, owner))
        return found

    def used_bounds(self):
        """(top, left, bottom, right) of the cells in use, or None for an empty sheet."""
        used = [key for key, cell in self.cells.items() if not cell.is_empty]
        for (row, column), owner in self.spills.items():
            height, width = owner.spill_size
            used.append((row + height - 1, column + width - 1))
        if not used:
            return None
        rows = [row for row, _ in used]
        columns = [column for _, column in used]
        return min(rows), min(columns), max(rows), max(columns)


def parse_entry(text):
    """What typing ``text`` into a cell means: (value, formula)."""
    if text is None:
        return None, None
    if not isinstance(text, str):
        return text, None
    stripped = text.strip()
    if stripped.startswith("=") and len(stripped) > 1:
        return None, stripped
    if stripped == "":
        return None, None
    upper = stripped.upper()
    if upper in ("TRUE", "FALSE"):
        return upper == "TRUE", None
    if _NUMBER.fullmatch(stripped):
        number = float(stripped)
        if number.is_integer() and re.fullmatch(r"[+-]?\d+", stripped):
            return int(stripped), None
        return number, None
    return text, None


def as_grid(value):
    """A formula result as rows of values: a scalar is 1x1, a flat list one row."""
    if not isinstance(value, list):
        return [[value]]
    if not value:
        return [[None]]
    if all(isinstance(row, list) for row in value):
        width = max((len(row) for row in value), default=1) or 1
        return [row if len(row) == width else row + [None] * (width - len(row)) for row in value]
    return [[item if not isinstance(item, list) else display_text(str(item)) for item in value]]


class Workbook:
    def __init__(self, sheet_names=("Sheet1", "Sheet2")):
        self.sheets = [Worksheet(name) for name in sheet_names]
        self.active = self.sheets[0]
        self.selection = (self.active, 0, 0, 0, 0)
        self.events_enabled = True
        self._changed = {}  # sheet id -> set of (row, column), for the pages
        self._recent = {}  # sheet id -> Changed, for the add-in's recalculation
        self._structure_changed = False
        self._blocked = set()  # (sheet, row, column) of formulas whose array result cannot spill

    # -- sheets ---------------------------------------------------------

    def sheet(self, name):
        for sheet in self.sheets:
            if sheet.name.lower() == str(name).lower():
                return sheet
        raise WorkbookError(f"The worksheet '{name}' does not exist.", "ItemNotFound")

    def sheet_by_id(self, sheet_id):
        for sheet in self.sheets:
            if sheet.id == sheet_id:
                return sheet
        return None

    def add_sheet(self, name=None):
        if name is None:
            taken = {sheet.name.lower() for sheet in self.sheets}
            name = next(f"Sheet{n}" for n in itertools.count(1) if f"sheet{n}" not in taken)
        self._check_sheet_name(name)
        sheet = Worksheet(name)
        self.sheets.append(sheet)
        self._structure_changed = True
        return sheet

    def rename_sheet(self, sheet, name):
        if sheet.name.lower() != str(name).lower():
            self._check_sheet_name(name)
        sheet.name = name
        self._structure_changed = True

    def delete_sheet(self, sheet):
        if len(self.sheets) == 1:
            raise WorkbookError("A workbook must keep at least one visible worksheet.", "InvalidOperation")
        self.sheets.remove(sheet)
        sheet.deleted = True
        if self.active is sheet:
            self.active = self.sheets[0]
        if self.selection[0] is sheet:
            self.selection = (self.active, 0, 0, 0, 0)
        self._structure_changed = True

    def activate(self, sheet):
        if sheet.deleted:
            raise WorkbookError(f"The worksheet '{sheet.name}' was deleted.", "InvalidOperation")
        if self.active is not sheet:
            self.active = sheet
            self.selection = (sheet, 0, 0, 0, 0)
            self._structure_changed = True

    def _check_sheet_name(self, name):
        if not isinstance(name, str) or not name.strip():
            raise WorkbookError("A worksheet name must be non-empty text.")
        if len(name) > 31 or re.search(r"[\[\]:*?/\\]", name) or name.startswith("'") or name.endswith("'"):
            raise WorkbookError(f"'{name}' is not a valid worksheet name.")
        if any(sheet.name.lower() == name.lower() for sheet in self.sheets):
            raise WorkbookError(f"A worksheet named '{name}' already exists.", "ItemAlreadyExists")

    # -- cells ----------------------------------------------------------

    def set_input(self, sheet, row, column, value=None, formula=None, retry_spills=True):
        """Puts a value or a formula into a cell, as typing does (formula results come later).

        Writing many cells at once passes ``retry_spills=False`` and calls
        ``retry_blocked_spills`` once at the end.
        """
        current = sheet.cell(row, column)
        if current is not None and current.spill_from is not None:
            self._block_spill(sheet, current.spill_from, (row, column))
        elif current is not None:
            self._release_spill(sheet, (row, column), current)
        self._blocked.discard((sheet, row, column))
        cell = sheet.cell(row, column, create=True)
        cell.value = None if formula else value
        cell.formula = formula
        cell.error = None
        cell.detail = None
        cell.result = None
        cell.streaming = False
        cell.spill_from = None
        self._mark(sheet, row, column)
        self._drop_if_empty(sheet, row, column)
        if retry_spills:
            self.retry_blocked_spills()

    def set_result(self, sheet, row, column, result=None, error=None, detail=None, streaming=None):
        """Shows a formula's result (or error) in its cell, spilling an array over the cells beside it."""
        cell = sheet.cell(row, column)
        if cell is None or cell.formula is None:
            return False
        new_result = None if error else result
        if (cell.error, cell.detail, cell.result) == (error, detail, new_result) and (
            streaming is None or streaming == cell.streaming
        ) and type(cell.result) is type(new_result):
            return False  # nothing to show, and nothing for dependent formulas to redo
        self._release_spill(sheet, (row, column), cell)
        self._blocked.discard((sheet, row, column))
        cell.error, cell.detail = error, detail
        if streaming is not None:
            cell.streaming = streaming
        cell.result = new_result
        cell.value = None
        if not error:
            self._place(sheet, row, column, cell)
        self._mark(sheet, row, column)
        return True

    def retry_blocked_spills(self):
        """Array results held back by cells in their way spill once the way is clear."""
        for sheet, row, column in list(self._blocked):
            cell = sheet.cell(row, column)
            self._blocked.discard((sheet, row, column))
            if cell is not None and cell.error == "#SPILL!" and cell.result is not None and not sheet.deleted:
                cell.error = cell.detail = None
                self._place(sheet, row, column, cell)
                self._mark(sheet, row, column)

    def _place(self, sheet, row, column, cell):
        grid = as_grid(cell.result)
        height, width = len(grid), len(grid[0])
        blockers = self._blockers(sheet, row, column, row + height - 1, column + width - 1)
        if blockers:
            cell.error = "#SPILL!"
            shown = ", ".join(cell_name(*key) for key in blockers[:3]) + (" and more" if len(blockers) > 3 else "")
            cell.detail = f"The array result needs {height}x{width} cells, but {shown} not empty."
            self._blocked.add((sheet, row, column))
            return
        cell.value = grid[0][0]
        if (height, width) == (1, 1):
            return
        cell.spill_size, cell.spill_grid = (height, width), grid
        sheet.spills[(row, column)] = cell
        self._mark_area(sheet, row, column, row + height - 1, column + width - 1)

    @staticmethod
    def _blockers(sheet, top, left, bottom, right):
        """The first four cells (in reading order) in the way of an array at (top, left)."""
        found = []
        for key, other in sheet.cells_within(top, left, bottom, right):
            if key == (top, left):
                continue
            if other.is_empty:
                del sheet.cells[key]  # would hide the array's value there
            else:
                found.append(key)
        for (o_row, o_column), owner in sheet.spills_within(top, left, bottom, right):
            height, width = owner.spill_size
            rows = range(max(top, o_row), min(bottom, o_row + height - 1) + 1)
            columns = range(max(left, o_column), min(right, o_column + width - 1) + 1)
            found.extend(itertools.islice(((r, c) for r in rows for c in columns), 4))
        return sorted(found)[:4]

    def _release_spill(self, sheet, origin, owner):
        """Takes back the cells that the array result of the formula at ``origin`` spilled into."""
        if owner.spill_size is None:
            return
        height, width = owner.spill_size
        owner.spill_size = owner.spill_grid = None
        sheet.spills.pop(origin, None)
        self._mark_area(sheet, origin[0], origin[1], origin[0] + height - 1, origin[1] + width - 1)

    def _block_spill(self, sheet, origin, blocker):
        """Typing into a spilled cell takes the array back; its formula shows #SPILL! until the way is clear."""
        owner = sheet.cell(*origin)
        if owner is None:
            return
        self._release_spill(sheet, origin, owner)
        if owner.formula is not None:
            owner.value = None
            owner.error = "#SPILL!"
            owner.detail = f"{cell_name(*blocker)} is in the way of the array result."
            self._blocked.add((sheet, *origin))
            self._mark(sheet, *origin)


    def _drop_if_empty(self, sheet, row, column):
        cell = sheet.cells.get((row, column))
        if cell is not None and cell.is_empty:
            del sheet.cells[(row, column)]

    # -- change tracking ------------------------------------------------

    def _mark(self, sheet, row, column):
        self._changed.setdefault(sheet.id, set()).add((row, column))
        recent = self._recent.get(sheet.id) or self._recent.setdefault(sheet.id, Changed())
        recent.cells.add((row, column))

    def _mark_area(self, sheet, top, left, bottom, right):
        """An array's cells changed: formulas reading them recalculate; the pages learn it
        from the array's own cell."""
        recent = self._recent.get(sheet.id) or self._recent.setdefault(sheet.id, Changed())
        recent.areas.append((top, left, bottom, right))

    def drain_recent(self):
        """The cells changed since the last call, as {sheet id: Changed}."""
        recent, self._recent = self._recent, {}
        return recent

    def take_changes(self):
        """The cells changed since the last call, as {sheet name: {address: cell}}; and whether sheets changed."""
        changes = {}
        for sheet_id, keys in self._changed.items():
            sheet = self.sheet_by_id(sheet_id)
            if sheet is None:
                continue
            cells = {}
            for row, column in sorted(keys):
                cell = sheet.cells.get((row, column))
                cells[cell_name(row, column)] = cell.to_json() if cell is not None else None
            changes[sheet.name] = cells
        self._changed = {}
        structure, self._structure_changed = self._structure_changed, False
        return changes, structure

    def snapshot(self):
        """Everything a page needs to draw the workbook."""
        sheet, top, left, bottom, right = self.selection
        return {
            "sheets": [
                {"name": s.name, "id": s.id, "cells": {cell_name(r, c): cell.to_json() for (r, c), cell in sorted(s.cells.items())}}
                for s in self.sheets
            ],
            "active": self.active.name,
            "selection": {"sheet": sheet.name, "address": f"{column_name(left)}{top + 1}" if (top, left) == (bottom, right)
                          else f"{column_name(left)}{top + 1}:{column_name(right)}{bottom + 1}"},
            "events_enabled": self.events_enabled,
        }
