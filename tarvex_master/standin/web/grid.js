// The simulated workbook as a grid: sheet tabs, a formula bar, and cells
// that update as the stand-in reports changes.

const MIN_ROWS = 40;
const MIN_COLUMNS = 12;
const MARGIN = 5;
// A page stays quick with this many rows and columns drawn; cells beyond
// them are still in the workbook (code reads them), just not shown.
const MAX_ROWS = 2000;
const MAX_COLUMNS = 100;

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

export class WorkbookGrid {
  constructor(elements, connection, { beforeFormula }) {
    this.el = elements; // {grid, scroll, tabs, address, input, recalculate}
    this.connection = connection;
    this.beforeFormula = beforeFormula;
    this.sheets = new Map(); // name -> Map(address -> cell json)
    this.order = [];
    this.active = null;
    this.selected = { row: 0, column: 0 };
    this.cells = new Map(); // address -> td of the drawn sheet
    this.rows = 0;
    this.columns = 0;
    this.editing = false;
    this.wire();
  }

  // -- state from the stand-in ---------------------------------------------------

  load(workbook) {
    this.sheets.clear();
    this.order = workbook.sheets.map((sheet) => sheet.name);
    for (const sheet of workbook.sheets) this.sheets.set(sheet.name, new Map(Object.entries(sheet.cells)));
    this.active = workbook.active;
    const selected = parseCell((workbook.selection?.address || "A1").split(":")[0]);
    if (selected && workbook.selection?.sheet === this.active) this.selected = selected;
    this.draw();
  }

  structure({ sheets, active, selection }) {
    for (const name of sheets) if (!this.sheets.has(name)) this.sheets.set(name, new Map());
    for (const name of [...this.sheets.keys()]) if (!sheets.includes(name)) this.sheets.delete(name);
    this.order = sheets;
    const switched = active !== this.active;
    this.active = active;
    if (switched && selection?.sheet === active) this.selected = parseCell(selection.address.split(":")[0]) || this.selected;
    switched ? this.draw() : this.drawTabs();
  }

  update(changes) {
    for (const [sheetName, cells] of Object.entries(changes)) {
      const sheet = this.sheets.get(sheetName);
      if (sheet === undefined) continue;
      for (const [address, cell] of Object.entries(cells)) {
        if (cell === null) sheet.delete(address);
        else sheet.set(address, cell);
        if (sheetName === this.active) this.drawCell(address, true);
      }
    }
    if (this.sheets.get(this.active) && this.needsGrowth()) this.draw();
    this.showSelected();
  }

  // -- drawing ----------------------------------------------------------------

  needsGrowth() {
    for (const address of this.sheets.get(this.active).keys()) {
      const at = parseCell(address);
      if (at && ((at.row >= this.rows && this.rows < MAX_ROWS) || (at.column >= this.columns && this.columns < MAX_COLUMNS))) {
        return true;
      }
    }
    return false;
  }

  draw() {
    const sheet = this.sheets.get(this.active) || new Map();
    let rows = MIN_ROWS, columns = MIN_COLUMNS;
    for (const address of sheet.keys()) {
      const at = parseCell(address);
      if (at) {
        rows = Math.max(rows, at.row + 1 + MARGIN);
        columns = Math.max(columns, at.column + 1 + MARGIN);
      }
    }
    this.hidden = rows > MAX_ROWS || columns > MAX_COLUMNS;
    this.rows = Math.min(rows, MAX_ROWS);
    this.columns = Math.min(columns, MAX_COLUMNS);
    rows = this.rows;
    columns = this.columns;
    const table = this.el.grid;
    table.textContent = "";
    const head = table.createTHead().insertRow();
    head.appendChild(document.createElement("th")).className = "row-head";
    for (let c = 0; c < columns; c++) head.appendChild(document.createElement("th")).textContent = columnName(c);
    const body = table.createTBody();
    this.cells.clear();
    for (let r = 0; r < rows; r++) {
      const tr = body.insertRow();
      const th = tr.appendChild(document.createElement("th"));
      th.className = "row-head";
      th.textContent = r + 1;
      for (let c = 0; c < columns; c++) {
        const td = tr.insertCell();
        const address = columnName(c) + (r + 1);
        td.dataset.address = address;
        this.cells.set(address, td);
      }
    }
    for (const address of sheet.keys()) this.drawCell(address, false);
    this.drawTabs();
    this.showSelected();
  }

  drawCell(address, flash) {
    const td = this.cells.get(address);
    if (td === undefined) return;
    const cell = this.sheets.get(this.active)?.get(address);
    td.textContent = cell ? cell.text : "";
    td.title = cell ? [cell.formula, cell.detail].filter(Boolean).join("\n") : "";
    td.className = "";
    if (cell) {
      if (cell.error === "#BUSY!") td.classList.add("busy");
      else if (cell.error) td.classList.add("error");
      if (typeof cell.value === "number" && !cell.error) td.classList.add("number");
      if (cell.spill_from) td.classList.add("spill");
      if (cell.streaming) td.classList.add("streaming");
    }
    if (address === this.selectedAddress()) td.classList.add("selected");
    if (flash && cell && !cell.error) {
      td.classList.remove("flash");
      void td.offsetWidth; // restart the animation
      td.classList.add("flash");
    }
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
    if (this.hidden) {
      const note = tabs.appendChild(document.createElement("span"));
      note.className = "muted";
      note.textContent = ` showing the first ${MAX_ROWS} rows and ${MAX_COLUMNS} columns`;
    }
  }

  selectedAddress() {
    return columnName(this.selected.column) + (this.selected.row + 1);
  }

  showSelected() {
    for (const td of this.el.grid.querySelectorAll("td.selected")) td.classList.remove("selected");
    const address = this.selectedAddress();
    this.cells.get(address)?.classList.add("selected");
    this.el.address.textContent = address;
    if (!this.editing) {
      const cell = this.sheets.get(this.active)?.get(address);
      this.el.input.value = cell ? (cell.formula ?? (cell.spill_from ? "" : cell.text)) : "";
    }
  }

  // -- input ------------------------------------------------------------------

  select(row, column) {
    this.selected = { row: Math.max(0, row), column: Math.max(0, column) };
    this.editing = false;
    this.showSelected();
    this.cells.get(this.selectedAddress())?.scrollIntoView({ block: "nearest", inline: "nearest" });
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
      grid.focus();
    });
    grid.addEventListener("dblclick", () => input.focus());
    grid.tabIndex = 0;
    grid.addEventListener("keydown", (event) => {
      const moves = { ArrowUp: [-1, 0], ArrowDown: [1, 0], ArrowLeft: [0, -1], ArrowRight: [0, 1], Enter: [1, 0], Tab: [0, 1] };
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
        grid.focus();
      } else if (event.key === "Escape") {
        this.editing = false;
        this.showSelected();
        grid.focus();
      }
    });
    recalculate.addEventListener("click", () => this.connection.send({ type: "recalculate" }));
  }
}
