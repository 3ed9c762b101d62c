"""Registry of workbook event handlers.

Maps an event name (for example "onSelectionChanged") to the module
functions that handle it; the add-in asks for a handler by name through
``event_execution`` messages.
"""

import threading


class EventManager:
    def __init__(self):
        self._handlers = {}
        self._lock = threading.Lock()

    def register(self, event_name, module_name, function_name):
        with self._lock:
            handlers = self._handlers.setdefault(event_name, [])
            entry = (module_name, function_name)
            if entry not in handlers:
                handlers.append(entry)

    def unregister(self, event_name, module_name, function_name):
        with self._lock:
            handlers = self._handlers.get(event_name, [])
            if (module_name, function_name) in handlers:
                handlers.remove((module_name, function_name))

    def handlers(self, event_name):
        with self._lock:
            return list(self._handlers.get(event_name, ()))
