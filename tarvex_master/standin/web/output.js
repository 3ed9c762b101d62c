// The output panel: one block per request, filled as its messages arrive.

const MAX_BLOCKS = 400;
// A block keeps the tail of its output, as a terminal keeps its scrollback:
// a loop that prints a million lines shows its last lines and says how many
// came before them.
const TAIL_LINES = 5000;
const TAIL_CHARS = 400000;
// Output is drawn in pieces of this many lines, each a box of its own, so
// that adding a line lays out one piece and not the whole tail.
const PIECE_LINES = 100;
const STOP_TITLE = "Interrupt this run (Ctrl+C in the console); what it defined so far stays";
const STOPPING_TITLE = "The run stops at its next line of Python (a call such as time.sleep ends first)";
// Blocks that collect notes rather than the output of one request.
const LOG_BLOCKS = new Set(["kernel", "workbook", "ui", "standin"]);

function countLines(text, from = 0, to = text.length) {
  let lines = 0;
  for (let at = text.indexOf("\n", from); at !== -1 && at < to; at = text.indexOf("\n", at + 1)) lines++;
  return lines;
}

// The end of the `lines`-th line of `text` (its length when it has fewer).
function afterLines(text, lines) {
  let at = 0;
  for (let i = 0; i < lines; i++) {
    const next = text.indexOf("\n", at);
    if (next === -1) return text.length;
    at = next + 1;
  }
  return at;
}

// Text that arrived since the last frame, by kind, cut to the tail when
// it alone is longer (as in a hidden tab, where no frame is drawn).
class Pending {
  constructor() {
    this.runs = [];
    this.lines = 0;
    this.chars = 0;
    this.dropped = 0; // lines cut from its front
  }

  add(text, kind) {
    const last = this.runs[this.runs.length - 1];
    if (last && last.kind === kind) last.text += text;
    else this.runs.push({ kind, text });
    this.lines += countLines(text);
    this.chars += text.length;
    while ((this.lines > TAIL_LINES || this.chars > TAIL_CHARS) && this.runs.length) {
      const first = this.runs[0];
      let cut = afterLines(first.text, Math.max(0, this.lines - TAIL_LINES));
      if (cut < this.chars - TAIL_CHARS) {
        const next = first.text.indexOf("\n", this.chars - TAIL_CHARS);
        cut = next === -1 ? first.text.length : next + 1;
      }
      const lines = countLines(first.text, 0, cut);
      this.dropped += lines;
      this.lines -= lines;
      this.chars -= cut;
      if (cut >= first.text.length) this.runs.shift();
      else first.text = first.text.slice(cut);
    }
  }

  // True when it alone fills the tail: nothing drawn before it stays.
  full() {
    return this.dropped > 0;
  }
}

export class OutputPanel {
  constructor(element) {
    this.el = element;
    this.blocks = new Map(); // request id -> {root, head, body, ...}
    this.stops = new Map(); // request id -> what its Stop button does, while it runs
    this.dirty = new Set(); // blocks with text to draw in the next frame
    this.frame = 0;
  }

  atBottom() {
    return this.el.scrollHeight - this.el.scrollTop - this.el.clientHeight < 30;
  }

  block(id, label) {
    let block = this.blocks.get(id);
    if (block === undefined) {
      const stick = this.atBottom();
      const root = document.createElement("div");
      root.className = LOG_BLOCKS.has(id) ? "block" : "block running";
      root.dataset.request = id;
      const head = root.appendChild(document.createElement("div"));
      head.className = "block-head";
      const title = head.appendChild(document.createElement("span"));
      title.textContent = label || id;
      const body = root.appendChild(document.createElement("div"));
      body.className = "block-body";
      this.el.appendChild(root);
      block = { root, head, title, stop: null, body, pieces: [], lines: 0, chars: 0, hiddenLines: 0, note: null,
                pending: new Pending() };
      this.blocks.set(id, block);
      if (this.stops.has(id)) this.addStop(block, this.stops.get(id));
      while (this.blocks.size > MAX_BLOCKS) {
        const [oldest, old] = this.blocks.entries().next().value;
        old.root.remove();
        this.blocks.delete(oldest);
        this.dirty.delete(old);
      }
      if (stick) this.el.scrollTop = this.el.scrollHeight;
    } else if (label) {
      block.title.textContent = label;
    }
    return block;
  }

