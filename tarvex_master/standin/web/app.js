// The code editor page: connects to the stand-in and routes its messages
// to the editor, the output panel, the workbook grid and the side panels.

import { Connection } from "./connection.js";
import { CodeEditor, loadMonaco } from "./editor.js";
import { WorkbookGrid } from "./grid.js";
import { OutputPanel } from "./output.js";
import { toWire } from "./wire.js";

const $ = (id) => document.getElementById(id);
const output = new OutputPanel($("output"));
const labels = new Map(); // request id -> what it is, for the output panel
const addinRequests = new Set(); // request ids the simulated add-in started
let editor = null;
let debugRequest = null; // request id of the running debug session
let debugOutcome = "ok"; // how it ends unless told otherwise: "ok", "failed" (it raised) or "stopped"
let debugStopSent = false; // the kernel answers a stop with a debug_terminated that names no request
let moduleState = null; // the workbook's modules, once the stand-in has sent them

const connection = new Connection({ onMessage: route, onState: connectionState });
const grid = new WorkbookGrid(
  {
    scroll: $("grid-scroll"), space: $("grid-space"), grid: $("grid"), tabs: $("sheet-tabs"),
    address: $("cell-address"), input: $("cell-input"), recalculate: $("recalculate"),
  },
  connection,
  { beforeFormula: () => editor?.saveAll() },
);

// -- connection ---------------------------------------------------------------

function connectionState(state, detail) {
  const note = $("connection-note");
  if (state === "open") note.textContent = "";
  else if (state === "refused") note.textContent = `Refused: ${detail}`;
  else if (state === "closed") {
    note.textContent = `Disconnected from the stand-in (${detail}).`;
    setKernelStatus("offline", "The page has no connection to the stand-in.");
  }
}

function setKernelStatus(status, detail) {
  const pill = $("kernel-status");
  pill.textContent = `kernel: ${status}`;
  pill.className = `pill ${status}`;
  pill.title = detail || "";
}

// -- messages from the stand-in ------------------------------------------------

