"""Debugger for workbook modules run from the editor.

The kernel creates one ``TarvexDebugger`` per debug run, gives it the
breakpoints and the names of the in-memory modules, and runs the call through
``runcall`` on a worker thread. At a breakpoint or after a step the worker
blocks inside ``runcall`` and the debugger sends a "debug_paused" message
through the kernel's ``send_message``; the editor's commands then arrive on
the event-loop thread (``continue_execution``, ``step_over``, ``step_into``,
``step_out``, ``stop_debugging``, ``evaluate_expression``,
``set_breakpoints``) and release or inspect the paused worker.

Stepping is ``bdb``'s. Its trace function is driven by this module's own
``sys.monitoring`` tracer when the interpreter's debugger tool slot is free,
so that code runs at nearly full speed between breakpoints: every code
location that cannot stop is disabled after its first event.
``sys.monitoring`` is shared by all threads of the process, so the tracer
answers only the debugged thread, disables library code for every thread at
once, and is claimed by one debug run at a time; a second run that overlaps
falls back to the per-thread ``sys.settrace``. Only user code is ever
stepped: the in-memory workbook modules (files named "<virtual:NAME>") and
user source files outside the standard library, installed packages and this
product.
"""

import asyncio
import bdb
import dis
import logging
import os
import reprlib
import site
import sys
import sysconfig
import threading
from itertools import islice

from tarvex_master.logging_config import get_logger

logger = get_logger(__name__)

PAUSED_MESSAGE_TYPE = "debug_paused"

# What the editor is shown: reprs cut to a readable length, and at most this
# many variables per scope.
MAX_VARIABLE_CHARS = 200
MAX_RESULT_CHARS = 4000
MAX_VARIABLES = 200

# How often a paused worker checks that the event loop still exists, so that
# a closed connection cannot leave it blocked forever (and the process unable
# to exit).
LOOP_ALIVE_CHECK_SECONDS = 1.0

_VIRTUAL_PREFIX = "<virtual:"
_GENERATOR_FLAGS = bdb.GENERATOR_AND_COROUTINE_FLAGS
_EVENTS = sys.monitoring.events
_DISABLE = sys.monitoring.DISABLE

# Other threads switch events off while the debugged thread is paused; that
# relies on the interpreter lock (see the tracer).
_OTHER_THREADS_MAY_DISABLE = getattr(sys, "_is_gil_enabled", lambda: True)()
_FIRST_LINE_STEP_MODES = ("step_into", "step", "into")


class DebugStopped(BaseException):
    """Ends a debug run from inside the traced code.

    A BaseException, so that ``except Exception`` in user code cannot swallow
    the stop.
    """


# ---------------------------------------------------------------- user code

