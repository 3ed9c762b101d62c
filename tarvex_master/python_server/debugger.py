"""Debugger for workbook modules run from the editor.

The kernel creates one ``TarvexDebugger`` per debug run, gives it the
breakpoints and the names of the in-memory modules, and runs the call
through ``runcall`` on a worker thread.
"""


class TarvexDebugger:
    def __init__(self, send_message, workbook_id):
        self.send_message = send_message
        self.workbook_id = workbook_id
        self.loop = None
        self.step_mode = None
        self.breakpoints = []
        self.in_memory_modules = []

    def set_breakpoints(self, breakpoints):
        self.breakpoints = list(breakpoints)

    def set_in_memory_modules(self, names):
        self.in_memory_modules = list(names)