const handlers = {
  standin_state(m) {
    $("workbook-name").textContent = m.workbook_id;
    document.title = `${m.workbook_id} — Workbook Python`;
    moduleState = m.modules;
    if (editor) syncModules(m.modules);
    grid.load(m.workbook);
    showEvents(m.workbook.events);
    $("events-enabled").checked = m.workbook.events_enabled;
    fillSheetChoices();
    setKernelStatus(m.kernel.status, m.kernel.detail);
  },
  kernel_status(m) {
    setKernelStatus(m.status, m.detail);
    if (m.status === "connected") {
      connection.send({ type: "set_hover_mode", mode: $("hover-mode").value });
      editor?.refreshAllDiagnostics();
      output.line("kernel", "The kernel is connected.", "info");
    } else if (m.detail) {
      output.line("kernel", m.detail, "info");
    }
    if (m.status !== "connected") {
      endDebugging();
      // The runs of the kernel that went are over, whatever it was doing.
      for (let id = output.lastStoppable(); id !== null; id = output.lastStoppable()) {
        output.line(id, "The kernel went away before the run ended.", "error");
        output.finish(id, false);
      }
    }
  },
  module_saved(m) { editor?.putModule(m.module_name, m.code); },
  module_removed(m) { editor?.removeModule(m.module_name); },
  cells_updated(m) { grid.update(m.sheets); },
  workbook_structure(m) { grid.structure(m); fillSheetChoices(); },
  events(m) { showEvents(m.events); },
  events_enabled(m) { $("events-enabled").checked = m.enabled; },
  set_enable_events(m) { output.line("kernel", `Code turned workbook events ${m.enable ? "on" : "off"}.`, "info"); },
  show_message_box(m) { showMessageBox(m.title, m.message, m.msg_type); },
  addin_request(m) { remember(m.request_id, m.label, true); },
  addin_log(m) {
    const id = m.request_id && addinRequests.has(m.request_id) ? m.request_id : "workbook";
    output.block(id, labels.get(id) || "workbook");
    output.line(id, m.text, m.level === "error" ? "error" : "info");
  },
  stdout(m) { write(m, m.content, ""); },
  stderr(m) {
    // Only the end is kept: that is where a traceback stands.
    if (m.request_id) streamedErrors.set(m.request_id, ((streamedErrors.get(m.request_id) || "") + m.content).slice(-STREAMED_ERROR_CHARS));
    write(m, m.content, "stderr");
  },
  result_output(m) {
    if (addinRequests.has(m.request_id) && !output.blocks.has(m.request_id)) return;
    write(m, m.content, "result");
  },
  execution_result(m) {
    streamedErrors.delete(m.request_id);
    if (addinRequests.has(m.request_id)) return;
    output.finish(m.request_id, true);
  },
  execution_error(m) {
    const error = m.error;
    const text = typeof error === "string" ? error : error?.traceback || `${error?.type}: ${error?.message}`;
    // A function's traceback was already streamed to its stderr: show it once.
    const streamed = streamedErrors.get(m.request_id) || "";
    streamedErrors.delete(m.request_id);
    if (!streamed.includes(text.trimEnd())) write(m, text, "error");
    // The add-in's requests end with a reply of their own, which says how (a cell's call told to stop ends "stopped").
    if (!addinRequests.has(m.request_id)) output.finish(m.request_id, false);
    if (m.request_id === debugRequest) endDebugging("failed");
  },
  standin_error(m) {
    const id = m.request_id || "standin";
    output.block(id, labels.get(id) || "stand-in");
    output.line(id, m.message, "error");
    output.finish(id, false);
    if (id === debugRequest) endDebugging("failed");
  },
  error(m) { output.line("kernel", `Kernel: ${m.message}`, "error"); },
  namespace_reset() { output.line("kernel", "The console namespace was reset.", "info"); },
  debug_paused(m) {
    editor?.setPaused({ module: m.module, line: m.line });
    setDebugControls(true);
    showDebugState(m);
    const id = debugRequest || "debug";
    output.line(id, `Paused at ${m.module}:${m.line} in ${m.function} (${m.reason})`, "info");
  },
  debug_resumed() { editor?.setPaused(null); setDebugControls(false); $("debug-location").textContent = "Running…"; },
  debug_exception(m) {
    debugOutcome = "failed";
    editor?.setPaused({ module: m.module, line: m.line, error: true });
    const id = debugRequest || "debug";
    output.line(id, m.exception_traceback || `${m.exception_type}: ${m.exception_message}`, "error");
  },
  debug_terminated(m) {
    // Another end is that of a session a newer run replaced (its block says so already).
    if (debugRequest === null || (m.request_id ? m.request_id !== debugRequest : !debugStopSent)) return;
    output.line(debugRequest, debugOutcome === "stopped" ? "Debug session stopped." : "Debug session ended.", "info");
    endDebugging(debugOutcome);
  },
  object_registry_response(m) { showRegistry(m.objects || []); },
  object_registry_update(m) { updateRegistry(m); },
  module_updated() {},
  module_deleted() {},
  // The add-in's requests end with these; their output blocks (if they printed) end with them.
  function_execution_result(m) { finishAddinBlock(m.request_id, m.status === "success"); },
  event_execution_result(m) { finishAddinBlock(m.request_id, m.status === "success"); },
  python_function_result(m) { finishAddinBlock(m.request_id, m.success === true); },
  addin_request_done(m) { finishAddinBlock(m.request_id, m.status); }, // streams: "ok", "failed" or "stopped"
  hover_mode_updated() {},
  // The kernel had nothing of that request running (it had just ended, or had
  // not started): the Stop button is offered again.
  interrupt_reply(m) { if (!m.interrupted) output.stopping(m.request_id, false); },
};

