"""Who may look at the instrument and who may change it.

- With a token (always when serving beyond loopback) every request carries
  it: the page and the event stream in the URL (``?token=``), writes in the
  ``Authorization: Bearer`` header. None is 401, a wrong one 403.
- Without one the panel serves loopback only, and answers only to loopback
  host names: a web page whose name an attacker re-points at 127.0.0.1 (DNS
  rebinding) gets 403 from here rather than the instrument.
- A write or an event stream opened by a browser must come from the panel's
  own page: an Origin header other than the panel's own is 403 (a page
  elsewhere can neither set a value nor listen). Writes are JSON only, which
  no cross-site form can send, and no response ever allows another origin.
"""
from __future__ import annotations

import hmac
import ipaddress
from typing import NamedTuple

from starlette.requests import HTTPConnection


class Refusal(NamedTuple):
    status: int
    message: str


def _exact(given: str, token: bytes) -> bool:
    # compare_digest on bytes: constant time, and any text a client sends encodes.
    return hmac.compare_digest(given.encode("utf-8", "surrogatepass"), token)


def loopback_name(host: str) -> bool:
    """True for a Host header naming this machine's loopback (with or without a port)."""
    if host.startswith("["):  # [::1]:8741
        name = host[1:].partition("]")[0]
    else:
        name = host.rpartition(":")[0] if host.count(":") == 1 else host
    name = name.rstrip(".").lower()
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


class Guard:
    def __init__(self, token: str | None):
        self.token = token.encode() if token else None

    def _host(self, conn: HTTPConnection) -> Refusal | None:
        if self.token is None and not loopback_name(conn.headers.get("host", "")):
            return Refusal(403, "this panel answers to loopback names only (localhost, 127.0.0.1)")
        return None

    def _token(self, given: str | None) -> Refusal | None:
        if self.token is None:
            return None
        if not given:
            return Refusal(401, "this panel needs its token: open the URL it printed")
        if not _exact(given, self.token):
            return Refusal(403, "wrong token: open the URL the panel printed")
        return None

    def _origin(self, conn: HTTPConnection) -> Refusal | None:
        origin = conn.headers.get("origin")
        if origin is None:
            # Browsers send an Origin with every write and every WebSocket;
            # without one the client is a program (curl, a script), which
            # the token (or loopback) already admits.
            site = conn.headers.get("sec-fetch-site")
            if site in (None, "same-origin", "none"):
                return None
        else:
            scheme = "https" if conn.url.scheme in ("https", "wss") else "http"
            own = f"{scheme}://{conn.headers.get('host', '')}"
            if origin.lower() == own.lower():
                return None
        return Refusal(403, "changes come from the panel's own page only")

    def read(self, conn: HTTPConnection) -> Refusal | None:
        """The page and the state: the host name and the token in the URL."""
        return self._host(conn) or self._token(conn.query_params.get("token"))

    def listen(self, conn: HTTPConnection) -> Refusal | None:
        """The event stream: as a read, and from the panel's own page."""
        return self.read(conn) or self._origin(conn)

    def write(self, conn: HTTPConnection) -> Refusal | None:
        """A change: the host name, the token in its header, the origin, JSON."""
        scheme, _, given = conn.headers.get("authorization", "").partition(" ")
        refusal = self._host(conn) or self._token(given.strip() if scheme.lower() == "bearer" else None)
        if refusal is None:
            refusal = self._origin(conn)
        if refusal is None and conn.headers.get("content-type", "").split(";")[0].strip().lower() != "application/json":
            refusal = Refusal(415, "a change is sent as JSON (Content-Type: application/json)")
        return refusal
