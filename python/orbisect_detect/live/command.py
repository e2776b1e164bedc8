"""``orbisect live``: the command line.

:func:`add_live_parser` adds the subcommand to the ``orbisect`` parser and
:func:`run_live` runs it; the work is done by :mod:`.engine` and
:mod:`.server`, imported only when the command runs (aiohttp is an extra).

Examples
--------
>>> import argparse
>>> parser = argparse.ArgumentParser()
>>> _ = add_live_parser(parser.add_subparsers(dest="command"))
>>> args = parser.parse_args(["live", "/dev/video0", "--size", "640x480", "--windows", "w.json"])
>>> args.size, args.settings, args.port
((640, 480), 'w.json', 8080)
"""

from __future__ import annotations

import argparse
import asyncio
import signal
import sys
from typing import Any, TextIO

from ..sources import PIX_FMTS

__all__ = ["add_live_parser", "parse_size", "run_live"]

_NEED_AIOHTTP = "orbisect live needs aiohttp, which is not installed: pip install 'orbisect[live]'"


def parse_size(text: str) -> tuple[int, int]:
    """``WxH`` as (width, height).

    Examples
    --------
    >>> parse_size("640x480")
    (640, 480)
    """
    w, sep, h = text.lower().partition("x")
    if not sep or not w.isdigit() or not h.isdigit() or int(w) < 1 or int(h) < 1:
        raise argparse.ArgumentTypeError(f"a size is WIDTHxHEIGHT, e.g. 640x480, got {text!r}")
    return int(w), int(h)


def _number(text: str, least: float, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value >= least or value != value or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{what}, got {text}")
    return value


def _rate(text: str) -> float:
    return _number(text, 0.1, "a frame rate is at least 0.1 per second")


def _width(text: str) -> int:
    value = _number(text, 16, "a stream is at least 16 px wide")
    if value != int(value):
        raise argparse.ArgumentTypeError(f"a width is a whole number of pixels, got {text}")
    return int(value)


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"a port is from 0 to 65535, got {text!r}")
    return int(text)


def _seed(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"a seed is an integer, 0 or more, got {text!r}")
    return int(text)


def _publish(text: str) -> str:
    from .engine import parse_udp  # noqa: PLC0415

    try:
        parse_udp(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e).replace("--publish takes ", "")) from None
    return text


def add_live_parser(sub: Any) -> argparse.ArgumentParser:
    """Adds ``live`` to the subcommands of a parser; returns its parser."""
    p: argparse.ArgumentParser = sub.add_parser(
        "live", help="detect live on a camera, a stream or a video, with a page to watch and tune it",
        description="Detect the ball and the lines on every frame of a camera, a network stream, "
                    "a video file or raw frames on standard input, always on the newest frame "
                    "(frames that come too fast are dropped and counted). Serves a page with "
                    "the annotated stream, the records, the mask of each window, sliders and "
                    "box tuning, and an HTTP interface for other programs; sends each record "
                    "as a UDP datagram with --publish. Ctrl-C or SIGTERM stops it and saves "
                    "changed settings.")
    p.add_argument("source", metavar="SOURCE",
                   help="a V4L2 camera (/dev/video0), a stream URL (rtsp://..., http://... "
                        "MJPEG), a video file, or '-' for raw frames on standard input "
                        "(with --size and --pix-fmt); needs the [video] extra but for '-'")
    p.add_argument("--settings", "--windows", dest="settings", metavar="FILE",
                   default="windows.json",
                   help="the settings file: read at start when it exists, written by the "
                        "page's save and at exit when the settings changed (default: "
                        "windows.json, the file 'orbisect tune' writes)")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to serve the page on (default: 127.0.0.1, this machine only; "
                        "0.0.0.0 for every network)")
    p.add_argument("--port", type=_port, default=8080,
                   help="port of the page (default: 8080; 0 picks a free one)")
    p.add_argument("--publish", type=_publish, metavar="udp://HOST:PORT",
                   help="send each record as one JSON datagram to HOST:PORT")
    p.add_argument("--stream-fps", type=_rate, default=15.0, metavar="N",
                   help="pictures per second of the page's stream (default: 15), whatever "
                        "the detector's rate")
    p.add_argument("--stream-width", type=_width, default=640, metavar="W",
                   help="width of the stream's pictures in px at most (default: 640)")
    p.add_argument("--seed", type=_seed, metavar="N",
                   help="seed the random fits: a frame gives the record 'orbisect detect "
                        "--seed N' gives it")
    p.add_argument("--size", type=parse_size, metavar="WxH",
                   help="frame size: asked of a camera; required for '-'")
    p.add_argument("--fps", type=_rate, metavar="N", help="frame rate asked of a camera")
    p.add_argument("--pix-fmt", choices=tuple(PIX_FMTS), default="rgb24",
                   help="layout of raw frames on standard input (default: rgb24)")
    p.add_argument("--realtime", action="store_true",
                   help="play a video file at its own frame rate, as a camera would give it "
                        "(dropping frames the detector cannot take); without it every frame "
                        "is detected, as fast as possible")
    p.add_argument("--loop", action="store_true", help="start a video file again at its end")
    return p