function route(message) {
  const handler = handlers[message.type];
  if (handler) handler(message);
  else if (message.type?.startsWith("path_") || message.type?.endsWith("_paths_updated")) {
    output.line("kernel", `${message.type}: ${JSON.stringify(message.current_paths ?? message)}`, "info");
  }
}

function finishAddinBlock(id, outcome) {
  streamedErrors.delete(id);
  if (addinRequests.has(id) && output.blocks.has(id)) output.finish(id, outcome);
}

// Labels of finished requests are kept a while (late output still finds its
// block), the oldest forgotten first.
const MAX_LABELS = 5000;

function remember(id, label, fromAddin) {
  labels.set(id, label);
  if (fromAddin) addinRequests.add(id);
  while (labels.size > MAX_LABELS) {
    const oldest = labels.keys().next().value;
    labels.delete(oldest);
    addinRequests.delete(oldest);
  }
}

// The end of what each request wrote to stderr, until its outcome arrives.
const streamedErrors = new Map();
const STREAMED_ERROR_CHARS = 262144;

function write(message, text, kind) {
  const id = message.request_id ?? "kernel";
  output.block(id, labels.get(id) || (id === "kernel" ? "kernel output" : id));
  output.write(id, text, kind);
}

// -- modules --------------------------------------------------------------------

function syncModules(modules) {
  for (const [name, code] of Object.entries(modules)) editor.putModule(name, code);
  for (const name of editor.names()) if (!(name in modules)) editor.removeModule(name);
  if (editor.names().length === 0) {
    editor.putModule("main", "");
    editor.save("main");
  }
}

function renderModuleTabs() {
  const tabs = $("module-tabs");
  tabs.textContent = "";
  for (const name of editor.names()) {
    const tab = tabs.appendChild(document.createElement("div"));
    tab.className = `module-tab${name === editor.current ? " active" : ""}`;
    tab.dataset.module = name;
    tab.appendChild(document.createTextNode(`${name}.py`));
    if (editor.isDirty(name)) {
      const dot = tab.appendChild(document.createElement("span"));
      dot.className = "dirty";
      dot.textContent = "●";
      dot.title = "Not saved (Ctrl+S saves; Run saves too)";
    }
    const close = tab.appendChild(document.createElement("button"));
    close.className = "close";
    close.textContent = "×";
    close.title = `Delete module ${name}`;
    close.onclick = (event) => {
      event.stopPropagation();
      if (confirm(`Delete module ${name}? Its code is removed from the workbook.`)) {
        connection.send({ type: "delete_module", module_name: name });
        editor.removeModule(name);
      }
    };
    tab.onclick = () => editor.open(name);
  }
  renderRunTargets();
  const dirty = editor.names().filter((n) => editor.isDirty(n));
  $("save-note").textContent = dirty.length ? `unsaved: ${dirty.join(", ")}` : "";
}

function renderRunTargets() {
  const select = $("run-target");
  const previous = select.value;
  select.textContent = "";
  const whole = select.appendChild(document.createElement("option"));
  whole.value = "";
  whole.textContent = editor.current ? `whole ${editor.current}.py as code` : "(no module)";
  for (const name of editor.functions(editor.current)) {
    const option = select.appendChild(document.createElement("option"));
    option.value = name;
    option.textContent = `${name}(…)`;
  }
  if ([...select.options].some((o) => o.value === previous)) select.value = previous;
}

$("add-module").onclick = () => {
  const name = prompt("Name of the new module (letters, digits and _):");
  if (name === null) return;
  if (!/^[A-Za-z_][A-Za-z0-9_]*$/.test(name)) {
    alert(`"${name}" is not a module name: use letters, digits and _ (not first).`);
    return;
  }
  if (!editor.has(name)) {
    editor.putModule(name, "");
    editor.save(name);
  }
  editor.open(name);
};

// -- running ----------------------------------------------------------------------

