"""Which Python code runs when something happens in the workbook.

Two kinds of registration: a Python function that code added to an event
(``sheet.onChanged.add(handler)``; the kernel gave us its callable id and
is asked to run it with ``python_function_call``), and a module function
chosen in the page (run with ``event_execution``).
"""

import itertools
from dataclasses import dataclass

EVENTS = ("onChanged", "onSelectionChanged", "onActivated")


@dataclass
class Registration:
    id: int
    event: str
    sheet_id: str | None  # None: every worksheet
    callable_id: str | None = None
    module_name: str | None = None
    function_name: str | None = None

    @property
    def by_code(self):
        return self.callable_id is not None


class EventRegistry:
    def __init__(self):
        self._registrations = []
        self._ids = itertools.count(1)

    def add_callable(self, event, sheet, callable_id):
        registration = Registration(next(self._ids), event, sheet.id if sheet else None, callable_id=callable_id)
        self._registrations.append(registration)
        return registration

    def add_module_handler(self, event, sheet, module_name, function_name):
        if event not in EVENTS:
            raise ValueError(f"unknown event {event!r}; choose one of {', '.join(EVENTS)}")
        for existing in self._registrations:
            if (existing.event, existing.sheet_id, existing.module_name, existing.function_name) == (
                event, sheet.id if sheet else None, module_name, function_name
            ):
                return existing
        registration = Registration(
            next(self._ids), event, sheet.id if sheet else None, module_name=module_name, function_name=function_name
        )
        self._registrations.append(registration)
        return registration

    def remove(self, registration):
        if registration in self._registrations:
            self._registrations.remove(registration)

    def remove_id(self, registration_id):
        for registration in self._registrations:
            if registration.id == registration_id:
                self._registrations.remove(registration)
                return True
        return False

    def drop_callables(self):
        """Forgets the handlers added by code: the kernel that held their functions is gone."""
        before = len(self._registrations)
        self._registrations = [r for r in self._registrations if not r.by_code]
        return before - len(self._registrations)

    def drop_sheet(self, sheet):
        self._registrations = [r for r in self._registrations if r.sheet_id != sheet.id]

    def matching(self, event, sheet):
        return [r for r in self._registrations if r.event == event and r.sheet_id in (None, sheet.id)]

    def to_json(self, workbook):
        listing = []
        for r in self._registrations:
            sheet = workbook.sheet_by_id(r.sheet_id) if r.sheet_id else None
            listing.append({
                "id": r.id,
                "event": r.event,
                "sheet": sheet.name if sheet else None,
                "handler": r.callable_id if r.by_code else f"{r.module_name}.{r.function_name}",
                "by_code": r.by_code,
            })
        return listing
