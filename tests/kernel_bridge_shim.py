"""Until the object bridge is built, the user package lacks its root objects
and request channel; this gives the kernel the attributes it reads and writes."""

import tarvex_master.python_server.tarvex as user_package


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


install()
