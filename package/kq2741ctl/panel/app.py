"""The panel's HTTP face: the page, its event stream, and one POST per change.

    GET  /                            the page (static HTML, CSS and JS under /static)
    GET  /state                       the instrument as the page's first message shows it
    WS   /events                      that snapshot, then every change as it happens
    POST /channel/{n}/attenuation     {"db": "3.5"}   text is read as an exact decimal
    POST /channel/{n}/wavelength      {"nm": 1550}
    POST /channel/{n}/clear, /channel/{n}/disconnect, /display/close

A change answers 200 with the channel as read back, or an error whose
"error" is the sentence to show at the field: 422 the package refused the
value (nothing was sent), 409 the instrument refused it, 502 it answered
garbled, 503 it does not answer. security.py says who may do what.
"""
from __future__ import annotations

import asyncio
import contextlib
import json
import logging
from decimal import Decimal
from pathlib import Path
from typing import Any, Awaitable, Callable, Iterator

import uvicorn
from starlette.applications import Starlette
from starlette.requests import ClientDisconnect, Request
from starlette.responses import JSONResponse, PlainTextResponse, Response
from starlette.routing import Route, WebSocketRoute
from starlette.types import ASGIApp, Message, Receive, Scope, Send
from starlette.websockets import WebSocket, WebSocketDisconnect

from kq2741ctl import InstrumentError, Refused

from . import values
from .hub import Hub, Subscription
from .instrument import Instrument, Lost
from .security import Guard

STATIC = Path(__file__).resolve().parent / "static"
MEDIA_TYPES = {".html": "text/html; charset=utf-8", ".css": "text/css; charset=utf-8",
               ".js": "text/javascript; charset=utf-8", ".svg": "image/svg+xml"}
MAX_BODY = 4096  # bytes: a change is a few dozen
MAX_MESSAGE = 4096  # bytes a page may send on its event stream (it sends nothing)

log = logging.getLogger("kq2741ctl.panel")

# Every answer: not to be framed (a page elsewhere could trick clicks through
# a frame), scripts and connections from this origin only, no referrer (the
# URL holds the token), nothing cached.
HEADERS = [
    (b"content-security-policy", b"default-src 'self'; connect-src 'self'; img-src 'self'; "
                                 b"frame-ancestors 'none'; base-uri 'none'; form-action 'none'"),
    (b"x-frame-options", b"DENY"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"cache-control", b"no-store"),
]


class _Headers:
    """ASGI middleware putting HEADERS on every HTTP answer."""

    def __init__(self, app: ASGIApp):
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", []), *HEADERS]
            await send(message)

        await self.app(scope, receive, send_with_headers)


