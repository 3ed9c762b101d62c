"""Serves the page's files over plain HTTP from the stand-in's own port."""

import email.utils
import http
import mimetypes
import os
import posixpath
from urllib.parse import unquote

from websockets.datastructures import Headers
from websockets.http11 import Response

_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".json": "application/json",
    ".svg": "image/svg+xml",
    ".ttf": "font/ttf",
    ".woff": "font/woff",
    ".woff2": "font/woff2",
    ".map": "application/json",
    ".png": "image/png",
}


class StaticFiles:
    """Files under a few URL prefixes, each served from one directory.

    ``mounts`` maps a prefix ("/", "/monaco/") to (directory, cache seconds).
    Paths that leave their directory are refused.
    """

    def __init__(self, mounts, index="index.html"):
        # Longest prefix first, so "/monaco/" wins over "/".
        self.mounts = sorted(mounts.items(), key=lambda item: -len(item[0]))
        self.index = index

    def locate(self, url_path):
        """(file path, cache seconds) for a URL path, or None."""
        path = unquote(url_path.split("?", 1)[0])
        if "\\" in path or "\x00" in path:
            return None
        for prefix, (directory, cache_seconds) in self.mounts:
            if not path.startswith(prefix):
                continue
            relative = path[len(prefix):]
            if relative == "" and prefix == "/":
                relative = self.index
            parts = relative.split("/")
            if any(part in ("", ".", "..") for part in parts):
                return None
            root = os.path.realpath(directory)
            candidate = os.path.realpath(os.path.join(root, *parts))
            if os.path.commonpath([root, candidate]) != root or not os.path.isfile(candidate):
                return None
            return candidate, cache_seconds
        return None

    def response(self, url_path):
        found = self.locate(url_path)
        if found is None:
            return plain_response(http.HTTPStatus.NOT_FOUND, f"Not found: {posixpath.normpath(url_path)}\n")
        file_path, cache_seconds = found
        with open(file_path, "rb") as f:
            body = f.read()
        extension = os.path.splitext(file_path)[1].lower()
        content_type = _TYPES.get(extension) or mimetypes.guess_type(file_path)[0] or "application/octet-stream"
        headers = _headers(content_type, len(body))
        headers["Cache-Control"] = f"max-age={cache_seconds}" if cache_seconds else "no-cache"
        return Response(200, "OK", headers, body)


def plain_response(status, text):
    status = http.HTTPStatus(status)
    body = text.encode()
    return Response(status.value, status.phrase, _headers("text/plain; charset=utf-8", len(body)), body)


def _headers(content_type, length):
    return Headers([
        ("Date", email.utils.formatdate(usegmt=True)),
        ("Connection", "close"),
        ("Content-Length", str(length)),
        ("Content-Type", content_type),
        ("X-Content-Type-Options", "nosniff"),
        # The page's address carries the access token; it must not leak to anyone.
        ("Referrer-Policy", "no-referrer"),
    ])