def _log(errors: TextIO) -> Any:
    def told(status: Any) -> None:
        if status.state in ("reconnecting", "failed", "ended") or (
                status.state == "running" and status.reconnects):
            extra = "; the page stays up until Ctrl-C" if status.state in ("ended", "failed") else ""
            print(f"orbisect: {status.message}{extra}", file=errors, flush=True)
    return told


def run_live(args: argparse.Namespace, errors: TextIO | None = None) -> int:
    """Runs ``orbisect live`` with parsed arguments until Ctrl-C or
    SIGTERM; returns the exit status (0, or 2 for unusable arguments, a
    settings file that is not one or a port that cannot be had)."""
    errors = sys.stderr if errors is None else errors
    try:
        import aiohttp  # noqa: F401, PLC0415 - optional
    except ImportError:
        print(f"orbisect: {_NEED_AIOHTTP}", file=errors)
        return 2
    from ..sources import LiveSource  # noqa: PLC0415
    from .engine import LiveRunner, UdpPublisher  # noqa: PLC0415
    from .server import LiveServer, serve_until  # noqa: PLC0415
    from .settings import read_settings  # noqa: PLC0415

    try:
        windows = read_settings(args.settings)
        source = LiveSource(args.source, size=args.size, frame_rate=args.fps,
                            pix_fmt=args.pix_fmt, realtime=args.realtime, loop=args.loop,
                            on_status=_log(errors))
        publisher = UdpPublisher(args.publish) if args.publish else None
    except (OSError, ValueError) as e:
        print(f"orbisect: {e}", file=errors)
        return 2
    runner = LiveRunner(source, windows=windows, seed=args.seed, publisher=publisher, log=errors)
    server = LiveServer(runner, settings_path=args.settings, stream_fps=args.stream_fps,
                        stream_width=args.stream_width)

    def ready(address: tuple[str, int]) -> None:
        host = f"[{address[0]}]" if ":" in address[0] else address[0]
        print(f"orbisect: serving http://{host}:{address[1]}/ (Ctrl-C stops)", file=errors,
              flush=True)
        runner.start()

    async def main() -> None:
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, stop.set)
        await serve_until(server, args.host, args.port, stop, ready)

    try:
        asyncio.run(main())
    except KeyboardInterrupt:       # before the signal handlers were set
        print("orbisect: interrupted", file=errors)
    except OSError as e:
        print(f"orbisect: cannot serve on {args.host}:{args.port} ({e.strerror or e})", file=errors)
        return 2
    finally:
        runner.close()
        try:
            if server.save():
                print(f"orbisect: settings saved to {args.settings}", file=errors)
        except OSError as e:
            print(f"orbisect: {args.settings}: cannot write the settings ({e})", file=errors)
    print("orbisect: stopped", file=errors)
    return 0
