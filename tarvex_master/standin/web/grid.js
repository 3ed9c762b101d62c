// The simulated workbook as a grid: sheet tabs, a formula bar, and cells
// that update as the stand-in reports changes.
//
// Only the rows and columns in view are drawn: a spacer gives the scroll
// area the size of the whole sheet, and a table pinned to the view's top
// left shows the cells under it, redrawn once per frame. A sheet with a
// million-cell table costs what a small one does.

const MIN_ROWS = 40;
const MIN_COLUMNS = 12;
const MARGIN = 5;
const SHEET_ROWS = 1048576;
const SHEET_COLUMNS = 16384;
// Pixel sizes of the drawn cells (style.css takes them from these).
const ROW_HEIGHT = 21;
const COLUMN_WIDTH = 86;
const HEAD_WIDTH = 56;

export function columnName(index) {
  let name = "";
  for (let n = index + 1; n > 0; n = Math.floor((n - 1) / 26)) name = String.fromCharCode(65 + ((n - 1) % 26)) + name;
  return name;
}

export function parseCell(address) {
  const match = /^([A-Z]{1,3})(\d+)$/.exec(address);
  if (!match) return null;
  let column = 0;
  for (const letter of match[1]) column = column * 26 + (letter.charCodeAt(0) - 64);
  return { row: Number(match[2]) - 1, column: column - 1 };
}

// One sheet as the page knows it: the cells the stand-in sent, and the
// array results spilled from some of them, kept whole.
class SheetModel {
  constructor() {
    this.cells = new Map(); // address -> cell json
    this.spills = new Map(); // address of the formula -> {top, left, rows, columns, texts, numeric}
    this.extent = null; // {rows, columns} in use; null: count again
  }

  set(address, cell) {
    const mayShrink = this.spills.has(address) || (cell === null && this.cells.has(address));
    if (cell === null) this.cells.delete(address);
    else this.cells.set(address, cell);
    this.spills.delete(address);
    if (cell?.spill) {
      const at = parseCell(address);
      const { rows, columns, texts, numeric } = cell.spill;
      this.spills.set(address, { top: at.row, left: at.column, rows, columns, texts, numeric });
    }
    if (mayShrink) this.extent = null; // counted again when next asked
    else if (this.extent !== null && cell !== null) this.grow(address, cell);
  }

  grow(address, cell) {
    const at = parseCell(address);
    if (!at) return;
    const height = cell.spill ? cell.spill.rows : 1;
    const width = cell.spill ? cell.spill.columns : 1;
    this.extent.rows = Math.max(this.extent.rows, at.row + height);
    this.extent.columns = Math.max(this.extent.columns, at.column + width);
  }

  used() {
    if (this.extent === null) {
      this.extent = { rows: 0, columns: 0 };
      for (const [address, cell] of this.cells) this.grow(address, cell);
    }
    return this.extent;
  }

  // The arrays that cover part of a rectangle.
  spillsWithin(top, left, bottom, right) {
    const found = [];
    for (const block of this.spills.values()) {
      if (block.top <= bottom && top < block.top + block.rows && block.left <= right && left < block.left + block.columns) {
        found.push(block);
      }
    }
    return found;
  }
}

// A row of texts comes as one string, tab-separated (or as a list when a text
// holds a tab): reading a big table is then quick, and only rows drawn are split.
function spillText(block, row, column) {
  const line = block.texts[row];
  if (typeof line !== "string") return line[column];
  if (block.split?.row !== row) block.split = { row, texts: line.split("\t") };
  return block.split.texts[column];
}

function spillAt(blocks, row, column) {
  for (const block of blocks) {
    if (row >= block.top && row < block.top + block.rows && column >= block.left && column < block.left + block.columns) {
      return block;
    }
  }
  return null;
}

export class WorkbookGrid {
  constructor(elements, connection, { beforeFormula }) {
    this.el = elements; // {scroll, space, grid, tabs, address, input, recalculate}
    this.connection = connection;
    this.beforeFormula = beforeFormula;
    this.sheets = new Map(); // name -> SheetModel
    this.order = [];
    this.active = null;
    this.selected = { row: 0, column: 0 };
    this.editing = false;
    this.view = { width: 0, height: 0 }; // the scroll area's inner size, from a ResizeObserver
    this.window = { top: 0, left: 0, rows: 0, columns: 0 }; // what the table shows now
    this.flashes = { cells: new Set(), areas: [] }; // changed since the last frame
    this.frame = 0;
    this.shape = { rows: 0, columns: 0 };
    const style = this.el.scroll.style;
    style.setProperty("--row-height", `${ROW_HEIGHT}px`);
    style.setProperty("--column-width", `${COLUMN_WIDTH}px`);
    style.setProperty("--head-width", `${HEAD_WIDTH}px`);
    this.el.scroll.addEventListener("scroll", () => this.schedule(), { passive: true });
    new ResizeObserver(([entry]) => {
      this.view = { width: entry.contentRect.width, height: entry.contentRect.height };
      this.schedule();
    }).observe(this.el.scroll);
    this.wire();
  }

