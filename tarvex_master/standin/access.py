"""Who may talk to the stand-in.

The stand-in runs code on request, so a web page from anywhere must not be
able to drive it: browser connections need the per-run token (printed
with the URL) and must come from the stand-in's own page (Origin); every
request must name the stand-in by a loopback host (Host), which stops a
foreign site that rebinds its own name to 127.0.0.1. The kernel connects
without any Origin, as a program does; a browser claiming to be the
kernel is refused.
"""

import hmac
import secrets
from urllib.parse import parse_qs, urlsplit

LOOPBACK_NAMES = ("127.0.0.1", "localhost")


def new_token():
    return secrets.token_urlsafe(24)


class Access:
    def __init__(self, port, token):
        self.port = port
        self.token = token

    @property
    def hosts(self):
        return {f"{name}:{self.port}" for name in LOOPBACK_NAMES}

    @property
    def origins(self):
        return {f"http://{host}" for host in self.hosts}

    def host_allowed(self, host):
        return isinstance(host, str) and host.lower() in self.hosts

    def page_refusal(self, path, origin):
        """Why a page connection is refused, or None when it may proceed."""
        token = parse_qs(urlsplit(path).query).get("token", [""])[0]
        if not hmac.compare_digest(token.encode(), self.token.encode()):
            return "missing or wrong token: open the URL the stand-in printed"
        if origin is not None and origin.lower() not in self.origins:
            return f"refused: connections from {origin[:60]} are not allowed"
        return None

    def kernel_refusal(self, origin):
        if origin is not None:
            return "refused: the kernel endpoint is not for browsers"
        return None
