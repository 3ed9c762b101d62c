// The page's one WebSocket to the stand-in: messages out, messages in,
// and request/response pairs matched by request id.

const REQUEST_TIMEOUT_MS = 15000;
const RETRY_MS = 2000;

export class Connection {
  constructor({ onMessage, onState }) {
    this.onMessage = onMessage;
    this.onState = onState;
    this.socket = null;
    this.pending = new Map(); // request id -> {types, resolve, timer}
    this.counter = 0;
    const params = new URLSearchParams(location.search);
    this.token = params.get("token") || "";
    this.workbook = params.get("workbook") || "";
  }

  url() {
    const query = new URLSearchParams({ token: this.token });
    if (this.workbook) query.set("workbook", this.workbook);
    return `ws://${location.host}/ws/ide?${query}`;
  }

  connect() {
    this.onState("connecting", "");
    const socket = new WebSocket(this.url());
    this.socket = socket;
    socket.onopen = () => this.onState("open", "");
    socket.onmessage = (event) => this.receive(JSON.parse(event.data));
    socket.onclose = (event) => {
      this.socket = null;
      for (const [id, entry] of this.pending) {
        clearTimeout(entry.timer);
        entry.resolve(null);
      }
      this.pending.clear();
      if (event.code === 1008) {
        // Refused (token, origin): retrying cannot help.
        this.onState("refused", event.reason || "the stand-in refused this page");
        return;
      }
      this.onState("closed", event.reason || "the stand-in is not reachable; retrying");
      setTimeout(() => this.connect(), RETRY_MS);
    };
  }

  get open() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  newId(prefix) {
    this.counter += 1;
    return `ide-${prefix}-${this.counter}-${Math.random().toString(16).slice(2, 8)}`;
  }

  send(message) {
    if (!this.open) return false;
    this.socket.send(JSON.stringify(message));
    return true;
  }

  // Sends a request and resolves with its response (a message of one of
  // `types` with the same request id), or null on timeout or disconnect.
  request(message, types) {
    const id = message.request_id || this.newId(message.type);
    message.request_id = id;
    return new Promise((resolve) => {
      if (!this.send(message)) return resolve(null);
      const timer = setTimeout(() => {
        this.pending.delete(id);
        resolve(null);
      }, REQUEST_TIMEOUT_MS);
      this.pending.set(id, { types, resolve, timer });
    });
  }

  receive(message) {
    const entry = message.request_id != null ? this.pending.get(message.request_id) : undefined;
    if (entry && (entry.types.includes(message.type) || message.type === "standin_error")) {
      // An answer (or a refusal) to a request that someone awaits: theirs alone.
      clearTimeout(entry.timer);
      this.pending.delete(message.request_id);
      entry.resolve(message.type === "standin_error" ? null : message);
      return;
    }
    this.onMessage(message);
  }
}