  sheet() {
    return this.sheets.get(this.active) || new SheetModel();
  }

  // -- state from the stand-in ---------------------------------------------------

  load(workbook) {
    this.sheets.clear();
    this.order = workbook.sheets.map((sheet) => sheet.name);
    for (const sheet of workbook.sheets) {
      const model = new SheetModel();
      for (const [address, cell] of Object.entries(sheet.cells)) model.set(address, cell);
      this.sheets.set(sheet.name, model);
    }
    this.active = workbook.active;
    const selected = parseCell((workbook.selection?.address || "A1").split(":")[0]);
    if (selected && workbook.selection?.sheet === this.active) this.selected = selected;
    this.drawTabs();
    this.showSelected();
    this.schedule();
  }

  structure({ sheets, active, selection }) {
    for (const name of sheets) if (!this.sheets.has(name)) this.sheets.set(name, new SheetModel());
    for (const name of [...this.sheets.keys()]) if (!sheets.includes(name)) this.sheets.delete(name);
    this.order = sheets;
    const switched = active !== this.active;
    this.active = active;
    if (switched) {
      if (selection?.sheet === active) this.selected = parseCell(selection.address.split(":")[0]) || this.selected;
      this.el.scroll.scrollTo(0, 0);
      this.showSelected();
      this.schedule();
    }
    this.drawTabs();
  }

  // Takes a batch of changed cells; the next frame draws them.
  update(changes) {
    for (const [sheetName, cells] of Object.entries(changes)) {
      const sheet = this.sheets.get(sheetName);
      if (sheet === undefined) continue;
      for (const [address, cell] of Object.entries(cells)) {
        sheet.set(address, cell);
        if (sheetName !== this.active || !cell || cell.error) continue;
        this.flashes.cells.add(address);
        if (cell.spill) {
          const at = parseCell(address);
          this.flashes.areas.push({ top: at.row, left: at.column, rows: cell.spill.rows, columns: cell.spill.columns });
          if (this.flashes.areas.length > 64) this.flashes.areas = [bounds(this.flashes.areas)]; // a hidden tab's backlog
        }
      }
    }
    this.showSelected();
    this.schedule();
  }

  // -- drawing ----------------------------------------------------------------

  schedule() {
    if (!this.frame) this.frame = requestAnimationFrame(() => this.draw());
  }

  // The sheet's size in the grid: what is in use and a margin, never less than a screenful.
  size() {
    const used = this.sheet().used();
    return {
      rows: Math.min(SHEET_ROWS, Math.max(MIN_ROWS, used.rows + MARGIN, this.selected.row + 1)),
      columns: Math.min(SHEET_COLUMNS, Math.max(MIN_COLUMNS, used.columns + MARGIN, this.selected.column + 1)),
    };
  }

