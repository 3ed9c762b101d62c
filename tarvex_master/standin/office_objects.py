"""The workbook's object model, as the add-in shows it to Python code.

Each class names what a proxy may read (``api_get_<name>``), write
(``api_set_<name>``) and call (``api_call_<name>``); nothing else of these
Python objects is reachable from the kernel. Names follow the add-in's
object model: ``context.workbook.worksheets.getItem("Sheet1")
.getRange("A1:B3").values``.
"""

from .a1 import AddressError, parse_range, quote_sheet, range_name
from .wire import PythonFunction, display_text
from .workbook import WorkbookError, parse_entry


class ApiObject:
    type_name = "Object"

    def __init__(self, host):
        self.host = host

    def api_call_load(self, *property_names, **options):
        """Values are always current here, so loading only hands the object back."""
        return self


class BoundMethod(ApiObject):
    """A method read off an object: what the proxy then calls."""

    type_name = "Function"

    def __init__(self, host, target, name):
        super().__init__(host)
        self.target = target
        self.name = name

    def invoke(self, args, named):
        return getattr(self.target, "api_call_" + self.name)(*args, **named)

    def api_get_name(self):
        return self.name


class RequestContext(ApiObject):
    type_name = "RequestContext"

    def api_get_workbook(self):
        return WorkbookObject(self.host)

    def api_call_sync(self):
        """Every request is carried out when it arrives, so there is nothing left to send."""
        return None


class ExcelNamespace(ApiObject):
    type_name = "Excel"

    def api_call_run(self, batch):
        """Runs a Python function with a request context, as Excel.run does; returns its result."""
        if not isinstance(batch, PythonFunction):
            raise WorkbookError("Excel.run() expects a Python function.")
        return self.host.call_python(batch.callable_id, [RequestContext(self.host)])


class GetSettingFunction(ApiObject):
    """The root function that reads one of the workbook's settings (None when unset)."""

    type_name = "Function"

    def invoke(self, args, named):
        if len(args) != 1 or named or not isinstance(args[0], str):
            raise WorkbookError("GetSetting() takes the name of one setting.")
        return self.host.settings.get(args[0])


class WorkbookObject(ApiObject):
    type_name = "Workbook"

    def api_get_name(self):
        return self.host.workbook_id

    def api_get_worksheets(self):
        return WorksheetCollection(self.host)

    def api_call_getActiveWorksheet(self):
        return WorksheetObject(self.host, self.host.workbook.active)

    def api_call_getSelectedRange(self):
        sheet, top, left, bottom, right = self.host.workbook.selection
        return RangeObject(self.host, sheet, top, left, bottom, right)


class WorksheetCollection(ApiObject):
    type_name = "WorksheetCollection"

    def _sheets(self):
        return self.host.workbook.sheets

    def api_get_items(self):
        return [WorksheetObject(self.host, sheet) for sheet in self._sheets()]

    def api_get_count(self):
        return len(self._sheets())

    def api_call_getCount(self):
        return len(self._sheets())

    def api_call_getItem(self, key):
        if not isinstance(key, str):
            raise WorkbookError("getItem() takes the worksheet's name.")
        return WorksheetObject(self.host, self.host.workbook.sheet(key))

    def api_call_getItemOrNullObject(self, key):
        try:
            return self.api_call_getItem(key)
        except WorkbookError:
            return None

    def api_call_add(self, name=None):
        if name is not None and not isinstance(name, str):
            raise WorkbookError("add() takes the new worksheet's name.")
        sheet = self.host.workbook.add_sheet(name)
        self.host.sheets_changed()
        return WorksheetObject(self.host, sheet)

    def api_call_getActiveWorksheet(self):
        return WorksheetObject(self.host, self.host.workbook.active)

    def api_call_getFirst(self):
        return WorksheetObject(self.host, self._sheets()[0])

    def api_call_getLast(self):
        return WorksheetObject(self.host, self._sheets()[-1])

    def item_at(self, index):
        sheets = self._sheets()
        try:
            return WorksheetObject(self.host, sheets[index])
        except IndexError:
            raise WorkbookError(f"There is no worksheet at position {index}.", "ItemNotFound") from None

    def api_get_onChanged(self):
        return EventSource(self.host, None, "onChanged")

    def api_get_onActivated(self):
        return EventSource(self.host, None, "onActivated")

    def api_get_onSelectionChanged(self):
        return EventSource(self.host, None, "onSelectionChanged")