function parseArgs(text) {
  if (!text.trim()) return [];
  const value = JSON.parse(text);
  if (!Array.isArray(value)) throw new Error("the arguments must be a JSON list, such as [1, \"a\"]");
  return value;
}

function run(debug) {
  if (!editor || !editor.current) return;
  editor.setPaused(null);
  const module = editor.current;
  const target = $("run-target").value;
  editor.saveAll();
  if (debug && !target) {
    output.line("ui", "Choose a function of the module to debug.", "error");
    return;
  }
  let args;
  try {
    args = parseArgs($("run-args").value);
  } catch (error) {
    output.block("ui", "page");
    output.line("ui", `Arguments: ${error.message}`, "error");
    return;
  }
  const id = connection.newId(debug ? "debug" : "run");
  if (!target) {
    remember(id, `▶ ${module}.py as code`);
    output.block(id, labels.get(id));
    output.stoppable(id, stopRun);
    connection.send({ type: "execution_request", code: editor.code(module), request_id: id, source: "ide" });
    return;
  }
  remember(id, `${debug ? "Debug" : "▶"} ${module}.${target}(${args.map((a) => JSON.stringify(a)).join(", ")})`);
  output.block(id, labels.get(id));
  output.stoppable(id, stopRun);
  if (debug) {
    if (debugRequest !== null) endDebugging("stopped"); // the kernel stops a running session first
    debugRequest = id;
    debugOutcome = "ok";
    debugStopSent = false;
    $("debug-location").textContent = "Running under the debugger…";
    setDebugControls(false);
    $("debug-stop").disabled = false;
  }
  connection.send({
    type: "run_module", module_name: module, function_name: target, args: args.map(toWire),
    debug, breakpoints: debug ? editor.breakpoints() : [], request_id: id, source: "ide",
  });
}

$("run").onclick = () => run(false);
$("debug").onclick = () => run(true);

// Stop interrupts a run where it is: the kernel raises KeyboardInterrupt in
// it, and the run ends as on any exception, keeping the names it defined.
// A debug session ends as the debugger's own Stop ends it.
function stopRun(id) {
  if (!connection.send({ type: "interrupt_request", request_id: id })) {
    output.line(id, "Not connected to the stand-in.", "error");
    return;
  }
  output.stopping(id, true);
  if (id === debugRequest) debugStopping();
}

// -- console ------------------------------------------------------------------------

const history = [];
let historyAt = 0;
const consoleInput = $("console-input");

function fitConsole() {
  consoleInput.rows = Math.min(8, consoleInput.value.split("\n").length);
}

consoleInput.addEventListener("keydown", (event) => {
  if (event.key === "Enter" && !event.shiftKey) {
    event.preventDefault();
    const code = consoleInput.value;
    if (!code.trim()) return;
    history.push(code);
    historyAt = history.length;
    consoleInput.value = "";
    fitConsole();
    const id = connection.newId("exec");
    remember(id, `>>> ${code}`);
    output.block(id, labels.get(id));
    output.stoppable(id, stopRun);
    if (!connection.send({ type: "execution_request", code, request_id: id, source: "ide" })) {
      output.line(id, "Not connected to the stand-in.", "error");
      output.finish(id, false);
    }
  } else if (event.key.toLowerCase() === "c" && event.ctrlKey && !event.shiftKey && !event.altKey && !event.metaKey
             && consoleInput.selectionStart === consoleInput.selectionEnd && output.lastStoppable() !== null) {
    // Ctrl+C with text selected copies it; with none, it stops the latest run, as in a terminal.
    event.preventDefault();
    stopRun(output.lastStoppable());
  } else if (event.key === "ArrowUp" && !consoleInput.value.includes("\n") && historyAt > 0) {
    event.preventDefault();
    consoleInput.value = history[--historyAt];
  } else if (event.key === "ArrowDown" && !consoleInput.value.includes("\n") && historyAt < history.length) {
    event.preventDefault();
    historyAt += 1;
    consoleInput.value = history[historyAt] ?? "";
  }
});
consoleInput.addEventListener("input", fitConsole);
$("clear-output").onclick = () => output.clear();
$("reset-namespace").onclick = () => connection.send({ type: "reset_namespace" });

