"""orbisect live: latency from a frame's arrival to its record on the page
(Server-Sent Events) and in UDP, and the cost of the page's stream to the
detector's frame rate.

Frames are generated 640x480 scenes handed over by a source that keeps
them in memory, paced at 30 and at 120 frames per second (as a camera
would deliver them).  The clients, an event-stream reader, a UDP receiver
and a stream viewer, run in another process, as a browser or the robot's
controller would; both processes read the same monotonic clock.

Prints, per input rate: the median and 95th percentile of the time from
arrival to receipt beyond the detector's own time (``timings.total``), for
the events and for the datagrams, and the record's own ``latency`` field.
Then the detector's frame rate with frames as fast as it takes them, over
alternated periods without and with a viewer of the 15 fps, 640 px
stream, and the ratios of the medians and of the best periods (on a
machine shared with other work the best periods are the least disturbed).

    python bench/bench_live.py [seconds per run]
"""
from __future__ import annotations

import asyncio
import http.client
import io
import json
import multiprocessing as mp
import os
import socket
import statistics
import sys
import threading
import time
from collections.abc import Iterator
from typing import Any

import numpy as np

from orbisect_detect.live.engine import LiveRunner, UdpPublisher
from orbisect_detect.live.server import LiveServer
from orbisect_detect.scenes import make_scene
from orbisect_detect.sources import LiveSource

SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 6.0
SCENES: list[Any] = []          # made in the measuring process only


class MemorySource(LiveSource):
    """Generated frames from memory, at ``rate`` per second (None: as fast
    as they are taken, none dropped)."""

    def __init__(self, rate: float | None, seconds: float) -> None:
        super().__init__("-", size=(640, 480), drop=rate is not None)
        self.rate, self.seconds = rate, seconds

    def _open(self) -> Iterator[tuple[Any, float | None]]:
        start = time.perf_counter()
        k = 0
        while not self._stop.is_set():
            now = time.perf_counter()
            if now - start > self.seconds:
                return
            if self.rate is not None:
                due = start + k / self.rate
                if due > now:
                    time.sleep(due - now)
            yield SCENES[k % len(SCENES)], time.perf_counter()
            k += 1


def run_server(runner: LiveRunner, body: Any) -> Any:  # body.server is set to the server
    """Serves the runner on 127.0.0.1 while body(port) runs."""
    server = LiveServer(runner, settings_path=None, stream_fps=15, stream_width=640)
    loop = asyncio.new_event_loop()
    ready, done = threading.Event(), threading.Event()
    stop: list[asyncio.Event] = []

    async def main() -> None:
        stop.append(asyncio.Event())
        await server.start("127.0.0.1", 0)
        ready.set()
        await stop[0].wait()
        await server.stop()

    thread = threading.Thread(target=lambda: (loop.run_until_complete(main()), done.set()),
                              daemon=True)
    thread.start()
    ready.wait(30)
    try:
        assert server.address is not None
        body.server = server
        return body(server.address[1])
    finally:
        loop.call_soon_threadsafe(stop[0].set)
        thread.join(30)
        runner.close()


# -- the clients' process ---------------------------------------------------------------


def events_client(port: int, seconds: float, out: Any) -> None:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", "/events")
    r = conn.getresponse()
    got: list[tuple[int, float]] = []
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        line = r.readline()
        t = time.perf_counter()
        if not line:
            break
        if line.startswith(b"data: "):
            got.append((json.loads(line[6:])["frame"], t))
    conn.close()
    out.send(got)


def udp_client(sock: socket.socket, seconds: float, got: list[tuple[int, float]]) -> None:
    sock.settimeout(0.5)
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        try:
            data = sock.recv(65536)
        except TimeoutError:
            continue
        got.append((json.loads(data)["frame"], time.perf_counter()))


def clients(port: int, udp_port: int, seconds: float, out: Any, ready: Any) -> None:
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", udp_port))
    udp: list[tuple[int, float]] = []
    thread = threading.Thread(target=udp_client, args=(sock, seconds, udp))
    thread.start()
    a, b = mp.Pipe()
    ev = threading.Thread(target=events_client, args=(port, seconds, b))
    ev.start()
    ready.set()
    events = a.recv()
    thread.join()
    ev.join()
    out.send((events, udp))


def viewer(port: int, control: Any) -> None:
    """Reads the annotated stream, as a page does, while told "on"; counts
    its pictures and sends the count when told "off"."""
    while True:
        command = control.recv()
        if command == "stop":
            return
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        conn.request("GET", "/stream.mjpeg")
        r = conn.getresponse()
        n = 0
        while not control.poll():
            line = r.readline()
            if not line:
                break
            if line.lower().startswith(b"content-length:"):
                r.readline()
                r.read(int(line.split(b":")[1]))
                n += 1
        conn.close()
        control.recv()
        control.send(n)