class Answer(Exception):
    """Ends a request with this status and message."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


async def read_json(request: Request) -> dict[str, Any]:
    declared = request.headers.get("content-length", "")
    if declared and (not declared.isdigit() or len(declared) > 6 or int(declared) > MAX_BODY):
        raise Answer(413, f"a change is at most {MAX_BODY} bytes")
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_BODY:
            raise Answer(413, f"a change is at most {MAX_BODY} bytes")
    if not body:
        return {}
    try:
        # Numbers as exact decimals, as typed text is read (values.attenuation).
        value = json.loads(bytes(body), parse_float=Decimal, parse_constant=Decimal)
    except (ValueError, RecursionError):
        raise Answer(400, "the body is not JSON") from None
    if not isinstance(value, dict):
        raise Answer(400, "the body is not a JSON object")
    return value


def field(body: dict[str, Any], name: str) -> Any:
    if name not in body:
        raise Answer(400, f"the body has no {name!r}")
    return body[name]


def page_files() -> dict[str, Response]:
    """The page's few small files, read once: a first visit to a cold server
    waits for no disk and no thread."""
    return {path.name: Response(path.read_bytes(), media_type=MEDIA_TYPES[path.suffix])
            for path in STATIC.iterdir() if path.suffix in MEDIA_TYPES}


def build(instrument: Instrument, hub: Hub, guard: Guard) -> ASGIApp:
    numbers = {str(n): n for n in instrument.channels}
    files = page_files()

    def channel(request: Request) -> int:
        n = numbers.get(request.path_params["n"])
        if n is None:
            raise Answer(404, "no such channel on this panel")
        return n

    def change(act: Callable[[Request, dict[str, Any]], Awaitable[dict[str, Any] | None]]):
        async def endpoint(request: Request) -> Response:
            refusal = guard.write(request)
            if refusal:
                return error(*refusal)
            try:
                body = await read_json(request)
                result = await act(request, body)
            except Answer as answer:
                return error(answer.status, str(answer))
            except ClientDisconnect:
                return Response(status_code=400)
            except Lost as lost:
                return error(503, f"the instrument does not answer ({lost})")
            except Refused as refused:
                return error(409, f"the instrument refused it ({refused})")
            except InstrumentError as garbled:
                return error(502, f"the instrument answered garbled ({garbled})")
            except (ValueError, TypeError, ArithmeticError) as refused:
                log.debug("%s %s refused: %s", request.url.path, body, refused)
                return error(422, str(refused))  # the package's verdict: nothing was sent
            log.debug("%s %s from %s", request.url.path, body, request.client and request.client.host)
            return JSONResponse({"channel": result} if result else {})
        return endpoint

    async def set_attenuation(request: Request, body: dict[str, Any]) -> dict[str, Any]:
        n = channel(request)
        return await instrument.set_attenuation(n, values.attenuation(field(body, "db")))

    async def select_wavelength(request: Request, body: dict[str, Any]) -> dict[str, Any]:
        n = channel(request)
        return await instrument.select_wavelength(n, field(body, "nm"))

    async def clear(request: Request, body: dict[str, Any]) -> dict[str, Any]:
        return await instrument.clear(channel(request))

    async def disconnect(request: Request, body: dict[str, Any]) -> dict[str, Any]:
        return await instrument.disconnect(channel(request))

    async def close_display(request: Request, body: dict[str, Any]) -> None:
        await instrument.close_display()

    async def page(request: Request) -> Response:
        refusal = guard.read(request)
        if refusal:
            return PlainTextResponse(refusal.message + "\n", status_code=refusal.status)
        return files["index.html"]

    async def static(request: Request) -> Response:
        return files.get(request.path_params["name"]) or PlainTextResponse("no such file\n", status_code=404)

    async def state(request: Request) -> Response:
        refusal = guard.read(request)
        if refusal:
            return error(*refusal)
        return JSONResponse({**instrument.snapshot(), "seq": hub.seq})

    async def events(websocket: WebSocket) -> None:
        refusal = guard.listen(websocket)
        if refusal:
            await websocket.close(code=1008, reason=refusal.message)  # before accepting: HTTP 403
            return
        await websocket.accept()
        subscription = hub.subscribe()
        # Taken with the subscription, before any await: nothing published in between is missed.
        first = json.dumps({**instrument.snapshot(), "seq": hub.seq}, separators=(",", ":"))
        listener = asyncio.get_running_loop().create_task(_until_closed(websocket, subscription))
        try:
            await websocket.send_text(first)
            while (text := await subscription.queue.get()) is not None:
                await websocket.send_text(text)
            # Dropped, or the panel stops: 1013 tells the page to come back.
            await websocket.close(code=1001 if subscription.reason == "the panel is stopping" else 1013,
                                  reason=subscription.reason)
        except (WebSocketDisconnect, RuntimeError, OSError):
            pass  # the page went away mid-send
        finally:
            hub.unsubscribe(subscription)
            listener.cancel()

    routes = [
        Route("/", page),
        Route("/state", state),
        Route("/channel/{n}/attenuation", change(set_attenuation), methods=["POST"]),
        Route("/channel/{n}/wavelength", change(select_wavelength), methods=["POST"]),
        Route("/channel/{n}/clear", change(clear), methods=["POST"]),
        Route("/channel/{n}/disconnect", change(disconnect), methods=["POST"]),
        Route("/display/close", change(close_display), methods=["POST"]),
        WebSocketRoute("/events", events),
        Route("/static/{name}", static),
    ]
    return _Headers(Starlette(routes=routes))


async def _until_closed(websocket: WebSocket, subscription: Subscription) -> None:
    """Reads (and ignores) what the page sends, to learn when it goes away."""
    try:
        while (await websocket.receive())["type"] != "websocket.disconnect":
            pass
    except (WebSocketDisconnect, RuntimeError, OSError):
        pass
    subscription.end("the page went away")


class Server(uvicorn.Server):
    """uvicorn on h11, its WebSocket on the websockets library's sans-I/O core.

    It leaves signals alone: the program's own handlers stop it (SIGHUP too),
    where uvicorn's would raise the signal again once it has stopped."""

    def __init__(self, app: ASGIApp):
        super().__init__(uvicorn.Config(app, log_config=None, access_log=False, lifespan="off", http="h11",
                                        ws="websockets-sansio", ws_max_size=MAX_MESSAGE,
                                        timeout_graceful_shutdown=1, server_header=False))

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        yield