class WorksheetObject(ApiObject):
    type_name = "Worksheet"

    def __init__(self, host, sheet):
        super().__init__(host)
        self.sheet = sheet

    def _live(self):
        if self.sheet.deleted:
            raise WorkbookError(f"The worksheet '{self.sheet.name}' was deleted.", "InvalidOperation")
        return self.sheet

    def api_get_name(self):
        return self._live().name

    def api_set_name(self, name):
        self.host.workbook.rename_sheet(self._live(), name)
        self.host.sheets_changed()

    def api_get_id(self):
        return self._live().id

    def api_get_position(self):
        return self.host.workbook.sheets.index(self._live())

    def api_call_getRange(self, address=None):
        if address is None:
            raise WorkbookError("getRange() needs an address such as \"A1:B3\".")
        if not isinstance(address, str):
            raise WorkbookError("getRange() takes the address as text, such as \"A1:B3\".")
        try:
            sheet_name, top, left, bottom, right = parse_range(address)
        except AddressError as e:
            raise WorkbookError(str(e)) from None
        sheet = self.host.workbook.sheet(sheet_name) if sheet_name else self._live()
        return RangeObject(self.host, sheet, top, left, bottom, right)

    def api_call_getCell(self, row, column):
        _check_index(row, "row")
        _check_index(column, "column")
        return RangeObject(self.host, self._live(), row, column, row, column)

    def api_call_getRangeByIndexes(self, startRow, startColumn, rowCount, columnCount):
        for value, name in ((startRow, "startRow"), (startColumn, "startColumn")):
            _check_index(value, name)
        for value, name in ((rowCount, "rowCount"), (columnCount, "columnCount")):
            if type(value) is not int or value < 1:
                raise WorkbookError(f"{name} must be a positive whole number.")
        return RangeObject(self.host, self._live(), startRow, startColumn,
                           startRow + rowCount - 1, startColumn + columnCount - 1)

    def api_call_getUsedRange(self, valuesOnly=False):
        bounds = self._live().used_bounds()
        if bounds is None:
            return RangeObject(self.host, self.sheet, 0, 0, 0, 0)
        return RangeObject(self.host, self.sheet, *bounds)

    def api_call_activate(self):
        self.host.activate_sheet(self._live())
        return None

    def api_call_delete(self):
        self.host.delete_sheet(self._live())
        return None

    def api_get_onChanged(self):
        return EventSource(self.host, self._live(), "onChanged")

    def api_get_onActivated(self):
        return EventSource(self.host, self._live(), "onActivated")

    def api_get_onSelectionChanged(self):
        return EventSource(self.host, self._live(), "onSelectionChanged")


