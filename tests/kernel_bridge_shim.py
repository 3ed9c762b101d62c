"""Until the object bridge and the language services are built, the user
package lacks its root objects and request channel, and Lexora its methods;
this gives the kernel the attributes it reads, writes and calls."""

import tarvex_master.python_server.tarvex as user_package
from tarvex_master.python_server import lexora


class _Messaging:
    loop = loop_thread = None

    def send_request_sync(self, req, timeout=30):
        raise RuntimeError("No send handler registered")

    def reset(self):
        pass


def install():
    if not hasattr(user_package, "messaging"):
        user_package.messaging = _Messaging()
        user_package.excel = user_package.context = None
    for name in ("delete_module", "update_sys_paths", "set_hover_mode"):
        if not hasattr(lexora.Lexora, name):
            try:
                setattr(lexora.Lexora, name, lambda self, *args: None)
            except (AttributeError, TypeError):
                pass


install()
