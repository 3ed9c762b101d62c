"""Answers the kernel's object requests (GET, SET, GETITEM, CALL, DEL) as the add-in would.

Objects handed to the kernel get integer ids; the kernel's proxies name
them as "caller". Ids 0, 1 and 2 are the roots (the request context, the
Excel namespace and the setting reader) and are never released.
"""

import inspect
import logging
import re

from .office_objects import BoundMethod, ExcelNamespace, GetSettingFunction, RequestContext
from .wire import WireError, from_wire, to_wire
from .workbook import WorkbookError

log = logging.getLogger("tarvex_master.standin.object_bridge")

ROOT_IDS = (0, 1, 2)
_INDEX = re.compile(r"-?\d+")


class ObjectBridge:
    def __init__(self, host):
        self.host = host
        self._roots = {0: RequestContext(host), 1: ExcelNamespace(host), 2: GetSettingFunction(host)}
        self._objects = dict(self._roots)
        self._next_id = 3

    @property
    def live_objects(self):
        """How many objects the kernel holds besides the roots."""
        return len(self._objects) - len(self._roots)

    def register(self, obj):
        object_id = self._next_id
        self._next_id += 1
        self._objects[object_id] = obj
        return object_id

    def resolve(self, object_id, type_name=None):
        obj = self._objects.get(object_id)
        if obj is None:
            raise WireError(f"object id {object_id} is unknown or was released")
        return obj

    def release_all(self):
        """Forgets every object handed out: the kernel holding them has gone."""
        self._objects = dict(self._roots)

    async def answer(self, request):
        """The response to one request (never raises)."""
        request_id = request.get("requestId")
        try:
            result = await self._carry_out(request)
            return {"requestId": request_id, "ok": True, "result": to_wire(result, self.register)}
        except WorkbookError as e:
            return _failure(request_id, str(e), e.code)
        except WireError as e:
            return _failure(request_id, str(e), "InvalidArgument")
        except Exception as e:  # a fault of the stand-in itself must not take the relay down
            log.exception("Workbook request failed: %r", request)
            return _failure(request_id, f"The workbook stand-in failed: {type(e).__name__}: {e}", "GeneralException")

    async def _carry_out(self, request):
        method = request.get("method")
        name = request.get("name")
        caller = request.get("caller")
        if type(caller) is not int:
            raise WorkbookError("the request names no object (caller must be an integer id)")
        if method == "DEL":
            return self._release(caller)
        target = self.resolve(caller)
        if method == "GET":
            return self._get(target, _member_name(name))
        if method == "SET":
            if "value" not in request:
                raise WorkbookError("SET needs a value")
            return self._set(target, _member_name(name), from_wire(request["value"], self.resolve))
        if method == "GETITEM":
            return self._get_item(target, name)
        if method == "CALL":
            result = self._call(target, request.get("args", []))
            if inspect.isawaitable(result):
                result = await result
            return result
        raise WorkbookError(f"unknown request method {method!r}")

    def _release(self, caller):
        if caller in self._roots:
            return None
        if self._objects.pop(caller, None) is None:
            raise WorkbookError(f"object id {caller} is unknown or was released")
        return None

    def _get(self, target, name):
        getter = getattr(target, "api_get_" + name, None)
        if getter is not None:
            return getter()
        if hasattr(target, "api_call_" + name):
            return BoundMethod(self.host, target, name)
        raise WorkbookError(f"The property '{name}' does not exist on type '{target.type_name}'.", "PropertyNotFound")

    def _set(self, target, name, value):
        setter = getattr(target, "api_set_" + name, None)
        if setter is not None:
            setter(value)
            return None
        if hasattr(target, "api_get_" + name) or hasattr(target, "api_call_" + name):
            raise WorkbookError(f"The property '{name}' of type '{target.type_name}' cannot be set.", "InvalidOperation")
        raise WorkbookError(f"The property '{name}' does not exist on type '{target.type_name}'.", "PropertyNotFound")

    def _get_item(self, target, key):
        item_at = getattr(target, "item_at", None)
        if item_at is None:
            raise WorkbookError(f"Type '{target.type_name}' cannot be indexed.", "InvalidOperation")
        if not isinstance(key, str) or not _INDEX.fullmatch(key):
            raise WorkbookError(f"Type '{target.type_name}' is indexed by a whole number, not {key!r}.")
        return item_at(int(key))

    def _call(self, target, records):
        invoke = getattr(target, "invoke", None)
        if invoke is None:
            raise WorkbookError(f"Type '{target.type_name}' is not a function.", "InvalidOperation")
        if not isinstance(records, list):
            raise WorkbookError("CALL needs a list of arguments")
        args, named = [], {}
        for record in records:
            if not isinstance(record, dict):
                raise WorkbookError("each CALL argument must be an object")
            value = from_wire(record.get("value"), self.resolve)
            if record.get("arg_type") == "PLACED":
                args.append(value)
            elif record.get("arg_type") == "NAMED" and isinstance(record.get("name"), str):
                named[record["name"]] = value
            else:
                raise WorkbookError("a CALL argument must be PLACED, or NAMED with a name")
        if isinstance(target, BoundMethod):
            function = getattr(target.target, "api_call_" + target.name)
            try:
                inspect.signature(function).bind(*args, **named)
            except TypeError as e:
                raise WorkbookError(f"{target.name}(): {e}") from None
        return invoke(args, named)


def _member_name(name):
    if not isinstance(name, str) or not name.isidentifier():
        raise WorkbookError(f"{name!r} is not a property name")
    return name


def _failure(request_id, message, code):
    return {"requestId": request_id, "ok": False, "error": {"code": code, "message": message}}

