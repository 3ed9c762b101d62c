// The output panel: one block per request, filled as its messages arrive.

const MAX_BLOCKS = 400;
const MAX_BLOCK_CHARS = 200000;
// Blocks that collect notes rather than the output of one request.
const LOG_BLOCKS = new Set(["kernel", "workbook", "ui", "standin"]);

export class OutputPanel {
  constructor(element) {
    this.el = element;
    this.blocks = new Map(); // request id -> {root, body, chars}
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
      head.textContent = label || id;
      const body = root.appendChild(document.createElement("div"));
      body.className = "block-body";
      this.el.appendChild(root);
      block = { root, head, body, chars: 0 };
      this.blocks.set(id, block);
      while (this.blocks.size > MAX_BLOCKS) {
        const [oldest, old] = this.blocks.entries().next().value;
        old.root.remove();
        this.blocks.delete(oldest);
      }
      if (stick) this.el.scrollTop = this.el.scrollHeight;
    } else if (label) {
      block.head.textContent = label;
    }
    return block;
  }

  write(id, text, kind) {
    const block = this.block(id);
    const stick = this.atBottom();
    if (block.chars > MAX_BLOCK_CHARS) {
      if (!block.cut) {
        block.cut = true;
        const span = block.body.appendChild(document.createElement("span"));
        span.className = "info";
        span.textContent = "\n… (more output not shown)\n";
      }
      return;
    }
    block.chars += text.length;
    const last = block.body.lastElementChild;
    if (last && last.className === (kind || "") && last.tagName === "SPAN") {
      last.textContent += text; // one span per run of the same kind keeps the DOM small
    } else {
      const span = block.body.appendChild(document.createElement("span"));
      span.className = kind || "";
      span.textContent = text;
    }
    if (stick) this.el.scrollTop = this.el.scrollHeight;
  }

  line(id, text, kind) {
    this.write(id, text.endsWith("\n") ? text : text + "\n", kind);
  }

  // How a request ended: true or "ok", false or "failed", or "stopped" (neither:
  // it was told to stop). The first word stays; later ones repeat it.
  finish(id, outcome) {
    const block = this.blocks.get(id);
    if (!block || !block.root.classList.contains("running")) return;
    block.root.classList.remove("running");
    block.root.classList.add(outcome === true ? "ok" : outcome === false ? "failed" : outcome);
  }

  clear() {
    this.el.textContent = "";
    this.blocks.clear();
  }
}
