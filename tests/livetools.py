"""Helpers of the live tests: generated videos, a server on the loopback
address run on its own thread, and bounded HTTP clients."""
from __future__ import annotations

import asyncio
import contextlib
import http.client
import json
import socket
import threading
import time

from orbisect_detect.live.engine import LiveRunner
from orbisect_detect.live.server import LiveServer
from orbisect_detect.scenes import make_scene

TIMEOUT = 60.0              # seconds any wait may take on a loaded machine


def write_video(path, images, rate=15):
    """An MPEG-4 video of the images at a camera's bitrate."""
    import av
    with av.open(str(path), "w") as container:
        stream = container.add_stream("mpeg4", rate=rate)
        stream.width, stream.height, stream.pix_fmt = 640, 480, "yuv420p"
        stream.bit_rate = 4_000_000
        for image in images:
            for packet in stream.encode(av.VideoFrame.from_ndarray(image, format="rgb24")):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)
    return path


def scene_images(seed, count):
    return [make_scene(seed, k).image for k in range(count)]


@contextlib.contextmanager
def serving(runner: LiveRunner, settings_path=None, start_runner=True, **kw):
    """The runner's server on 127.0.0.1 (a free port), on a thread of its
    own; yields (base URL, server).  Everything is stopped at the end."""
    server = LiveServer(runner, settings_path=settings_path, **kw)
    loop = asyncio.new_event_loop()
    ready = threading.Event()
    stop: list[asyncio.Event] = []

    async def main():
        stop.append(asyncio.Event())
        await server.start("127.0.0.1", 0)
        ready.set()
        try:
            await stop[0].wait()
        finally:
            await server.stop()

    thread = threading.Thread(target=loop.run_until_complete, args=(main(),), daemon=True)
    thread.start()
    assert ready.wait(TIMEOUT), "the server did not start"
    if start_runner:
        runner.start()
    try:
        yield f"http://127.0.0.1:{server.address[1]}", server
    finally:
        loop.call_soon_threadsafe(stop[0].set)
        thread.join(TIMEOUT)
        runner.close()
        loop.close()


def request(base, method, path, body=None, raw=None, timeout=TIMEOUT):
    """(status, headers, body bytes) of one request."""
    host, port = base.removeprefix("http://").split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        data = raw if raw is not None else (None if body is None else json.dumps(body).encode())
        conn.request(method, path, body=data,
                     headers={"Content-Type": "application/json"} if data is not None else {})
        r = conn.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        conn.close()


def get_json(base, path):
    status, _, data = request(base, "GET", path)
    assert status == 200, data
    return json.loads(data)


class EventReader:
    """A client of ``/events`` that reads records, bounded in time."""

    def __init__(self, base, timeout=TIMEOUT):
        host, port = base.removeprefix("http://").split(":")
        self.conn = http.client.HTTPConnection(host, int(port), timeout=timeout)
        self.conn.request("GET", "/events")
        self.response = self.conn.getresponse()
        assert self.response.status == 200
        assert self.response.getheader("Content-Type").startswith("text/event-stream")
        # The stream opens with a comment: from here on this client is subscribed.
        assert self.response.readline().startswith(b":")

    def records(self, count, deadline=TIMEOUT):
        out, end = [], time.monotonic() + deadline
        while len(out) < count:
            assert time.monotonic() < end, f"only {len(out)} of {count} events came"
            line = self.response.readline()
            assert line, "the event stream ended"
            if line.startswith(b"data: "):
                out.append(json.loads(line[6:]))
        return out

    def close(self):
        self.conn.close()


def mjpeg_parts(base, path, count, timeout=TIMEOUT):
    """The first ``count`` parts of a multipart stream: (headers, body)."""
    host, port = base.removeprefix("http://").split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        conn.request("GET", path)
        r = conn.getresponse()
        if r.status != 200:
            return r.status, r.getheader("Content-Type"), []
        ctype = r.getheader("Content-Type")
        boundary = ctype.split("boundary=")[1].encode()
        parts = []
        while len(parts) < count:
            line = r.readline()
            assert line, "the stream ended"
            if line.strip() != b"--" + boundary:
                continue
            headers = {}
            while (h := r.readline().strip()):
                k, v = h.decode().split(":", 1)
                headers[k.strip().lower()] = v.strip()
            body = r.read(int(headers["content-length"]))
            parts.append((headers, body))
        return r.status, ctype, parts
    finally:
        conn.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def without_timings(record):
    return {k: v for k, v in record.items() if k not in ("timings", "latency", "dropped")}
