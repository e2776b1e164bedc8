"""The live page and the HTTP interface, on aiohttp (the ``[live]`` extra).

=========================  ===================================================
``GET /``                  the page
``GET /stream.mjpeg``      ``multipart/x-mixed-replace`` JPEG pictures;
                           ``?view=annotated`` (default), ``mask-ball``,
                           ``mask-field``, ``mask-line`` or ``debug``
``GET /events``            Server-Sent Events: one per detected frame, its
                           data the frame's JSON record
``GET /api/settings``      the settings file's JSON, as in use
``PUT /api/settings``      applies a settings file's JSON (400: unchanged)
``POST /api/save``         writes the settings file
``POST /api/tune``         ``{"name": ..., "box": [x0, y0, x1, y1]}``: tunes
                           a window from the newest frame and applies it
``GET /api/frame.png``     the newest frame, as read
``GET /api/status``        frames per second, source state, counts
=========================  ===================================================

Clients never hold up the detector: each event stream has a bounded queue
that loses its oldest records when the client falls behind, and each
picture stream sends the newest picture whenever its client takes one.

Examples
--------
>>> VIEW_NAMES["mask-ball"]
'ball window'
"""

from __future__ import annotations

import asyncio
import json
import os
from collections.abc import Callable
from importlib.resources import files
from typing import Any, cast

from aiohttp import web

from ..tuning import Box
from .engine import VIEWS, LiveRunner, Streamer, View, png
from .settings import settings_from_json, settings_from_text, settings_to_json, write_settings

__all__ = ["MAX_BODY", "VIEW_NAMES", "LiveServer", "serve_until"]

#: The largest request body accepted, in bytes.
MAX_BODY = 64 * 1024
#: Records an event stream holds for a client that falls behind.
EVENT_BACKLOG = 256
#: Names of the stream's views on the page.
VIEW_NAMES: dict[str, str] = {"annotated": "detections", "mask-ball": "ball window",
                              "mask-field": "field window", "mask-line": "line windows",
                              "debug": "debug"}
_BOUNDARY = "orbisectframe"
_STATIC = files("orbisect_detect.live").joinpath("static")


class _Latest:
    """The newest picture of a view, with waiters, on the event loop."""

    def __init__(self) -> None:
        self.seq = 0
        self.data = b""
        self.changed = asyncio.Event()

    def set(self, data: bytes) -> None:
        self.seq += 1
        self.data = data
        self.changed.set()
        self.changed = asyncio.Event()

    async def after(self, seq: int) -> tuple[int, bytes]:
        while self.seq <= seq:
            await self.changed.wait()
        return self.seq, self.data


