"""The demo: the detector on generated scenes, compared with what was drawn.

:func:`run_demo` generates a few field scenes
(:mod:`orbisect_detect.scenes`), finds the ball and the lines in each,
prints them beside the truth with the time of each stage, and writes every
scene with its annotated picture, so that the other commands can be tried
on them.

Examples
--------
>>> import io, tempfile
>>> results = run_demo(tempfile.mkdtemp(), count=1, out=io.StringIO())
>>> len(results), results[0].scene.image.shape
(1, (480, 640, 3))
"""

from __future__ import annotations

import math
import os
import statistics
import sys
from dataclasses import dataclass
from typing import TextIO

from PIL import Image

from .detector import Detection, FieldDetector
from .drawing import annotate
from .scenes import Scene, Tally, make_scene, score_ball, score_lines

__all__ = ["DEMO_SEED", "DemoResult", "run_demo"]

#: The scenes of the demo: make_scene(DEMO_SEED, i) for i = 0, 1, ...
DEMO_SEED = 2


@dataclass(frozen=True)
class DemoResult:
    """One scene of the demo.

    Attributes
    ----------
    scene : Scene
        The generated frame with its truth.
    detection : Detection
        What the detector found.
    image_path, annotated_path : str
        Where the scene and its annotated picture were written.

    Examples
    --------
    >>> from orbisect_detect.scenes import make_scene
    >>> r = DemoResult(make_scene(1, 0), Detection(None, []), "scene-1.png", "found/scene-1.png")
    >>> r.annotated_path
    'found/scene-1.png'
    """

    scene: Scene
    detection: Detection
    image_path: str
    annotated_path: str


def _ms(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms"


def _segment(x0: float, y0: float, x1: float, y1: float) -> str:
    return f"({round(x0)}, {round(y0)}) to ({round(x1)}, {round(y1)})"


def _report(k: int, result: DemoResult, out: TextIO) -> None:
    scene, d = result.scene, result.detection
    print(f"scene {k}  ({result.image_path})", file=out)
    truth, ball = scene.ball, d.ball
    notes = [n for n, on in (("cut by the frame", truth and truth.cut),
                             ("partly hidden", truth and truth.occluded)) if on]
    if truth is None:
        print("  ball   none drawn", file=out)
    else:
        print(f"  ball   drawn at ({truth.x:.1f}, {truth.y:.1f}) r {truth.r:.1f}"
              + (f", {' and '.join(notes)}" if notes else ""), file=out)
    if ball is None:
        print("         none found" + ("" if truth is None else ": missed"), file=out)
    else:
        score = score_ball(ball, truth)
        verdict = ("a false ball" if score.false_ball else
                   f"off by {score.centre_error:.1f} px, radius by {score.radius_error:+.1f} px")
        print(f"         found at ({ball.x:.1f}, {ball.y:.1f}) r {ball.r:.1f}, "
              f"support {ball.support:.2f}: {verdict}", file=out)
    lines = score_lines(d.lines, scene.lines)
    match = {found: true for true, found in lines.pairs}
    print(f"  lines  {len(scene.lines)} drawn, {len(d.lines)} found, {lines.matched} matching",
          file=out)
    for i, line in enumerate(d.lines):
        if i in match:
            t = scene.lines[match[i]]
            verdict = f"drawn line {match[i] + 1} (width {t.width:.1f})"
        else:
            verdict = "no drawn line"
        print(f"         {i + 1}: {_segment(line.x0, line.y0, line.x1, line.y1)}, "
              f"width {line.width:.1f}, support {line.support:.2f}: {verdict}", file=out)
    missed = sorted(set(range(len(scene.lines))) - {t for t, _ in lines.pairs})
    for j in missed:
        t = scene.lines[j]
        print(f"         missed drawn line {j + 1}: {_segment(t.x0, t.y0, t.x1, t.y1)}, "
              f"width {t.width:.1f}", file=out)
    print("  time   " + "  ".join(f"{name} {_ms(v)}" for name, v in d.timings.items()), file=out)


def run_demo(out_dir: str | os.PathLike[str] = "orbisect-demo", *, seed: int = DEMO_SEED,
             count: int = 5, out: TextIO | None = None) -> list[DemoResult]:
    """Runs the detector on generated scenes and reports against the truth.

    Parameters
    ----------
    out_dir : str or path
        Receives ``scene-K.png`` (the scene) and ``found/scene-K.png`` (the
        annotated picture) for K = 1 .. count; created when missing.
    seed : int
        The scenes are ``make_scene(seed, K - 1)``.
    count : int
        Number of scenes.
    out : file, optional
        Receives the report; standard output by default.

    Returns
    -------
    list of DemoResult

    Notes
    -----
    The detector runs once on the first scene before the timed runs, so that
    the times are those of a detector at work rather than of its first call.
    """
    out = sys.stdout if out is None else out
    directory = os.fspath(out_dir)
    os.makedirs(os.path.join(directory, "found"), exist_ok=True)
    detector = FieldDetector(seed=0)
    scenes = [make_scene(seed, k) for k in range(count)]
    if scenes:
        detector.detect(scenes[0].image)                 # warm-up, not reported
    print(f"orbisect demo: {count} generated {scenes[0].image.shape[1] if scenes else 640}x"
          f"{scenes[0].image.shape[0] if scenes else 480} field scenes "
          f"(make_scene({seed}, 0..{count - 1})), {detector!r}\n", file=out)
    results = []
    tally = Tally()
    for k, scene in enumerate(scenes, 1):
        # The fastest of five runs (the same detection each time, with a seed):
        # the times of a detector at work on a stream, not of a cold call.
        detection = min((detector.detect(scene.image) for _ in range(5)),
                        key=lambda d: d.timings.get("total", 0.0))
        image_path = os.path.join(directory, f"scene-{k}.png")
        annotated_path = os.path.join(directory, "found", f"scene-{k}.png")
        Image.fromarray(scene.image).save(image_path)
        annotate(scene.image, detection).save(annotated_path)
        result = DemoResult(scene, detection, image_path, annotated_path)
        results.append(result)
        tally.add(scene, detection.ball, detection.lines, seconds=detection.timings.get("total"))
        _report(k, result, out)
        print(file=out)
    if results:
        s = tally.summary()
        stages = results[0].detection.timings.keys()
        medians = {name: statistics.median(r.detection.timings[name] for r in results)
                   for name in stages}
        print(f"over {s.frames} scenes: balls within 2 px {s.within2:.0f} %, within 5 px "
              f"{s.within5:.0f} % of {s.ball_frames}; false balls {s.false_balls:.0f} %; "
              f"lines found {s.line_recall:.0f} % of those drawn, "
              f"{s.line_precision:.0f} % of those found matching", file=out)
        print("median time per frame (fastest of 5 runs): " + ", ".join(f"{n} {_ms(v)}" for n, v in medians.items()
                                                      if not math.isnan(v)), file=out)
        print(f"\npictures: {os.path.join(directory, 'scene-K.png')} (the scenes) and "
              f"{os.path.join(directory, 'found', 'scene-K.png')} (what was found); try\n"
              f"  orbisect detect {results[0].image_path} --annotate my-found/", file=out)
    return results