// -- debugger ------------------------------------------------------------------------

const debugButtons = ["debug-continue", "debug-over", "debug-into", "debug-out"];

function setDebugControls(paused) {
  for (const id of debugButtons) $(id).disabled = !paused;
  $("debug-stop").disabled = debugRequest === null;
}

// The session is over: its block says how, and the Debugger tab shows nothing of it.
function endDebugging(outcome = "stopped") {
  if (debugRequest !== null) output.finish(debugRequest, outcome);
  debugRequest = null;
  if (!editor?.paused?.error) editor?.setPaused(null); // the line an exception came from stays marked
  setDebugControls(false);
  $("debug-location").textContent = "Not debugging.";
  $("debug-stack").textContent = "";
  fillVariables($("debug-locals"), []);
  fillVariables($("debug-globals"), []);
  $("evaluate-results").textContent = "";
}

function debugCommand(type) {
  if (debugRequest === null) return;
  connection.send({ type });
}

$("debug-continue").onclick = () => debugCommand("debug_continue");
$("debug-over").onclick = () => debugCommand("debug_step_over");
$("debug-into").onclick = () => debugCommand("debug_step_into");
$("debug-out").onclick = () => debugCommand("debug_step_out");
function debugStopping() {
  debugOutcome = "stopped";
  debugStopSent = true;
}

$("debug-stop").onclick = () => {
  if (debugRequest === null) return;
  debugStopping();
  debugCommand("debug_stop");
};

document.addEventListener("keydown", (event) => {
  if (debugRequest === null) return;
  const keys = { F8: "debug_continue", F10: "debug_step_over", F11: event.shiftKey ? "debug_step_out" : "debug_step_into" };
  if (keys[event.key]) {
    event.preventDefault();
    debugCommand(keys[event.key]);
  }
});

function fillVariables(table, variables) {
  const body = table.tBodies[0];
  body.textContent = "";
  for (const variable of variables || []) {
    const row = body.insertRow();
    row.insertCell().textContent = variable.name;
    row.insertCell().textContent = variable.value;
    row.title = variable.type || "";
  }
}

function showDebugState(m) {
  showSidePanel("debug-panel");
  $("debug-location").textContent = `Paused at ${m.module}:${m.line} in ${m.function}`;
  const stack = $("debug-stack");
  stack.textContent = "";
  for (const frame of m.call_stack || []) {
    const item = stack.appendChild(document.createElement("li"));
    item.textContent = `${frame.function} — ${frame.module}:${frame.line}`;
  }
  fillVariables($("debug-locals"), m.locals);
  fillVariables($("debug-globals"), m.globals);
}

$("evaluate-form").onsubmit = async (event) => {
  event.preventDefault();
  const expression = $("evaluate-input").value;
  if (!expression.trim()) return;
  const response = await connection.request({ type: "debug_evaluate", expression }, ["debug_evaluate_result"]);
  const line = document.createElement("div");
  if (!response) line.textContent = `${expression}: no answer`;
  else if (response.error) {
    line.className = "error";
    line.textContent = `${expression}: ${response.error}`;
  } else line.textContent = `${expression} = ${response.result}${response.result_type ? `  (${response.result_type})` : ""}`;
  $("evaluate-results").prepend(line);
};

// -- side panels ---------------------------------------------------------------------

function showSidePanel(id) {
  for (const button of document.querySelectorAll("#side-tabs button")) {
    button.classList.toggle("active", button.dataset.panel === id);
  }
  for (const panel of document.querySelectorAll(".side-panel")) panel.classList.toggle("active", panel.id === id);
}