# -- the measurements ---------------------------------------------------------------------


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def latency(rate: float) -> dict[str, Any]:
    udp_port = free_udp_port()
    source = MemorySource(rate, SECONDS + 1.0)
    runner = LiveRunner(source, seed=0, publisher=UdpPublisher(f"udp://127.0.0.1:{udp_port}"),
                        log=io.StringIO())
    arrivals: dict[int, tuple[float, float, float]] = {}

    def note(text: str, record: dict[str, Any]) -> None:
        snap = runner.snapshot
        assert snap is not None and snap.frame.frame == record["frame"]
        arrivals[record["frame"]] = (snap.frame.arrival, record["timings"]["total"],
                                     record["latency"])
    runner.add_listener(note)

    def body(port: int) -> tuple[list[tuple[int, float]], list[tuple[int, float]]]:
        a, b = mp.Pipe()
        ready = mp.Event()
        p = mp.Process(target=clients, args=(port, udp_port, SECONDS, b, ready))
        p.start()
        ready.wait(30)
        time.sleep(0.5)
        runner.start()
        result = a.recv()
        p.join(30)
        return result

    events, udp = run_server(runner, body)

    def excess(got: list[tuple[int, float]]) -> list[float]:
        return [t - arrivals[f][0] - arrivals[f][1] for f, t in got[10:] if f in arrivals]
    field = [arrivals[f][2] - arrivals[f][1] for f in list(arrivals)[10:]]
    total = [arrivals[f][1] for f in list(arrivals)[10:]]
    return {"rate": rate, "events": excess(events), "udp": excess(udp), "field": field,
            "detector": total, "frames": len(arrivals), "dropped": source.status.dropped}


def cpu_seconds(thread_id: int, pid: int | None) -> tuple[float, float]:
    """CPU seconds so far of a thread of this process, and of a process."""
    import psutil
    mine = next((t.user_time + t.system_time for t in psutil.Process().threads()
                 if t.id == thread_id), 0.0)
    other = 0.0
    if pid is not None:
        times = psutil.Process(pid).cpu_times()
        other = times.user + times.system
    return mine, other


def stream_cost(pairs: int, period: float) -> dict[str, list[float]]:
    """Detector frame rates over alternated periods without and with a
    viewer of the stream, frames as fast as the detector takes them; and
    the CPU the stream takes: its thread here (which competes with the
    detector for the interpreter), its drawing process (only for a core)."""
    source = MemorySource(None, 1e9)
    runner = LiveRunner(source, seed=0, log=io.StringIO())
    out: dict[str, list[float]] = {"alone": [], "watched": [], "pictures": [], "thread": [],
                                   "process": []}

    def body(port: int) -> None:
        streamer = body.server.streamer
        ours, theirs = mp.Pipe()
        p = mp.Process(target=viewer, args=(port, theirs))
        p.start()
        runner.start()
        # The drawing process starts with the first viewer: not timed.
        ours.send("on")
        time.sleep(3.0)
        ours.send("off")
        ours.recv()
        drawer = streamer._drawer._process
        pid = None if drawer is None else drawer.pid
        for k in range(2 * pairs):
            watch = k % 2 == 1
            if watch:
                ours.send("on")
            time.sleep(0.3)
            c0 = cpu_seconds(streamer._thread.native_id, pid)
            n0, t0 = runner.status()["detected"], time.perf_counter()
            time.sleep(period)
            n1, t1 = runner.status()["detected"], time.perf_counter()
            c1 = cpu_seconds(streamer._thread.native_id, pid)
            out["watched" if watch else "alone"].append((n1 - n0) / (t1 - t0))
            if watch:
                out["thread"].append((c1[0] - c0[0]) / (t1 - t0))
                out["process"].append((c1[1] - c0[1]) / (t1 - t0))
                ours.send("off")
                out["pictures"].append(ours.recv() / (period + 0.3))
        ours.send("stop")
        p.join(30)
    run_server(runner, body)
    return out


def ms(values: list[float], q: float) -> str:
    if not values:
        return "   -  "
    return f"{1000 * float(np.quantile(values, q)):6.3f}"


def main() -> None:
    mp.set_start_method("spawn")
    SCENES.extend(make_scene(11, k).image for k in range(8))
    print(f"orbisect live, 640x480 frames, {SECONDS:g} s per run")
    print("\nfrom arrival to receipt, beyond the detector's own time (ms):")
    print("input fps  detector   events median  p95   udp median  p95   record latency-detector  frames dropped")
    for rate in (30.0, 120.0):
        r = latency(rate)
        print(f"{rate:9.0f}  {ms(r['detector'], 0.5)}     {ms(r['events'], 0.5)} {ms(r['events'], 0.95)}"
              f"     {ms(r['udp'], 0.5)} {ms(r['udp'], 0.95)}      {ms(r['field'], 0.5)}"
              f"               {r['frames']:6d} {r['dropped']:6d}")
    pairs, period = 8, SECONDS / 3
    print(f"\ndetector frame rate, frames as fast as it takes them, {pairs} alternated periods "
          f"of {period:g} s without and with a viewer of the 15 fps 640 px stream:")
    r = stream_cost(pairs, period)
    alone, watched = r["alone"], r["watched"]
    for name, values in (("no viewer", alone), ("a viewer", watched)):
        print(f"  {name:9s}: median {statistics.median(values):7.1f} fps, best {max(values):7.1f}"
              f"   ({', '.join(f'{v:.0f}' for v in values)})")
    print(f"  pictures per second the viewer got: {', '.join(f'{n:.1f}' for n in r['pictures'])}")
    m = statistics.median(watched) / statistics.median(alone)
    b = max(watched) / max(alone)
    print(f"  ratio with / without: medians {m:.3f}, best periods {b:.3f}")
    print(f"  CPU of the stream while watched: its thread here {100 * statistics.median(r['thread']):.1f} % "
          f"of a core, the drawing process {100 * statistics.median(r['process']):.1f} %")
    print(f"  (load average during the run: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)")


if __name__ == "__main__":
    main()
