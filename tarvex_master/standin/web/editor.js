// The code editor: Monaco with one model per workbook module, the kernel's
// language services wired to Monaco's providers, breakpoints in the gutter
// and the line where the debugger is paused.

const DIAGNOSTIC_DELAY_MS = 400;

// The kernel numbers completion kinds with its own fixed table
// (function 1, class 5, module 7, property 8, keyword 13, path 17, else 4);
// Monaco numbers them differently.
function monacoKind(monaco, kind) {
  const K = monaco.languages.CompletionItemKind;
  return { 1: K.Function, 5: K.Class, 7: K.Module, 8: K.Property, 13: K.Keyword, 17: K.File }[kind] ?? K.Variable;
}

// A marker one character wide stands for the word that starts there: the
// whole word is underlined, and hovering anywhere on it shows the message.
function wordColumns(model, marker) {
  const { startLineNumber: line, startColumn: start, endColumn: end } = marker;
  if (line === marker.endLineNumber && end - start <= 1) {
    const word = model.getWordAtPosition({ lineNumber: line, column: start });
    if (word && word.startColumn <= start && start < word.endColumn) {
      return { startColumn: word.startColumn, endColumn: word.endColumn };
    }
  }
  return { startColumn: start, endColumn: end };
}

export function loadMonaco() {
  return new Promise((resolve, reject) => {
    if (typeof window.require !== "function") {
      reject(new Error("the editor's files are missing: run `npm ci` in the repository (make run does it)"));
      return;
    }
    window.require.config({ paths: { vs: "/monaco/vs" } });
    window.require(["vs/editor/editor.main"], () => resolve(window.monaco), reject);
  });
}

export class CodeEditor {
  constructor(monaco, element, connection, { onModulesChanged, onRunShortcut, onDebugShortcut }) {
    this.monaco = monaco;
    this.connection = connection;
    this.onModulesChanged = onModulesChanged;
    this.modules = new Map(); // name -> {model, saved, breakpoints: decoration collection}
    this.current = null;
    this.paused = null; // {module, line}
    this.pausedDecorations = null;
    this.diagnosticTimers = new Map();
    this.editor = monaco.editor.create(element, {
      model: null,
      automaticLayout: true,
      glyphMargin: true,
      minimap: { enabled: false },
      fontSize: 13,
      wordBasedSuggestions: "off",
      acceptSuggestionOnEnter: "smart", // Enter after a word the list already shows is a new line
      selectOnLineNumbers: false, // a click there sets a breakpoint and leaves the cursor alone
      scrollBeyondLastLine: false,
      tabSize: 4,
      insertSpaces: true,
    });
    this.editor.addCommand(monaco.KeyMod.CtrlCmd | monaco.KeyCode.KeyS, () => this.saveCurrent());
    this.editor.addCommand(monaco.KeyMod.CtrlCmd | monaco.KeyCode.Enter, onRunShortcut);
    this.editor.addCommand(monaco.KeyCode.F5, onDebugShortcut);
    this.editor.onMouseDown((event) => {
      const T = monaco.editor.MouseTargetType;
      if (event.target.type === T.GUTTER_GLYPH_MARGIN || event.target.type === T.GUTTER_LINE_NUMBERS) {
        this.toggleBreakpoint(event.target.position.lineNumber);
      }
    });
    this.registerProviders();
  }

  // -- modules ---------------------------------------------------------------

  names() {
    return [...this.modules.keys()];
  }

  has(name) {
    return this.modules.has(name);
  }

  isDirty(name) {
    const entry = this.modules.get(name);
    return entry !== undefined && entry.model.getValue() !== entry.saved;
  }

  // A module as the stand-in has it saved (also when another page saved it).
  putModule(name, code) {
    let entry = this.modules.get(name);
    if (entry === undefined) {
      const uri = this.monaco.Uri.parse(`file:///workbook/${name}.py`);
      const model = this.monaco.editor.createModel(code, "python", uri);
      entry = { name, model, saved: code, breakpoints: null };
      entry.breakpoints = this.editor.createDecorationsCollection([]);
      model.onDidChangeContent(() => {
        this.scheduleDiagnostics(name);
        this.onModulesChanged();
      });
      this.modules.set(name, entry);
      this.scheduleDiagnostics(name);
    } else if (!this.isDirty(name)) {
      entry.model.setValue(code);
      entry.saved = code;
    } else {
      entry.saved = code; // keep the user's unsaved text; it now differs from the new saved one
    }
    if (this.current === null) this.open(name);
    this.onModulesChanged();
  }