  draw() {
    this.frame = 0;
    const scroll = this.el.scroll;
    const scrollTop = scroll.scrollTop; // read before anything is written: no forced layout
    const scrollLeft = scroll.scrollLeft;
    const { rows, columns } = this.size();
    const bodyHeight = Math.max(0, this.view.height - ROW_HEIGHT);
    const bodyWidth = Math.max(0, this.view.width - HEAD_WIDTH);
    // The last row and column can scroll fully into view, and no further.
    const lastTop = Math.max(0, rows - Math.floor(bodyHeight / ROW_HEIGHT));
    const lastLeft = Math.max(0, columns - Math.floor(bodyWidth / COLUMN_WIDTH));
    this.el.space.style.height = `${this.view.height + lastTop * ROW_HEIGHT}px`;
    this.el.space.style.width = `${this.view.width + lastLeft * COLUMN_WIDTH}px`;
    const top = Math.min(lastTop, Math.floor(scrollTop / ROW_HEIGHT));
    const left = Math.min(lastLeft, Math.floor(scrollLeft / COLUMN_WIDTH));
    const shownRows = Math.max(0, Math.min(rows - top, Math.ceil(bodyHeight / ROW_HEIGHT)));
    const shownColumns = Math.max(0, Math.min(columns - left, Math.ceil(bodyWidth / COLUMN_WIDTH)));
    this.window = { top, left, rows: shownRows, columns: shownColumns };
    this.reshape(shownRows, shownColumns);
    this.el.grid.style.width = `${HEAD_WIDTH + shownColumns * COLUMN_WIDTH}px`;

    const names = [];
    const heads = this.el.grid.tHead.rows[0].cells;
    for (let c = 0; c < shownColumns; c++) {
      names.push(columnName(left + c));
      setText(heads[c + 1], names[c]);
    }
    const sheet = this.sheet();
    const blocks = sheet.spillsWithin(top, left, top + shownRows - 1, left + shownColumns - 1);
    const selected = this.selectedAddress();
    const body = this.el.grid.tBodies[0].rows;
    for (let r = 0; r < shownRows; r++) {
      const tr = body[r];
      const row = top + r;
      setText(tr.cells[0], String(row + 1));
      for (let c = 0; c < shownColumns; c++) {
        const address = names[c] + (row + 1);
        this.drawCell(tr.cells[c + 1], sheet, blocks, row, left + c, address, address === selected);
      }
    }
    this.flashes = { cells: new Set(), areas: [] };
  }

  // Adds or removes rows and cells at the table's ends; the ones kept stay the same elements.
  reshape(rows, columns) {
    const table = this.el.grid;
    if (!table.tHead) {
      table.createTHead().insertRow().appendChild(document.createElement("th")).className = "row-head";
      table.createTBody();
    }
    const lines = [table.tHead.rows[0], ...table.tBodies[0].rows];
    if (columns !== this.shape.columns) {
      for (const [index, tr] of lines.entries()) fitCells(tr, columns, index === 0 ? "th" : "td");
    }
    const body = table.tBodies[0];
    while (body.rows.length > rows) body.lastElementChild.remove();
    while (body.rows.length < rows) {
      const tr = body.insertRow();
      tr.appendChild(document.createElement("th")).className = "row-head";
      fitCells(tr, columns, "td");
    }
    this.shape = { rows, columns };
  }

  drawCell(td, sheet, blocks, row, column, address, selected) {
    const cell = sheet.cells.get(address);
    let text = "", title = "", classes = "";
    if (cell) {
      text = cell.text;
      title = [cell.formula, cell.detail].filter(Boolean).join("\n");
      if (cell.error === "#BUSY!") classes = "busy";
      else if (cell.error) classes = "error";
      else if (typeof cell.value === "number") classes = "number";
      if (cell.streaming) classes += " streaming";
    } else {
      const block = spillAt(blocks, row, column);
      if (block) {
        text = spillText(block, row - block.top, column - block.left);
        classes = block.numeric[row - block.top][column - block.left] === "1" ? "spill number" : "spill";
      }
    }
    if (selected) classes += " selected";
    if (td.dataset.address !== address) {
      td.dataset.address = address;
      td.flash = ""; // a flash belongs to the cell it was for
    }
    if (this.flashing(address, row, column, cell)) td.flash = td.flash === "flash-a" ? "flash-b" : "flash-a";
    if (td.flash) classes += ` ${td.flash}`;
    setText(td, text);
    if (td.title !== title) td.title = title;
    if (td.className !== classes) td.className = classes;
  }

  // Whether the cell changed in this batch. A new animation name restarts the
  // flash (two names taking turns), with no layout read.
  flashing(address, row, column, cell) {
    if (this.flashes.cells.has(address)) return true;
    if (cell) return false;
    return this.flashes.areas.some((a) => row >= a.top && row < a.top + a.rows && column >= a.left && column < a.left + a.columns);
  }

  drawTabs() {
    const tabs = this.el.tabs;
    tabs.textContent = "";
    for (const name of this.order) {
      const button = tabs.appendChild(document.createElement("button"));
      button.textContent = name;
      button.className = name === this.active ? "active" : "";
      button.onclick = () => this.connection.send({ type: "activate_sheet", sheet: name });
    }
    const add = tabs.appendChild(document.createElement("button"));
    add.textContent = "+";
    add.title = "Add a worksheet";
    add.onclick = () => this.connection.send({ type: "add_sheet" });
  }

