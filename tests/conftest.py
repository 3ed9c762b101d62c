import pathlib
import sys

import pytest

# The repository root, so that the in-place built package imports.
ROOT = pathlib.Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))


@pytest.fixture
def fresh(request):
    """Kernels of the test's own (for tests that end the connection), for the
    workbook named by the test module's WB; all closed after the test."""
    from kernel_wire import BusinessLayer

    layers = []

    def start(**kwargs):
        layers.append(BusinessLayer(getattr(request.module, "WB", "wb-test"), **kwargs))
        return layers[-1]

    yield start
    for layer in layers:
        layer.close()
