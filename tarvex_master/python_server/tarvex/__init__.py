"""The package user code imports to reach the workbook.

``excel`` and ``context`` are the workbook's root objects; ``messaging``
carries their requests to the add-in; ``Serializer`` converts values to and
from the wire format.
"""

from .vantrel import (  # the object bridge
    Context,
    Excel,
    GetSetting,
    Messaging,
    OfficeJsArray,
    OfficeJsDict,
    OfficeJsObject,
    Serializer,
    messaging,
)

# The workbook's Excel namespace and request context, as user code names them.
excel = Excel
context = Context

# The connected kernel, set by the kernel while it is connected.
_kernel_instance = None

__all__ = [
    "Context",
    "Excel",
    "GetSetting",
    "Messaging",
    "OfficeJsArray",
    "OfficeJsDict",
    "OfficeJsObject",
    "Serializer",
    "context",
    "excel",
    "messaging",
]