for (const button of document.querySelectorAll("#side-tabs button")) {
  button.onclick = () => showSidePanel(button.dataset.panel);
}

const registry = new Map();

function showRegistry(objects) {
  registry.clear();
  for (const entry of objects) registry.set(entry.key, { type: entry.type, repr: entry.repr });
  drawRegistry();
}

function updateRegistry(m) {
  if (m.action === "update") registry.set(m.key, { type: m.object_type, repr: m.repr });
  else if (m.action === "delete") registry.delete(m.key);
  else if (m.action === "clear_all") registry.clear();
  drawRegistry();
}

function drawRegistry() {
  const body = $("registry").tBodies[0];
  body.textContent = "";
  for (const [key, entry] of registry) {
    const row = body.insertRow();
    row.insertCell().textContent = key;
    row.insertCell().textContent = entry.type;
    row.insertCell().textContent = entry.repr;
  }
}

function fillSheetChoices() {
  const select = $("event-sheet");
  const previous = select.value;
  select.textContent = "";
  select.appendChild(new Option("every sheet", ""));
  for (const name of grid.order) select.appendChild(new Option(name, name));
  select.value = [...select.options].some((o) => o.value === previous) ? previous : "";
}

function showEvents(events) {
  const list = $("event-list");
  list.textContent = "";
  for (const entry of events || []) {
    const item = list.appendChild(document.createElement("li"));
    item.textContent = `${entry.event} on ${entry.sheet || "every sheet"} → ${entry.handler}${entry.by_code ? " (added by code)" : ""} `;
    const remove = item.appendChild(document.createElement("button"));
    remove.className = "small";
    remove.textContent = "remove";
    remove.onclick = () => connection.send({ type: "unregister_event", id: entry.id });
  }
}

$("event-form").onsubmit = (event) => {
  event.preventDefault();
  const [module, func] = $("event-handler").value.trim().split(/\.(?=[^.]+$)/);
  if (!module || !func) {
    output.line("ui", "An event handler is written module.function.", "error");
    return;
  }
  editor?.saveAll();
  connection.send({ type: "register_event", event: $("event-name").value, sheet: $("event-sheet").value || null,
                    module_name: module, function_name: func });
};

$("events-enabled").onchange = (event) => connection.send({ type: "set_events_enabled", enabled: event.target.checked });
$("hover-mode").onchange = (event) => connection.send({ type: "set_hover_mode", mode: event.target.value });
$("restart-kernel").onclick = () => {
  endDebugging();
  connection.send({ type: "restart_kernel" });
};

function showMessageBox(title, text, type) {
  const dialog = $("message-box");
  $("message-box-title").textContent = title || "Message";
  $("message-box-text").textContent = text ?? "";
  dialog.className = String(type || "info").toLowerCase();
  if (!dialog.open) dialog.showModal();
}

// -- start ------------------------------------------------------------------------------

connection.connect();
loadMonaco().then((monaco) => {
  $("editor-fallback").remove();
  editor = new CodeEditor(monaco, $("editor"), connection, {
    onModulesChanged: () => renderModuleTabs(),
    onRunShortcut: () => run(false),
    onDebugShortcut: () => run(true),
  });
  let noteTimer = null;
  editor.onLanguageError = (text) => {
    $("lsp-note").textContent = text;
    clearTimeout(noteTimer);
    noteTimer = setTimeout(() => { $("lsp-note").textContent = ""; }, 8000);
  };
  editor.onBreakpointsChanged = () => {
    if (debugRequest !== null) connection.send({ type: "debug_update_breakpoints", breakpoints: editor.breakpoints() });
  };
  if (moduleState !== null) syncModules(moduleState);
  window.standinPage = { editor, grid, output, connection, monaco };
}).catch((error) => {
  $("editor-fallback").textContent = `The editor could not load: ${error.message || error}`;
});
window.standinPage = { grid, output, connection };