def _library_roots():
    roots = set()
    paths = sysconfig.get_paths()
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        if paths.get(key):
            roots.add(paths[key])
    try:
        roots.update(site.getsitepackages())
        roots.add(site.getusersitepackages())
    except AttributeError:  # site was replaced (embedded interpreters)
        pass
    # The product itself: the kernel's package, the user package and this file.
    roots.add(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return tuple(os.path.join(os.path.realpath(root), "") for root in roots)


_LIBRARY_ROOTS = _library_roots()
_PACKAGE_DIR_NAMES = frozenset(("site-packages", "dist-packages"))


def _is_library_file(path):
    real = os.path.realpath(path)
    if real.startswith(_LIBRARY_ROOTS):
        return True
    return not _PACKAGE_DIR_NAMES.isdisjoint(real.split(os.sep))


def _virtual_module_name(filename):
    if filename.startswith(_VIRTUAL_PREFIX) and filename.endswith(">"):
        return filename[len(_VIRTUAL_PREFIX):-1]
    return None


def _module_of(frame):
    name = _virtual_module_name(frame.f_code.co_filename)
    if name is not None:
        return name
    return str(frame.f_globals.get("__name__", ""))


# ----------------------------------------------------------------- values

class _ValueRepr(reprlib.Repr):
    """Bounded reprs: builtin containers are cut item by item (so a huge list
    costs nothing to show), anything else uses its own repr, cut afterwards.
    Errors of a repr propagate to the caller, which shows their text."""

    def __init__(self, max_chars, max_items):
        super().__init__(
            maxlevel=3, maxtuple=max_items, maxlist=max_items,
            maxarray=max_items, maxdict=max_items, maxset=max_items,
            maxfrozenset=max_items, maxdeque=max_items,
            maxstring=max_chars, maxlong=max_chars, maxother=max_chars)
        self.max_chars = max_chars

    def repr_instance(self, x, level):
        return _cut(repr(x), self.max_chars)

    def repr_dict(self, x, level):
        # Insertion order, as the user's own repr would show it.
        if not x:
            return "{}"
        if level <= 0:
            return "{" + self.fillvalue + "}"
        pieces = [
            f"{self.repr1(key, level - 1)}: {self.repr1(value, level - 1)}"
            for key, value in islice(x.items(), self.maxdict)]
        if len(x) > self.maxdict:
            pieces.append(self.fillvalue)
        return "{" + ", ".join(pieces) + "}"

    def render(self, value):
        try:
            text = self.repr(value)
        except Exception as e:
            return f"<repr raised {type(e).__name__}: {_safe_str(e)}>"
        return _cut(text, self.max_chars)


def _cut(text, limit):
    if len(text) <= limit:
        return text
    return text[:limit - 3] + "..."


def _safe_str(error):
    try:
        return _cut(str(error), MAX_VARIABLE_CHARS)
    except Exception:
        return "(error text unavailable)"


_VARIABLE_REPR = _ValueRepr(MAX_VARIABLE_CHARS, 20)
_RESULT_REPR = _ValueRepr(MAX_RESULT_CHARS, 100)


def _variable(name, value):
    return {"name": str(name), "value": _VARIABLE_REPR.render(value),
            "type": type(value).__name__}


def _variables(namespace, skip):
    shown = []
    for name, value in namespace.items():
        if skip(name, value):
            continue
        if len(shown) == MAX_VARIABLES:
            break
        shown.append(_variable(name, value))
    return shown


def _hidden_global(name, value):
    return (isinstance(name, str) and name.startswith("__")) or isinstance(
        value, type(sys))


# ------------------------------------------------------------ breakpoints

def _line_number(value):
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value if value >= 1 else None
    if isinstance(value, str) and value.strip().isdigit():
        number = int(value)
        return number if number >= 1 else None
    return None


def _first_of(entry, keys):
    for key in keys:
        if entry.get(key) is not None:
            return entry[key]
    return None


def _parse_entry(entry):
    """One breakpoint entry -> (file, [lines], condition), or an error text."""
    if isinstance(entry, str):
        module, sep, line = entry.rpartition(":")
        entry = {"module": module, "line": line} if sep else {}
    if not isinstance(entry, dict):
        return "not an object"
    if entry.get("enabled", True) is False:
        return None
    module = _first_of(entry, ("module", "module_name", "moduleName"))
    file = _first_of(entry, ("file", "filename", "path"))
    if isinstance(module, str) and module:
        filename = _VIRTUAL_PREFIX + module + ">"
    elif isinstance(file, str) and file:
        filename = file if _virtual_module_name(file) else os.path.normcase(
            os.path.abspath(file))
    else:
        return "no module name"
    raw_lines = entry.get("lines")
    if raw_lines is None:
        raw_lines = [_first_of(entry, ("line", "lineNumber", "line_number"))]
    if not isinstance(raw_lines, (list, tuple)):
        return "lines is not a list"
    lines = [_line_number(value) for value in raw_lines]
    if not lines or None in lines:
        return "line is not a positive whole number"
    condition = entry.get("condition")
    if condition is not None and not isinstance(condition, str):
        return "condition is not text"
    if condition is not None:
        condition = condition.strip() or None
        if condition is not None:
            try:
                compile(condition, "<breakpoint condition>", "eval")
            except SyntaxError as e:
                return f"invalid condition: {e.msg}"
    return filename, lines, condition


def parse_breakpoints(entries):
    """Breakpoint entries -> {file: {line: condition or None}}.

    Bad entries are logged and skipped: the editor's other breakpoints still
    work, and nothing is raised into the kernel's dispatcher.
    """
    table = {}
    if entries is None:
        return table
    if not isinstance(entries, (list, tuple)):
        logger.warning("[Debugger] Ignoring breakpoints: expected a list, got %s",
                       type(entries).__name__)
        return table
    for entry in entries:
        parsed = _parse_entry(entry)
        if parsed is None:
            continue
        if isinstance(parsed, str):
            logger.warning("[Debugger] Ignoring breakpoint %s: %s",
                           reprlib.repr(entry), parsed)
            continue
        filename, lines, condition = parsed
        file_lines = table.setdefault(filename, {})
        for line in lines:
            file_lines[line] = condition
    return table


# ----------------------------------------------------------------- tracing

# The interpreter has one sys.monitoring debugger slot for all threads; one
# debug run at a time holds it.
_monitoring_claim = threading.Lock()

_TOOL_ID = sys.monitoring.DEBUGGER_ID
_TOOL_NAME = "tarvex-debugger"
# Seen in all code; the local events only in code that is traced.
_GLOBAL_EVENTS = (_EVENTS.PY_START | _EVENTS.PY_RESUME | _EVENTS.PY_THROW
                  | _EVENTS.PY_UNWIND | _EVENTS.RAISE)
_LOCAL_EVENTS = (_EVENTS.LINE | _EVENTS.JUMP | _EVENTS.PY_RETURN
                 | _EVENTS.PY_YIELD | _EVENTS.STOP_ITERATION)
# Events that sys.monitoring cannot switch off at a code location.
_NOT_DISABLEABLE = frozenset((_EVENTS.PY_THROW, _EVENTS.PY_UNWIND, _EVENTS.RAISE))


def _line_at(code, offset):
    line = None
    for start, start_line in dis.findlinestarts(code):
        if offset < start:
            break
        line = start_line
    return line


def _loops_on_its_line(code, offset, destination):
    """True for a jump back within one line (a loop written on one line):
    the only jump that starts a line again."""
    return destination <= offset and _line_at(code, offset) == _line_at(code, destination)


class _MonitoringTracer:
    """Runs a bdb.Bdb's trace function from sys.monitoring events, for one
    debugged thread in a process where other threads keep running code.

    Each event of the debugged thread becomes the call that a trace function
    set with sys.settrace would get ("call", "line", "return", "exception"),
    made on the frame's own trace function once bdb has given it one; where
    bdb finds nothing to do (disable_current_event), the event is switched
    off at its code location until the next restart_events.

    sys.monitoring delivers every thread's events to the same callbacks, and
    a disabled code location is disabled for all threads. So:
    - library code is disabled on first sight, on any thread: nothing there
      is ever stepped;
    - while the debugger only waits for breakpoints ("continuing"), every
      thread disables whatever cannot reach a breakpoint: code starts,
      returns, and lines without a breakpoint. Functions holding a breakpoint
      get line events for their code once; afterwards they run with no
      callback at all except on the breakpoint line itself;
    - the same holds for other threads while the debugged thread is paused:
      it re-enables every event when it resumes;
    - while it steps, events of other threads are ignored but left enabled,
      since it may need them; bdb decides on its own thread.
    """

    _DISPATCH = object()

    def __init__(self, debugger):
        self._debugger = debugger
        self._tracefunc = None
        self._thread_ident = None
        self._enabled = False
        self._disable_current_event = False
        self.continuing = False
        self.paused = False

    def start_trace(self, tracefunc):
        """Takes the debugger slot and traces the calling thread with
        `tracefunc`; ValueError when another tool holds the slot."""
        tool = sys.monitoring.get_tool(_TOOL_ID)
        if tool is None:
            sys.monitoring.use_tool_id(_TOOL_ID, _TOOL_NAME)
        elif tool == _TOOL_NAME:
            sys.monitoring.clear_tool_id(_TOOL_ID)
        else:
            raise ValueError(f"the debugger slot of sys.monitoring is held by {tool!r}")
        self._tracefunc = tracefunc
        self._thread_ident = threading.get_ident()
        for event, handler in self._handlers().items():
            sys.monitoring.register_callback(_TOOL_ID, event, self._callback(event, handler))
        self.update_local_events(sys._getframe(1))
        sys.monitoring.set_events(_TOOL_ID, _GLOBAL_EVENTS)
        self._enabled = True
        # Code locations an earlier run disabled stay disabled for the tool
        # slot across runs; without this a function debugged before would
        # never stop at a breakpoint set on it later.
        sys.monitoring.restart_events()

    def stop_trace(self):
        self._enabled = False
        self._thread_ident = None
        if self._holds_slot():
            sys.monitoring.clear_tool_id(_TOOL_ID)
            sys.monitoring.free_tool_id(_TOOL_ID)

    def disable_current_event(self):
        self._disable_current_event = True

    def restart_events(self):
        if self._holds_slot():
            sys.monitoring.restart_events()

    def enable_code(self, code):
        """Line events for a code object (safe from any thread)."""
        if self._holds_slot():
            sys.monitoring.set_local_events(_TOOL_ID, code, _LOCAL_EVENTS)

    def update_local_events(self, frame):
        """Line events for the code of every traced frame from `frame` up."""
        if not self._holds_slot():
            return
        while frame is not None:
            if frame.f_trace is not None:
                sys.monitoring.set_local_events(_TOOL_ID, frame.f_code, _LOCAL_EVENTS)
            frame = frame.f_back

    def _holds_slot(self):
        return sys.monitoring.get_tool(_TOOL_ID) == _TOOL_NAME

    # -- events as a trace function sees them (debugged thread) --

    def _handlers(self):
        return {
            _EVENTS.PY_START: self._on_call, _EVENTS.PY_RESUME: self._on_call,
            _EVENTS.PY_THROW: self._on_call,
            _EVENTS.LINE: self._on_line, _EVENTS.JUMP: self._on_jump,
            _EVENTS.PY_RETURN: self._on_return, _EVENTS.PY_YIELD: self._on_return,
            _EVENTS.PY_UNWIND: self._on_unwind,
            _EVENTS.RAISE: self._on_exception, _EVENTS.STOP_ITERATION: self._on_exception,
        }

    def _on_call(self, frame, code, *args):
        local_trace = self._tracefunc(frame, "call", None)
        if local_trace is not None:
            frame.f_trace = local_trace
            if self._enabled:
                sys.monitoring.set_local_events(_TOOL_ID, code, _LOCAL_EVENTS)

    def _on_line(self, frame, code, *args):
        if frame.f_trace and frame.f_trace_lines:
            frame.f_trace(frame, "line", None)

    def _on_jump(self, frame, code, offset, destination):
        if not _loops_on_its_line(code, offset, destination):
            return _DISABLE
        self._on_line(frame, code)
        return None

    def _on_return(self, frame, code, offset, value):
        if frame.f_trace:
            frame.f_trace(frame, "return", value)

    def _on_unwind(self, frame, code, offset, exception):
        if frame.f_trace:
            frame.f_trace(frame, "return", None)

    def _on_exception(self, frame, code, offset, exception):
        if frame.f_trace:
            frame.f_trace(frame, "exception",
                          (type(exception), exception, exception.__traceback__))

    def _callback(self, event, handler):
        may_disable = event not in _NOT_DISABLEABLE
        line_event = event in (_EVENTS.LINE, _EVENTS.JUMP)
        if event in (_EVENTS.PY_START, _EVENTS.PY_RESUME):
            continuing = self._continue_code_start
        elif event == _EVENTS.LINE:
            continuing = self._continue_line
        elif event == _EVENTS.JUMP:
            continuing = self._continue_jump
        elif may_disable:
            continuing = _disable
        else:
            continuing = _ignore
        debugger = self._debugger
        get_ident = threading.get_ident
        DISPATCH = self._DISPATCH

        def callback(code, *args):
            if not debugger._is_user_file(code.co_filename):
                return _DISABLE if may_disable else None
            if get_ident() != self._thread_ident:
                if not (self.continuing or self.paused):
                    return None
                if continuing(code, *args) is not _DISABLE:
                    return None
                # Read again in the same breath as the return: no call in
                # between, so the interpreter lock cannot pass to the debugged
                # thread, which re-enables all events whenever it resumes.
                return _DISABLE if (self.continuing or self.paused) else None
            if self.continuing and not debugger._stop_requested:
                decision = continuing(code, *args)
                if decision is not DISPATCH:
                    return decision
            frame = sys._getframe(1)
            if line_event and frame.f_trace is None and self.continuing:
                # Lines of a function holding a breakpoint fire for every
                # frame of its code, not only for frames bdb saw start.
                frame.f_trace = debugger.trace_dispatch
            try:
                result = handler(frame, code, *args)
                if self._disable_current_event and may_disable:
                    return _DISABLE
                if self._enabled and frame.f_trace and not self.continuing:
                    self.update_local_events(frame)
                return result
            except BaseException:
                self.stop_trace()
                frame.f_trace = None
                raise
            finally:
                self._disable_current_event = False

        return callback

    # Decisions while continuing: _DISABLE, None, or _DISPATCH to bdb.

    def _continue_code_start(self, code, offset):
        if self._debugger._code_break_lines(code):
            self.enable_code(code)
        return _DISABLE

    def _continue_line(self, code, line):
        if self._debugger._is_break_line(code, line):
            return self._DISPATCH
        return _DISABLE

    def _continue_jump(self, code, offset, destination):
        if not _loops_on_its_line(code, offset, destination):
            return _DISABLE
        return self._continue_line(code, _line_at(code, offset))


def _disable(code, *args):
    return _DISABLE


def _ignore(code, *args):
    return None


# ---------------------------------------------------------------- debugger

class TarvexDebugger(bdb.Bdb):
    def __init__(self, send_message, workbook_id):
        super().__init__()
        self.send_message = send_message
        self.workbook_id = workbook_id
        self.loop = None
        self.step_mode = None
        # bdb keeps breakpoints in class-wide tables shared by every debugger
        # of the process; this debugger keeps its own.
        self.breaks = {}
        self._breaks = {}
        self._in_memory_modules = None
        self._user_files = {}
        self._code_lines = {}
        self._tracer = _MonitoringTracer(self)
        self._holds_monitoring = False
        self._previous_trace = None
        # Pause state, shared with the event-loop thread.
        self._cond = threading.Condition()
        self._paused_frame = None
        self._pending = None
        self._stop_requested = False
        self._thread_ident = None
        self._trace_lock = threading.Lock()
        self._leaving_generator = None
        self.botframe = None
        self.quitting = False

    # -- configuration (event-loop thread) --

    def set_breakpoints(self, breakpoints):
        """Replaces the breakpoints; takes effect at once, also while running.

        Entries: {"module": NAME, "line": N} (1-based), optionally "lines": [...]
        instead of "line", "condition": EXPR, "enabled": false; or
        {"file": PATH, "line": N}; or the text "NAME:N".
        """
        self._breaks = parse_breakpoints(breakpoints)
        self._code_lines = {}
        self.breaks = {name: sorted(lines) for name, lines in self._breaks.items()}
        count = sum(len(lines) for lines in self._breaks.values())
        logger.debug("[Debugger] %d breakpoints set", count)
        self._arm_running_thread(every_user_frame=False)

    def set_in_memory_modules(self, names):
        """The workbook's in-memory modules: their code is what gets stepped."""
        if names is None:
            self._in_memory_modules = None
        else:
            self._in_memory_modules = frozenset(
                name for name in names if isinstance(name, str))
        self._user_files = {}

    @property
    def stopped(self):
        """True once the run was stopped (by the editor or a lost loop): tells
        a stopped run from a call that returned None."""
        return self._stop_requested

    # -- the run (worker thread) --

    def runcall(self, func, /, *args, **kwargs):
        """Calls func(*args) under the debugger on this thread.

        Returns its result, or None when the run was stopped. Exceptions of the
        call propagate unchanged.
        """
        if self._thread_ident is not None:
            raise RuntimeError("This debugger is already running a call")
        if self._stop_requested:
            return None
        self.reset()
        self.botframe = sys._getframe()
        if self.step_mode in _FIRST_LINE_STEP_MODES:
            self._set_stopinfo(None, None)
        else:
            self._set_stopinfo(self.botframe, None, -1)
        self._leaving_generator = None
        result = None
        self._start_tracing()
        try:
            result = func(*args, **kwargs)
        except (DebugStopped, bdb.BdbQuit):
            result = None
        finally:
            self._stop_tracing()
        if self._stop_requested:
            return None
        return result

    def _start_tracing(self):
        with self._trace_lock:
            self._thread_ident = threading.get_ident()
            self._holds_monitoring = self._claim_monitoring()
            if self._holds_monitoring:
                try:
                    self._tracer.start_trace(self.trace_dispatch)
                    return
                except ValueError:  # the slot was taken after all
                    self._holds_monitoring = False
                    _monitoring_claim.release()
            self._previous_trace = sys.gettrace()
            sys.settrace(self.trace_dispatch)

    def _claim_monitoring(self):
        if not _monitoring_claim.acquire(blocking=False):
            return False
        if sys.monitoring.get_tool(sys.monitoring.DEBUGGER_ID) is None:
            return True
        # Someone else (a debugger in user code, a tool) holds the slot.
        _monitoring_claim.release()
        return False

    def _stop_tracing(self):
        with self._trace_lock:
            try:
                if self._holds_monitoring:
                    self._tracer.stop_trace()
                else:
                    sys.settrace(self._previous_trace)
                    self._previous_trace = None
            finally:
                if self._holds_monitoring:
                    self._holds_monitoring = False
                    _monitoring_claim.release()
                self._thread_ident = None
                self._code_lines = {}

    # -- bdb hooks (worker thread) --

    def trace_dispatch(self, frame, event, arg):
        if (self._stop_requested and event in ("line", "call")
                and self._is_user_file(frame.f_code.co_filename)):
            raise DebugStopped
        return super().trace_dispatch(frame, event, arg)

    def stop_here(self, frame):
        if not self._is_user_file(frame.f_code.co_filename):
            return False
        leaving = self._leaving_generator
        if leaving is not None:
            # Stepping out of a generator: stop at the next user line outside
            # it and outside what it calls.
            while frame is not None:
                if frame is leaving:
                    return False
                frame = frame.f_back
            return True
        return super().stop_here(frame)

    def _set_stopinfo(self, *args, **kwargs):
        # Every change of where to stop passes here (the step commands and
        # bdb itself); the arguments are passed on whatever they are.
        super()._set_stopinfo(*args, **kwargs)
        # Only breakpoints can stop the run: the tracer's fast path.
        self._tracer.continuing = (
            self.stopframe is not None and self.stopframe is self.botframe
            and self.stoplineno == -1)

    # bdb asks for these as it decides on an event; they reach
    # sys.monitoring only while this run holds its slot.

    def disable_current_event(self):
        if self._holds_monitoring:
            self._tracer.disable_current_event()

    def restart_events(self):
        if self._holds_monitoring:
            self._tracer.restart_events()

    def break_here(self, frame):
        lines = self._breaks.get(self.canonic(frame.f_code.co_filename))
        if not lines or frame.f_lineno not in lines:
            return False
        condition = lines[frame.f_lineno]
        if condition is None:
            return True
        try:
            return bool(eval(condition, frame.f_globals, frame.f_locals))
        except Exception:
            # A condition that fails stops, so that the user sees why.
            return True

    def break_anywhere(self, frame):
        return bool(self._code_break_lines(frame.f_code))

    def get_break(self, filename, lineno):
        lines = self._breaks.get(self.canonic(filename))
        return bool(lines) and lineno in lines

    def user_line(self, frame):
        if self._stop_requested:
            raise DebugStopped
        lines = self._breaks.get(self.canonic(frame.f_code.co_filename))
        reason = "breakpoint" if lines and frame.f_lineno in lines else "step"
        command = self._pause(frame, reason)
        self._resume(command, frame)

    def user_return(self, frame, return_value):
        # A step that leaves a function lands on the caller's line (the call
        # just returned), as long as the caller is user code.
        caller = frame.f_back
        if (caller is None or caller is self.botframe
                or not self._is_user_file(caller.f_code.co_filename)
                or not _is_plain_return(frame)):
            return
        if self._stop_requested:
            raise DebugStopped
        command = self._pause(caller, "step")
        self._resume(command, caller)

    # user_call and user_exception never pause: a step into a function lands
    # on its first line, and exceptions end the run through the kernel.

    def do_clear(self, arg):
        pass

    # -- pausing --

    def _pause(self, frame, reason):
        message = self._paused_message(frame, reason)
        with self._cond:
            if self._stop_requested:
                raise DebugStopped
            self._paused_frame = frame
            self._pending = None
        if not self._post(message):
            logger.warning("[Debugger] Cannot report the pause at %s:%d; "
                           "going on without pausing", message["module"],
                           message["line"])
            with self._cond:
                self._paused_frame = None
            return "continue"
        logger.log(logging.INFO if reason == "breakpoint" else logging.DEBUG,
                   "[Debugger] Paused at %s:%d (%s)", message["module"],
                   message["line"], reason)
        self._tracer.paused = _OTHER_THREADS_MAY_DISABLE
        with self._cond:
            try:
                while self._pending is None:
                    if not self._loop_alive():
                        logger.warning("[Debugger] Event loop gone while paused; "
                                       "ending the run")
                        self._stop_requested = True
                        self._pending = "stop"
                        break
                    self._cond.wait(LOOP_ALIVE_CHECK_SECONDS)
                return self._pending
            finally:
                self._tracer.paused = False
                self._pending = None
                self._paused_frame = None

    def _resume(self, command, frame):
        self._leaving_generator = None
        if command == "stop":
            logger.info("[Debugger] Stopped")
            raise DebugStopped
        if command == "continue":
            self._set_stopinfo(self.botframe, None, -1)
        elif command == "step_over":
            self.set_next(frame)
        elif command == "step_into":
            self.set_step()
        elif command == "step_out":
            self._set_step_out(frame)
        # Breakpoints may have changed while paused: frames further up that
        # now hold one need their trace function back.
        self._arm_frames(frame, every_user_frame=False)

    def _set_step_out(self, frame):
        if frame.f_code.co_flags & _GENERATOR_FLAGS:
            self._set_stopinfo(None, frame)
            self._leaving_generator = frame
        elif frame.f_back is None:
            self._set_stopinfo(self.botframe, None, -1)
        else:
            self.set_return(frame)

    def _loop_alive(self):
        loop = self.loop
        return loop is not None and not loop.is_closed()

    def _post(self, message):
        """Schedules send_message(message) on the loop without waiting."""
        loop = self.loop
        if loop is None or loop.is_closed():
            return False
        coroutine = self.send_message(message)
        try:
            future = asyncio.run_coroutine_threadsafe(coroutine, loop)
        except Exception as e:
            coroutine.close()
            logger.warning("[Debugger] Cannot schedule %s: %s", message["type"], e)
            return False
        future.add_done_callback(_log_send_failure)
        return True

    def _paused_message(self, frame, reason):
        code = frame.f_code
        frame_locals = frame.f_locals
        if frame_locals is frame.f_globals:  # module level
            locals_shown = []
        else:
            locals_shown = _variables(frame_locals, lambda name, value: False)
        return {
            "type": PAUSED_MESSAGE_TYPE,
            "workbook_id": self.workbook_id,
            "reason": reason,
            "module": _module_of(frame),
            "line": frame.f_lineno,
            "file": code.co_filename,
            "function": code.co_qualname,
            "locals": locals_shown,
            "globals": _variables(frame.f_globals, _hidden_global),
            "call_stack": self._call_stack(frame),
        }

    def _call_stack(self, frame):
        """User frames, innermost first."""
        stack = []
        while frame is not None and frame is not self.botframe:
            code = frame.f_code
            if self._is_user_file(code.co_filename):
                stack.append({"module": _module_of(frame),
                              "function": code.co_qualname,
                              "line": frame.f_lineno,
                              "file": code.co_filename})
            frame = frame.f_back
        return stack

    # -- commands (event-loop thread) --

    def continue_execution(self):
        return self._command("continue")

    def step_over(self):
        return self._command("step_over")

    def step_into(self):
        return self._command("step_into")

    def step_out(self):
        return self._command("step_out")

    def _command(self, command):
        """Releases the paused worker; False when nothing is paused."""
        with self._cond:
            if self._paused_frame is None or self._pending is not None:
                return False
            self._pending = command
            self._cond.notify_all()
        return True

    def stop_debugging(self):
        """Ends the run: a paused worker leaves runcall at once, a running one
        at its next line of user code."""
        with self._cond:
            self._stop_requested = True
            self._pending = "stop"
            self._cond.notify_all()
            paused = self._paused_frame is not None
        if not paused:
            self._arm_running_thread(every_user_frame=True)

    def evaluate_expression(self, expression):
        """Evaluates in the paused frame.

        Returns {"result": repr, "result_type": type name} or {"error": text}.
        A statement (such as an assignment) is executed in the frame, so it
        can change the paused function's variables; its result is None.
        """
        if not isinstance(expression, str) or not expression.strip():
            return {"error": "No expression given"}
        with self._cond:
            frame = self._paused_frame
        if frame is None:
            return {"error": "The debugger is not paused"}
        source = expression.strip()
        try:
            try:
                code = compile(source, "<debug>", "eval")
            except SyntaxError:
                code = None
            if code is not None:
                # Comprehensions and lambdas in the expression see the
                # frame's locals through this merged namespace.
                namespace = dict(frame.f_globals)
                namespace.update(frame.f_locals)
                value = eval(code, namespace)
            else:
                exec(compile(source, "<debug>", "exec"), frame.f_globals,
                     frame.f_locals)
                value = None
        except (Exception, SystemExit, GeneratorExit) as e:
            return {"error": f"{type(e).__name__}: {_safe_str(e)}"}
        return {"result": _RESULT_REPR.render(value),
                "result_type": type(value).__name__}

    # -- helpers --

    def _is_user_file(self, filename):
        known = self._user_files.get(filename)
        if known is None:
            known = self._classify(filename)
            self._user_files[filename] = known
        return known

    def _classify(self, filename):
        module = _virtual_module_name(filename)
        if module is not None:
            return self._in_memory_modules is None or module in self._in_memory_modules
        if filename.startswith("<"):  # "<string>", "<frozen ...>", "<kernel>"
            return False
        return not _is_library_file(filename)

    def _arm_frames(self, frame, every_user_frame):
        """Gives frames of the traced thread from `frame` up their trace
        function where they hold a breakpoint (or, for a stop, all user
        frames), and restarts disabled events so that they are seen."""
        tracer = self._tracer if self._holds_monitoring else None
        while frame is not None and frame is not self.botframe:
            code = frame.f_code
            if self._is_user_file(code.co_filename) and (
                    every_user_frame or self._frame_has_break(frame)):
                frame.f_trace = self.trace_dispatch
                if tracer is not None:
                    tracer.enable_code(frame.f_code)
            frame = frame.f_back
        if tracer is not None:
            tracer.restart_events()

    def _frame_has_break(self, frame):
        return bool(self._code_break_lines(frame.f_code))

    def _code_break_lines(self, code):
        """The breakpoint lines inside a code object (any thread)."""
        cache = self._code_lines
        found = cache.get(code)
        if found is None:
            lines = self._breaks.get(self.canonic(code.co_filename))
            if lines:
                code_lines = {line for _, _, line in code.co_lines()}
                found = frozenset(line for line in lines if line in code_lines)
            else:
                found = frozenset()
            cache[code] = found
        return found

    def _is_break_line(self, code, line):
        lines = self._breaks.get(self.canonic(code.co_filename))
        return bool(lines) and line in lines

    def _arm_running_thread(self, every_user_frame):
        """Makes a change visible to the worker while it runs (not paused)."""
        with self._trace_lock:
            ident = self._thread_ident
            if ident is None or ident == threading.get_ident():
                return
            with self._cond:
                if self._paused_frame is not None:
                    return  # the worker re-arms itself when it resumes
            frame = sys._current_frames().get(ident)
            if frame is not None:
                try:
                    self._arm_frames(frame, every_user_frame)
                except Exception:
                    logger.warning("[Debugger] Cannot update the running thread",
                                   exc_info=True)


_RETURN_OPCODES = frozenset(
    dis.opmap[name] for name in ("RETURN_VALUE", "RETURN_CONST", "YIELD_VALUE")
    if name in dis.opmap)


def _is_plain_return(frame):
    """True for a return or yield; False while an exception unwinds the frame
    (both reach the debugger as "return")."""
    code = frame.f_code.co_code
    return 0 <= frame.f_lasti < len(code) and code[frame.f_lasti] in _RETURN_OPCODES


def _log_send_failure(future):
    if future.cancelled():
        return
    error = future.exception()
    if error is not None:
        logger.warning("[Debugger] Sending a debugger message failed: %s", error)