  selectedAddress() {
    return columnName(this.selected.column) + (this.selected.row + 1);
  }

  // The formula bar shows the selected cell (the grid's highlight follows in the next frame).
  showSelected() {
    const address = this.selectedAddress();
    this.el.address.textContent = address;
    if (!this.editing) {
      const cell = this.sheet().cells.get(address);
      this.el.input.value = cell ? (cell.formula ?? cell.text) : "";
    }
  }

  // Scrolls so that the selected cell is in full view.
  reveal() {
    const { row, column } = this.selected;
    const { top, left } = this.window;
    const fullRows = Math.max(1, Math.floor((this.view.height - ROW_HEIGHT) / ROW_HEIGHT));
    const fullColumns = Math.max(1, Math.floor((this.view.width - HEAD_WIDTH) / COLUMN_WIDTH));
    const scroll = this.el.scroll;
    if (row < top) scroll.scrollTop = row * ROW_HEIGHT;
    else if (row >= top + fullRows) scroll.scrollTop = (row - fullRows + 1) * ROW_HEIGHT;
    if (column < left) scroll.scrollLeft = column * COLUMN_WIDTH;
    else if (column >= left + fullColumns) scroll.scrollLeft = (column - fullColumns + 1) * COLUMN_WIDTH;
  }

  // -- input ------------------------------------------------------------------

  select(row, column) {
    this.selected = {
      row: Math.min(SHEET_ROWS - 1, Math.max(0, row)),
      column: Math.min(SHEET_COLUMNS - 1, Math.max(0, column)),
    };
    this.editing = false;
    this.showSelected();
    this.reveal();
    this.schedule();
    this.connection.send({ type: "select", sheet: this.active, address: this.selectedAddress() });
  }

  commit(text) {
    if (text.trim().startsWith("=")) this.beforeFormula();
    this.connection.send({ type: "set_cell", sheet: this.active, address: this.selectedAddress(), text });
    this.editing = false;
  }

  wire() {
    const { grid, input, recalculate } = this.el;
    grid.addEventListener("click", (event) => {
      const td = event.target.closest("td");
      if (!td) return;
      const at = parseCell(td.dataset.address);
      this.select(at.row, at.column);
      grid.focus({ preventScroll: true });
    });
    grid.addEventListener("dblclick", () => input.focus());
    grid.tabIndex = 0;
    grid.addEventListener("keydown", (event) => {
      const page = Math.max(1, Math.floor((this.view.height - ROW_HEIGHT) / ROW_HEIGHT) - 1);
      const moves = {
        ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1], Enter: [1, 0], Tab: [0, 1],
        PageUp: [-page, 0], PageDown: [page, 0],
      };
      if (moves[event.key]) {
        event.preventDefault();
        this.select(this.selected.row + moves[event.key][0], this.selected.column + moves[event.key][1]);
      } else if (event.key === "Delete" || event.key === "Backspace") {
        event.preventDefault();
        this.commit("");
      } else if (event.key.length === 1 && !event.ctrlKey && !event.metaKey && !event.altKey) {
        // Typing on a selected cell starts editing it.
        event.preventDefault();
        this.editing = true;
        input.value = event.key;
        input.focus();
      }
    });
    // While the formula bar has the focus, live updates of the cell leave its text alone.
    input.addEventListener("focus", () => { this.editing = true; });
    input.addEventListener("blur", () => { this.editing = false; });
    input.addEventListener("input", () => { this.editing = true; });
    input.addEventListener("keydown", (event) => {
      if (event.key === "Enter") {
        event.preventDefault();
        this.commit(input.value);
        this.select(this.selected.row + 1, this.selected.column);
        grid.focus({ preventScroll: true });
      } else if (event.key === "Escape") {
        this.editing = false;
        this.showSelected();
        grid.focus({ preventScroll: true });
      }
    });
    recalculate.addEventListener("click", () => this.connection.send({ type: "recalculate" }));
  }
}

function bounds(areas) {
  const top = Math.min(...areas.map((a) => a.top));
  const left = Math.min(...areas.map((a) => a.left));
  const bottom = Math.max(...areas.map((a) => a.top + a.rows));
  const right = Math.max(...areas.map((a) => a.left + a.columns));
  return { top, left, rows: bottom - top, columns: right - left };
}

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

function fitCells(tr, columns, tag) {
  while (tr.cells.length > columns + 1) tr.lastElementChild.remove();
  while (tr.cells.length < columns + 1) tr.appendChild(document.createElement(tag));
}