class RangeObject(ApiObject):
    type_name = "Range"

    def __init__(self, host, sheet, top, left, bottom, right):
        super().__init__(host)
        self.sheet = sheet
        self.top, self.left, self.bottom, self.right = top, left, bottom, right

    def _live(self):
        if self.sheet.deleted:
            raise WorkbookError(f"The worksheet '{self.sheet.name}' of this range was deleted.", "InvalidOperation")
        return self.sheet

    def _check_size(self, limit=1_000_000):
        count = (self.bottom - self.top + 1) * (self.right - self.left + 1)
        if count > limit:
            raise WorkbookError(f"The range holds {count} cells; read or write at most {limit} at once.")

    def api_get_address(self):
        return f"{quote_sheet(self._live().name)}!{range_name(self.top, self.left, self.bottom, self.right)}"

    def api_get_addressLocal(self):
        return self.api_get_address()

    def api_get_rowCount(self):
        return self.bottom - self.top + 1

    def api_get_columnCount(self):
        return self.right - self.left + 1

    def api_get_cellCount(self):
        return self.api_get_rowCount() * self.api_get_columnCount()

    def api_get_rowIndex(self):
        return self.top

    def api_get_columnIndex(self):
        return self.left

    def api_get_worksheet(self):
        return WorksheetObject(self.host, self._live())

    def api_get_values(self):
        self._check_size()
        return [["" if v is None else v for v in row] for row in self._values()]

    def api_set_values(self, values):
        self._write(values, as_formulas=False)

    def api_get_formulas(self):
        rows = self.api_get_values()
        for (r, c), cell in self.sheet.cells_within(self.top, self.left, self.bottom, self.right):
            if cell.formula is not None:
                rows[r - self.top][c - self.left] = cell.formula
        return rows

    def api_set_formulas(self, formulas):
        self._write(formulas, as_formulas=True)

    def api_get_text(self):
        self._check_size()
        return [[display_text(v) for v in row] for row in self._values()]

    def _values(self):
        return self._live().values(self.top, self.left, self.bottom, self.right)

    def _write(self, data, as_formulas):
        sheet = self._live()
        self._check_size()
        height, width = self.api_get_rowCount(), self.api_get_columnCount()
        if not isinstance(data, list):
            grid = [[data] * width for _ in range(height)]
        else:
            grid = data
            if len(grid) != height or any(not isinstance(row, list) or len(row) != width for row in grid):
                got = f"{len(grid)}x{len(grid[0]) if grid and isinstance(grid[0], list) else 0}"
                raise WorkbookError(
                    f"The array is {got}, but the range {range_name(self.top, self.left, self.bottom, self.right)} "
                    f"is {height}x{width}; give one value or rows of exactly that size."
                )
        entries = []
        for r, row in enumerate(grid):
            for c, item in enumerate(row):
                entries.append((self.top + r, self.left + c, _entry(item, as_formulas)))
        self.host.write_cells(sheet, entries, (self.top, self.left, self.bottom, self.right))

    def api_call_getCell(self, row, column):
        _check_index(row, "row")
        _check_index(column, "column")
        return RangeObject(self.host, self._live(), self.top + row, self.left + column, self.top + row, self.left + column)

    def api_call_getRow(self, row):
        _check_index(row, "row")
        return RangeObject(self.host, self._live(), self.top + row, self.left, self.top + row, self.right)

    def api_call_getColumn(self, column):
        _check_index(column, "column")
        return RangeObject(self.host, self._live(), self.top, self.left + column, self.bottom, self.left + column)

    def api_call_getOffsetRange(self, rowOffset, columnOffset):
        for value, name in ((rowOffset, "rowOffset"), (columnOffset, "columnOffset")):
            if type(value) is not int:
                raise WorkbookError(f"{name} must be a whole number.")
        top, left = self.top + rowOffset, self.left + columnOffset
        if top < 0 or left < 0:
            raise WorkbookError("The offset range would start outside the sheet.")
        return RangeObject(self.host, self._live(), top, left, self.bottom + rowOffset, self.right + columnOffset)

    def api_call_getResizedRange(self, deltaRows, deltaColumns):
        for value, name in ((deltaRows, "deltaRows"), (deltaColumns, "deltaColumns")):
            if type(value) is not int:
                raise WorkbookError(f"{name} must be a whole number.")
        bottom, right = self.bottom + deltaRows, self.right + deltaColumns
        if bottom < self.top or right < self.left:
            raise WorkbookError("The resized range would have no cells.")
        return RangeObject(self.host, self._live(), self.top, self.left, bottom, right)

    def api_call_clear(self, applyTo=None):
        self.host.clear_cells(self._live(), (self.top, self.left, self.bottom, self.right))
        return None

    def api_call_select(self):
        self.host.select(self._live(), (self.top, self.left, self.bottom, self.right))
        return None


class EventSource(ApiObject):
    """An event of a worksheet (or of every worksheet): Python functions are added to it."""

    type_name = "EventHandlers"

    def __init__(self, host, sheet, event):
        super().__init__(host)
        self.sheet = sheet
        self.event = event

    def api_call_add(self, handler):
        if not isinstance(handler, PythonFunction):
            raise WorkbookError(f"{self.event}.add() expects a Python function.")
        registration = self.host.events.add_callable(self.event, self.sheet, handler.callable_id)
        self.host.events_changed()
        return EventHandlerResult(self.host, registration)


class EventHandlerResult(ApiObject):
    type_name = "EventHandlerResult"

    def __init__(self, host, registration):
        super().__init__(host)
        self.registration = registration

    def api_call_remove(self):
        self.host.events.remove(self.registration)
        self.host.events_changed()
        return None


def _check_index(value, name):
    if type(value) is not int or value < 0:
        raise WorkbookError(f"{name} must be a whole number from 0.")


def _entry(item, as_formula):
    """(value, formula) of one item written through values or formulas."""
    if item is None or item == "":
        return None, None
    if isinstance(item, str) and item.startswith("=") and len(item) > 1:
        return None, item
    if as_formula and isinstance(item, str):
        return parse_entry(item)
    if isinstance(item, (bool, int, float, str)):
        return item, None
    if isinstance(item, bytes):
        return f"<{len(item)} bytes>", None
    raise WorkbookError(f"A cell cannot hold {type(item).__name__} values.")

