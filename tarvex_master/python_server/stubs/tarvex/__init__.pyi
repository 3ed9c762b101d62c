"""The package user code imports to reach the workbook.

``excel`` and ``context`` are the workbook's root objects; ``messaging``
carries their requests to the add-in; ``Serializer`` converts values to and
from the wire format.
"""

from typing import Any

from .vantrel import (
    Context as Context,
    Excel as Excel,
    GetSetting as GetSetting,
    Messaging as Messaging,
    OfficeJsArray as OfficeJsArray,
    OfficeJsDict as OfficeJsDict,
    OfficeJsObject as OfficeJsObject,
    Serializer as Serializer,
    messaging as messaging,
)

excel: OfficeJsObject
"""The workbook's Excel namespace: excel.<member> reads it from the add-in."""
context: OfficeJsObject
"""The add-in's request context."""

_kernel_instance: Any
"""The connected kernel, or None while no kernel is connected."""