  removeModule(name) {
    const entry = this.modules.get(name);
    if (entry === undefined) return;
    this.modules.delete(name);
    if (this.current === name) {
      this.current = null;
      const next = this.names()[0];
      if (next !== undefined) this.open(next);
      else this.editor.setModel(null);
    }
    entry.model.dispose();
    this.onModulesChanged();
  }

  open(name) {
    const entry = this.modules.get(name);
    if (entry === undefined) return;
    if (this.current !== null && this.modules.has(this.current)) {
      this.modules.get(this.current).breakpointLines = this.breakpointLines(this.current);
    }
    this.current = name;
    this.editor.setModel(entry.model);
    // Decorations belong to the editor's model, so they are set again on each switch.
    entry.breakpoints = this.editor.createDecorationsCollection(
      (entry.breakpointLines || []).map((line) => this.breakpointDecoration(line))
    );
    this.showPaused();
    this.onModulesChanged();
  }

  // Saves one module (the current one by default) to the stand-in, which sends it to the kernel.
  save(name = this.current) {
    const entry = this.modules.get(name);
    if (entry === undefined) return false;
    const code = entry.model.getValue();
    if (!this.connection.send({ type: "update_module", module_name: name, code })) return false;
    entry.saved = code;
    this.onModulesChanged();
    return true;
  }

  saveCurrent() {
    this.save();
  }

  saveAll() {
    for (const name of this.names()) if (this.isDirty(name)) this.save(name);
  }

  dirtyFiles() {
    const dirty = {};
    for (const [name, entry] of this.modules) {
      if (entry.model.getValue() !== entry.saved) dirty[name] = entry.model.getValue();
    }
    return dirty;
  }

