"""The package user code imports to reach the workbook.

``excel`` and ``context`` are the workbook's root objects; ``messaging``
carries their requests to the add-in; ``Serializer`` converts values to and
from the wire format.
"""

from .vantrel import *  # noqa: F401,F403  (the object bridge)

# The connected kernel, set by the kernel while it is connected.
_kernel_instance = None
