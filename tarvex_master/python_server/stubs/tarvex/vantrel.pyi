"""The object bridge: wire values, the request channel to the Office.js add-in
and the proxies of the workbook's Office.js objects."""

import concurrent.futures
import threading
from typing import Any, Callable, Dict, List, Optional

class Serializer:
    """Handles marshaling of data types between Python and JavaScript."""

    @staticmethod
    def to_wire(value: Any) -> Dict[str, Any]:
        """Converts any Python value to a new wire value {"type", "value", "isSpec"}.

        None, bool, int, float, str, numpy numbers, dates, bytes, lists,
        tuples, dicts and pandas tables (header row, then the rows) travel
        as data; Office.js
        proxies by reference; any other callable is registered with
        `messaging` and sent by its id; anything else as its str() text.
        """

    @staticmethod
    def to_wire_json(value: Any) -> bytes:
        """The UTF-8 JSON text of `to_wire(value)`, written without building
        the wire value (the fast way to send a large table)."""

    @staticmethod
    def from_wire(wire: Dict[str, Any]) -> Any:
        """Converts a wire value (exactly a dict) back to a Python value.

        Arrays become OfficeJsArray, dictionaries OfficeJsDict, references
        to Office.js objects OfficeJsObject proxies.
        """

class Messaging:
    """Request/response channel to the Office.js add-in and registry of Python callables.

    Threading: the waiters table is protected by _waiters_lock and the callable
    registry by _callable_lock. send_request_sync() may be called from worker
    threads and blocks on a concurrent.futures.Future until its response arrives
    (a release, method DEL, is sent without waiting and returns None);
    on_message() may be called from the listener thread to resolve pending futures.
    """

    waiters: Dict[str, concurrent.futures.Future[Dict[str, Any]]]
    _waiters_lock: threading.Lock
    _guid: str
    _send_handler: Optional[Callable[[Dict[str, Any]], Any]]
    loop: Any
    loop_thread: Optional[threading.Thread]
    _callable_registry: Dict[str, Callable[..., Any]]
    _callable_lock: threading.Lock
    _next_callable_id: int

    def __init__(self) -> None: ...
    def set_send_handler(self, handler: Optional[Callable[[Dict[str, Any]], Any]]) -> None:
        """Installs the callable that delivers each request message."""
    def send_request_sync(self, req: Dict[str, Any], timeout: float = 30) -> Optional[Dict[str, Any]]:
        """Sends one request and blocks until its response message arrives.

        A release (method "DEL") is sent without waiting: its answer is
        dropped on arrival and None is returned.

        Raises RuntimeError without a send handler or when the add-in reports
        an error, TimeoutError after `timeout` seconds, and
        concurrent.futures.CancelledError when the channel is reset meanwhile.
        """
    def on_message(self, message: Dict[str, Any]) -> None:
        """Delivers one response message to its waiting request."""
    def reset(self) -> None:
        """Ends the current generation: cancels pending requests, forgets callables
        and makes existing proxies stale."""
    def register_callable(self, callable_obj: Callable[..., Any]) -> str:
        """Registers a callable for the add-in and returns its new id."""
    def get_callable(self, callable_id: str) -> Optional[Callable[..., Any]]:
        """The callable registered under the id, or None."""
    def unregister_callable(self, callable_id: str) -> None:
        """Forgets a callable id; unknown ids are ignored."""

messaging: Messaging

class OfficeJsObject:
    """Dynamic proxy class for Office.js objects.

    Reading or writing an attribute, indexing and calling are each one
    request to the add-in; the calling thread waits for the answer.
    """

    _internal_id: int
    _internal_typeName: str
    _msg_guid: str
    _typ: str
    _internal_cache: Dict[Any, Any]

    def __init__(self, object_id: int, type_name: str) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __getitem__(self, index: int | slice) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

class OfficeJsArray(List[Any]):
    """Specialized proxy for arrays returned from Office.js."""

    _internal_id: int
    _internal_typeName: str
    _msg_guid: str
    _typ: str
    _internal_cache: Dict[Any, Any]

    def __init__(self, object_id: Optional[int]) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

class OfficeJsDict(Dict[Any, Any]):
    """Specialized proxy for dictionaries returned from Office.js."""

    _internal_id: int
    _internal_typeName: str
    _msg_guid: str
    _typ: str
    _internal_cache: Dict[Any, Any]

    def __init__(self, object_id: Optional[int]) -> None: ...
    def __getattr__(self, name: str) -> Any: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

Context: OfficeJsObject
"""The add-in's request context (object id 0)."""
Excel: OfficeJsObject
"""The Excel namespace of the add-in (object id 1)."""
GetSetting: OfficeJsObject
"""A function of the add-in (object id 2)."""

_internal_officejs_names: List[str]