  // Top-level functions of a module, for the Run menu.
  functions(name) {
    const entry = this.modules.get(name);
    if (entry === undefined) return [];
    const found = [];
    for (const match of entry.model.getValue().matchAll(/^def\s+([A-Za-z_]\w*)\s*\(/gm)) found.push(match[1]);
    return found;
  }

  code(name = this.current) {
    const entry = this.modules.get(name);
    return entry === undefined ? "" : entry.model.getValue();
  }

  // -- language services -----------------------------------------------------

  moduleOf(model) {
    for (const [name, entry] of this.modules) if (entry.model === model) return name;
    return null;
  }

  cursorRequest(type, model, position) {
    const name = this.moduleOf(model);
    return {
      type,
      code: model.getValue(),
      line: position.lineNumber, // 1-based, as the kernel expects
      column: position.column - 1, // 0-based character offset
      path: name,
      module_name: name,
      dirty_files: this.dirtyFiles(),
    };
  }

  registerProviders() {
    const monaco = this.monaco;
    const connection = this.connection;
    monaco.languages.registerCompletionItemProvider("python", {
      triggerCharacters: ["."],
      provideCompletionItems: async (model, position) => {
        const response = await connection.request(this.cursorRequest("completion_request", model, position),
                                                  ["completion_response"]);
        this.report("Completions", response);
        if (!response || !Array.isArray(response.completions)) return { suggestions: [] };
        const word = model.getWordUntilPosition(position);
        const range = new monaco.Range(position.lineNumber, word.startColumn, position.lineNumber, word.endColumn);
        return {
          suggestions: response.completions.map((item, index) => ({
            label: item.label,
            kind: monacoKind(monaco, item.kind),
            insertText: item.insertText ?? item.label,
            detail: item.detail,
            documentation: item.documentation,
            sortText: String(index).padStart(5, "0"), // keep the kernel's order
            range,
          })),
        };
      },
    });
    monaco.languages.registerSignatureHelpProvider("python", {
      signatureHelpTriggerCharacters: ["(", ","],
      signatureHelpRetriggerCharacters: [","],
      provideSignatureHelp: async (model, position) => {
        const response = await connection.request(this.cursorRequest("signature_help_request", model, position),
                                                  ["signature_help_response"]);
        this.report("Signature help", response);
        if (!response || !Array.isArray(response.signatures) || response.signatures.length === 0) return null;
        return {
          value: {
            signatures: response.signatures,
            activeSignature: response.activeSignature ?? 0,
            activeParameter: response.activeParameter ?? 0,
          },
          dispose() {},
        };
      },
    });
    monaco.languages.registerHoverProvider("python", {
      provideHover: async (model, position) => {
        const response = await connection.request(this.cursorRequest("hover_request", model, position),
                                                  ["hover_response"]);
        this.report("Hover", response);
        if (!response || !response.contents || !response.contents.value) return null;
        return { contents: [{ value: response.contents.value }] };
      },
    });
  }

  // The language services answer failures in the response's "error"; the page says so.
  report(what, response) {
    if (response && response.error) this.onLanguageError?.(`${what}: ${response.error}`);
  }

  scheduleDiagnostics(name) {
    clearTimeout(this.diagnosticTimers.get(name));
    this.diagnosticTimers.set(name, setTimeout(() => this.runDiagnostics(name), DIAGNOSTIC_DELAY_MS));
  }

  async runDiagnostics(name) {
    const entry = this.modules.get(name);
    if (entry === undefined || !this.connection.open) return;
    const code = entry.model.getValue();
    const response = await this.connection.request(
      { type: "diagnostic_request", code, module_name: name }, ["diagnostic_response"]);
    this.report("Diagnostics", response);
    if (!response || entry.model.isDisposed() || entry.model.getValue() !== code) return;
    this.monaco.editor.setModelMarkers(entry.model, "kernel", (response.diagnostics || []).map((marker) => ({
      startLineNumber: marker.startLineNumber,
      endLineNumber: marker.endLineNumber,
      ...wordColumns(entry.model, marker),
      message: marker.message,
      severity: marker.severity,
    })));
  }

  refreshAllDiagnostics() {
    for (const name of this.names()) this.scheduleDiagnostics(name);
  }

  // -- breakpoints and the paused line -----------------------------------------

  breakpointDecoration(line) {
    return {
      range: new this.monaco.Range(line, 1, line, 1),
      options: { isWholeLine: true, glyphMarginClassName: "breakpoint-glyph", stickiness: 1 },
    };
  }

  breakpointLines(name) {
    const entry = this.modules.get(name);
    if (entry === undefined) return [];
    if (name !== this.current) return entry.breakpointLines || [];
    return [...new Set(entry.breakpoints.getRanges().map((range) => range.startLineNumber))].sort((a, b) => a - b);
  }

  toggleBreakpoint(line) {
    const entry = this.modules.get(this.current);
    if (entry === undefined) return;
    const lines = new Set(this.breakpointLines(this.current));
    if (lines.has(line)) lines.delete(line);
    else lines.add(line);
    entry.breakpoints.set([...lines].map((l) => this.breakpointDecoration(l)));
    entry.breakpointLines = [...lines];
    this.onBreakpointsChanged?.();
  }

  // Every breakpoint, in the form the debugger takes: {module, line} with a 1-based line.
  breakpoints() {
    const all = [];
    for (const name of this.names()) for (const line of this.breakpointLines(name)) all.push({ module: name, line });
    return all;
  }

  setPaused(location) {
    this.paused = location;
    if (location && location.module && this.modules.has(location.module) && location.module !== this.current) {
      this.open(location.module);
    }
    this.showPaused();
  }

  showPaused() {
    if (this.pausedDecorations) this.pausedDecorations.clear();
    const location = this.paused;
    if (!location || location.module !== this.current || !location.line) return;
    const range = new this.monaco.Range(location.line, 1, location.line, 1);
    this.pausedDecorations = this.editor.createDecorationsCollection([{
      range,
      options: {
        isWholeLine: true,
        className: location.error ? "error-line" : "paused-line",
        glyphMarginClassName: location.error ? undefined : "paused-glyph",
      },
    }]);
    this.editor.revealLineInCenterIfOutsideViewport(location.line);
  }
}