  // Gives a running block a Stop button, which calls `onStop(id)`; it goes
  // when the block finishes. A block cleared away gets it back with its
  // next output.
  stoppable(id, onStop) {
    this.stops.set(id, onStop);
    const block = this.blocks.get(id);
    if (block && !block.stop) this.addStop(block, onStop);
  }

  addStop(block, onStop) {
    const id = block.root.dataset.request;
    block.stop = block.head.appendChild(document.createElement("button"));
    block.stop.className = "small stop";
    block.stop.textContent = "Stop";
    block.stop.title = STOP_TITLE;
    block.stop.onclick = () => onStop(id);
  }

  // The run asked to stop: its button waits for the run to end (true), or
  // offers itself again (false: the kernel found nothing running to stop).
  stopping(id, asked) {
    const button = this.blocks.get(id)?.stop;
    if (!button) return;
    button.disabled = asked;
    button.textContent = asked ? "Stopping…" : "Stop";
    button.title = asked ? STOPPING_TITLE : STOP_TITLE;
  }

  // The latest run that can still be stopped, or null.
  lastStoppable() {
    let last = null;
    for (const id of this.stops.keys()) last = id;
    return last;
  }

  // Text is kept at once and drawn once per frame, however many messages
  // brought it.
  write(id, text, kind) {
    const block = this.block(id);
    block.pending.add(text, kind || "");
    this.dirty.add(block);
    if (!this.frame) this.frame = requestAnimationFrame(() => this.draw());
  }

  draw() {
    this.frame = 0;
    const stick = this.atBottom();
    for (const block of this.dirty) this.drawPending(block);
    this.dirty.clear();
    if (stick) this.el.scrollTop = this.el.scrollHeight;
  }

  drawPending(block) {
    const pending = block.pending;
    block.pending = new Pending();
    if (pending.full()) this.hide(block, block.pieces.length);
    block.hiddenLines += pending.dropped;
    for (const run of pending.runs) this.append(block, run.text, run.kind);
    let drop = 0;
    for (let lines = block.lines, chars = block.chars; drop < block.pieces.length - 1 &&
         (lines > TAIL_LINES || chars > TAIL_CHARS); drop++) {
      lines -= block.pieces[drop].lines;
      chars -= block.pieces[drop].chars;
    }
    this.hide(block, drop);
    if (block.hiddenLines) {
      if (!block.note) {
        block.note = block.body.insertBefore(document.createElement("div"), block.body.firstChild);
        block.note.className = "info";
      }
      block.note.textContent = `… ${block.hiddenLines.toLocaleString("en-US")} earlier lines not shown`;
    }
  }

  // Removes the first `count` pieces, counting their lines as hidden.
  hide(block, count) {
    for (const piece of block.pieces.splice(0, count)) {
      piece.el.remove();
      block.hiddenLines += piece.lines;
      block.lines -= piece.lines;
      block.chars -= piece.chars;
    }
  }

  // Adds text at the end, starting a new piece after every PIECE_LINES lines.
  append(block, text, kind) {
    while (text) {
      let piece = block.pieces[block.pieces.length - 1];
      if (!piece || piece.lines >= PIECE_LINES) {
        piece = { el: block.body.appendChild(document.createElement("div")), lines: 0, chars: 0, span: null };
        block.pieces.push(piece);
      }
      const cut = afterLines(text, PIECE_LINES - piece.lines);
      const part = text.slice(0, cut);
      text = text.slice(cut);
      if (piece.span && piece.span.className === kind) {
        piece.span.textContent += part;
      } else {
        piece.span = piece.el.appendChild(document.createElement("span"));
        piece.span.className = kind;
        piece.span.textContent = part;
      }
      const lines = countLines(part);
      piece.lines += lines;
      piece.chars += part.length;
      block.lines += lines;
      block.chars += part.length;
    }
  }

  line(id, text, kind) {
    this.write(id, text.endsWith("\n") ? text : text + "\n", kind);
  }

  // How a request ended: true or "ok", false or "failed", or "stopped" (neither:
  // it was told to stop). The first word stays; later ones repeat it.
  finish(id, outcome) {
    this.stops.delete(id);
    const block = this.blocks.get(id);
    if (!block || !block.root.classList.contains("running")) return;
    block.stop?.remove();
    block.stop = null;
    block.root.classList.remove("running");
    block.root.classList.add(outcome === true ? "ok" : outcome === false ? "failed" : outcome);
  }

  clear() {
    this.el.textContent = "";
    this.blocks.clear();
    this.dirty.clear();
  }
}