class LiveServer:
    """The HTTP side of a :class:`~orbisect_detect.live.engine.LiveRunner`.

    Parameters
    ----------
    runner : LiveRunner
        The detection loop to show and steer.
    settings_path : str, optional
        The settings file that ``POST /api/save`` writes; None saves nothing.
    stream_fps : float
        Pictures per second of the stream.
    stream_width : int
        Width of the stream's pictures at most, px.
    """

    def __init__(self, runner: LiveRunner, *, settings_path: str | os.PathLike[str] | None,
                 stream_fps: float = 15.0, stream_width: int = 640) -> None:
        self.runner = runner
        self.settings_path = None if settings_path is None else os.fspath(settings_path)
        self.saved = runner.windows
        self.stream_fps, self.stream_width = stream_fps, stream_width
        self._loop: asyncio.AbstractEventLoop | None = None
        self._latest: dict[View, _Latest] = {}
        self._queues: set[asyncio.Queue[str]] = set()
        self.streamer = Streamer(runner, fps=stream_fps, width=stream_width,
                                 publish=self._picture_threadsafe)
        self._runner_app: web.AppRunner | None = None
        self.address: tuple[str, int] | None = None

    # -- from the other threads ---------------------------------------------------

    def _record_threadsafe(self, text: str, record: dict[str, Any]) -> None:
        loop = self._loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(self._broadcast, text)
            except RuntimeError:        # the loop closed meanwhile
                pass

    def _picture_threadsafe(self, view: View, data: bytes) -> None:
        loop = self._loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(self._latest[view].set, data)
            except RuntimeError:
                pass

    def _broadcast(self, text: str) -> None:
        for q in self._queues:
            if q.full():
                q.get_nowait()          # a slow client loses its oldest record
            q.put_nowait(text)

    # -- the application -----------------------------------------------------------

    def app(self) -> web.Application:
        """The aiohttp application (routes of the module's table)."""
        app = web.Application(client_max_size=MAX_BODY)
        app.router.add_get("/", self._page)
        app.router.add_get("/static/{name}", self._static)
        app.router.add_get("/stream.mjpeg", self._stream)
        app.router.add_get("/events", self._events)
        app.router.add_get("/api/settings", self._get_settings)
        app.router.add_put("/api/settings", self._put_settings)
        app.router.add_post("/api/save", self._save)
        app.router.add_post("/api/tune", self._tune)
        app.router.add_get("/api/frame.png", self._frame)
        app.router.add_get("/api/status", self._status)
        return app

    async def start(self, host: str, port: int) -> tuple[str, int]:
        """Starts serving on ``host:port`` (port 0: any free port); returns
        the address bound."""
        self._loop = asyncio.get_running_loop()
        self._latest = {v: _Latest() for v in VIEWS}
        self.runner.add_listener(self._record_threadsafe)
        self.streamer.start()
        self._runner_app = web.AppRunner(self.app(), handle_signals=False, access_log=None,
                                         shutdown_timeout=1.0)
        await self._runner_app.setup()
        site = web.TCPSite(self._runner_app, host, port, reuse_address=True)
        await site.start()
        server = cast(Any, site._server)
        sockname = server.sockets[0].getsockname()
        self.address = (str(sockname[0]), int(sockname[1]))
        return self.address

    async def stop(self) -> None:
        """Stops serving: open streams are closed, the port freed."""
        self.runner.remove_listener(self._record_threadsafe)
        self.streamer.close()
        for q in list(self._queues):
            self._broadcast_end(q)
        if self._runner_app is not None:
            await self._runner_app.cleanup()
            self._runner_app = None

    @staticmethod
    def _broadcast_end(q: asyncio.Queue[str]) -> None:
        if q.full():
            q.get_nowait()
        q.put_nowait("")

    def save(self) -> bool:
        """Writes the settings file when the settings changed since it was
        read or saved; True when it wrote."""
        windows = self.runner.windows
        if self.settings_path is None or windows == self.saved:
            return False
        write_settings(self.settings_path, windows)
        self.saved = windows
        return True

    # -- handlers ------------------------------------------------------------------

    async def _page(self, request: web.Request) -> web.StreamResponse:
        return await self._static_file("index.html")

    async def _static(self, request: web.Request) -> web.StreamResponse:
        return await self._static_file(request.match_info["name"])

    async def _static_file(self, name: str) -> web.StreamResponse:
        types = {".html": "text/html", ".js": "text/javascript", ".css": "text/css"}
        suffix = os.path.splitext(name)[1]
        item = _STATIC.joinpath(name)
        if suffix not in types or "/" in name or not item.is_file():
            raise web.HTTPNotFound(text=f"no such file: {name}")
        return web.Response(body=item.read_bytes(), content_type=types[suffix], charset="utf-8",
                            headers={"Cache-Control": "no-cache"})

    async def _stream(self, request: web.Request) -> web.StreamResponse:
        view = request.query.get("view", "annotated")
        v = next((name for name in VIEWS if name == view), None)
        if v is None:
            raise web.HTTPBadRequest(text=f"view must be one of {', '.join(VIEWS)}, got {view!r}")
        response = web.StreamResponse(headers={
            "Content-Type": f"multipart/x-mixed-replace; boundary={_BOUNDARY}",
            "Cache-Control": "no-cache, no-store", "Pragma": "no-cache"})
        await response.prepare(request)
        latest = self._latest[v]
        self.streamer.watch(v)
        try:
            seq = 0
            while True:
                seq, data = await latest.after(seq)
                head = (f"--{_BOUNDARY}\r\nContent-Type: image/jpeg\r\n"
                        f"Content-Length: {len(data)}\r\n\r\n").encode()
                await response.write(head + data + b"\r\n")
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            self.streamer.unwatch(v)
        return response

    async def _events(self, request: web.Request) -> web.StreamResponse:
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream",
                                               "Cache-Control": "no-cache"})
        await response.prepare(request)
        q: asyncio.Queue[str] = asyncio.Queue(EVENT_BACKLOG)
        self._queues.add(q)
        try:
            await response.write(b": records of orbisect live\n\n")
            while True:
                try:
                    text = await asyncio.wait_for(q.get(), 15.0)
                except TimeoutError:
                    await response.write(b": keep-alive\n\n")
                    continue
                if not text:
                    break
                await response.write(f"data: {text}\n\n".encode())
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            self._queues.discard(q)
        return response

    def _settings_body(self) -> dict[str, Any]:
        return settings_to_json(self.runner.windows)

    async def _get_settings(self, request: web.Request) -> web.Response:
        return web.json_response(self._settings_body())

    async def _put_settings(self, request: web.Request) -> web.Response:
        text = await request.text()
        try:
            windows = settings_from_text(text)
        except ValueError as e:
            return _error(400, str(e))
        # In use as the file will hold them.
        self.runner.apply(settings_from_json(settings_to_json(windows)))
        return web.json_response(self._settings_body())

    async def _save(self, request: web.Request) -> web.Response:
        if self.settings_path is None:
            return _error(409, "no settings file: start with --settings FILE")
        try:
            await asyncio.to_thread(self.save)
        except OSError as e:
            return _error(500, f"{self.settings_path}: cannot write ({e.strerror or e})")
        return web.json_response({"path": self.settings_path, "settings": self._settings_body()})

    async def _tune(self, request: web.Request) -> web.Response:
        try:
            body = json.loads(await request.text())
        except json.JSONDecodeError as e:
            return _error(400, f"not valid JSON ({e})")
        if not isinstance(body, dict) or set(body) != {"name", "box"}:
            return _error(400, 'a tune request is {"name": "ball"|"line"|"field", '
                               '"box": [x0, y0, x1, y1]}')
        name, box = body["name"], body["box"]
        if name not in ("ball", "line", "field"):
            return _error(400, f"name must be 'ball', 'line' or 'field', got {name!r}")
        if (not isinstance(box, list) or len(box) != 4
                or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                           and abs(v) < 1e6 for v in box)):
            return _error(400, f"box must be four numbers [x0, y0, x1, y1], got {box!r}")
        x0, y0, x1, y1 = (round(v) for v in box)
        try:
            tuned = await asyncio.to_thread(
                self.runner.tune, name, Box(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1)))
        except LookupError as e:
            return _error(409, str(e))
        except ValueError as e:
            return _error(400, str(e))
        b = tuned.box
        window: Any = [w.to_dict() for w in tuned.windows] if name == "line" else \
            tuned.window.to_dict()
        return web.json_response({"name": name, "window": window, "box": [b.x0, b.y0, b.x1, b.y1],
                                  "coverage": tuned.coverage,
                                  "frame_coverage": tuned.frame_coverage,
                                  "achromatic": tuned.achromatic,
                                  "settings": self._settings_body()})

    async def _frame(self, request: web.Request) -> web.Response:
        snap = self.runner.snapshot
        if snap is None:
            return _error(409, "no frame yet")
        data = await asyncio.to_thread(png, snap.frame.image, self.runner.order)
        return web.Response(body=data, content_type="image/png",
                            headers={"Cache-Control": "no-cache",
                                     "X-Frame": str(snap.frame.frame)})

    async def _status(self, request: web.Request) -> web.Response:
        status = self.runner.status()
        status.update(stream_fps=self.stream_fps, stream_width=self.stream_width,
                      settings_path=self.settings_path,
                      unsaved=self.runner.windows != self.saved)
        return web.json_response(status)


def _error(status: int, message: str) -> web.Response:
    return web.json_response({"error": message}, status=status)


async def serve_until(server: LiveServer, host: str, port: int, stop: asyncio.Event,
                      ready: Callable[[tuple[str, int]], None] | None = None) -> None:
    """Serves until ``stop`` is set, then stops the server."""
    address = await server.start(host, port)
    if ready is not None:
        ready(address)
    try:
        await stop.wait()
    finally:
        await server.stop()

