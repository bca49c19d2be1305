"""Run kq2741-panel from the tests and talk to it as browsers and scripts do.

    with Panel("-p", sim.port) as panel:         # on 127.0.0.1, a free port
        status, answer = panel.post("/channel/1/attenuation", {"db": "3.5"})
        with panel.events() as stream:           # the page's WebSocket
            snapshot = stream.next()

Every server binds 127.0.0.1 (or another 127.x address) on a free port.
"""
from __future__ import annotations

import http.client
import json
import time
from urllib.parse import parse_qs, urlsplit

from servers import ServerProcess

CHROMIUM = "/usr/bin/chromium"  # Debian's; tools/bootstrap.sh installs it


class Panel(ServerProcess):
    """One kq2741-panel process; start() returns once it printed its URL."""

    program = "kq2741-panel"

    def __init__(self, *args, env: dict[str, str] | None = None, start_timeout: float = 10.0):
        if "--http-port" not in args:
            args += ("--http-port", "0")
        super().__init__(*args, env=env, start_timeout=start_timeout)

    @property
    def url(self) -> str:
        return self.line

    # --- where it serves ------------------------------------------------------

    @property
    def host(self) -> str:
        return urlsplit(self.url).hostname or ""

    @property
    def port(self) -> int:
        return urlsplit(self.url).port or 80

    @property
    def origin(self) -> str:
        return f"http://{self.host}:{self.port}"

    @property
    def token(self) -> str | None:
        return parse_qs(urlsplit(self.url).query).get("token", [None])[0]

    # --- HTTP, every header under the test's control ----------------------------

    def request(self, method: str, path: str, body: bytes | None = None,
                headers: dict[str, str] | None = None) -> tuple[int, dict[str, str], bytes]:
        connection = http.client.HTTPConnection(self.host, self.port, timeout=5)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
        finally:
            connection.close()

    def post(self, path: str, value, *, token: str | None = "", origin: str | None = "",
             content_type: str = "application/json") -> tuple[int, dict]:
        """A change as the page sends it: its token and Origin unless told otherwise
        (None leaves the header out)."""
        headers = {"Content-Type": content_type}
        token = self.token if token == "" else token
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        origin = self.origin if origin == "" else origin
        if origin is not None:
            headers["Origin"] = origin
        body = value if isinstance(value, bytes) else json.dumps(value).encode()
        status, _, data = self.request("POST", path, body, headers)
        return status, json.loads(data) if data else {}

    def state(self) -> dict:
        status, _, data = self.request("GET", "/state" + (f"?token={self.token}" if self.token else ""))
        assert status == 200, data
        return json.loads(data)

    def events(self, *, origin: str | None = "", token: str | None = "") -> Events:
        return Events(self, origin=origin, token=token)


class Events:
    """The page's WebSocket of changes, read message by message."""

    def __init__(self, panel: Panel, *, origin: str | None, token: str | None):
        from websockets.sync.client import connect

        token = panel.token if token == "" else token
        url = f"ws://{panel.host}:{panel.port}/events" + (f"?token={token}" if token else "")
        origin = panel.origin if origin == "" else origin
        self.socket = connect(url, origin=origin, open_timeout=5, close_timeout=1).__enter__()  # type: ignore[arg-type]

    def next(self, timeout: float = 5.0) -> dict:
        return json.loads(self.socket.recv(timeout))

    def until(self, check, timeout: float = 5.0) -> dict:
        """The first message for which check(message) is true, within timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            message = self.next(max(0.0, deadline - time.monotonic()))
            if check(message):
                return message

    def close(self) -> None:
        self.socket.close()

    def __enter__(self) -> Events:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

