"""The kernel (``kernel``), language services (``lexora``) and the user package (``tarvex``)."""
