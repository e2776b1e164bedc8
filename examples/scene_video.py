"""A video of generated field scenes, to try `orbisect live` without a camera.

    python scene_video.py [OUT.mp4 [SECONDS]]
    orbisect live scenes.mp4 --realtime --loop      # then open http://127.0.0.1:8080/

Writes 640x480 MPEG-4 at 30 frames per second (PyAV, the [video] extra): a
new scene every second, each with the ball where it was drawn, which it
prints.
"""
import sys

import av

from orbisect_detect.scenes import make_scene

out = sys.argv[1] if len(sys.argv) > 1 else "scenes.mp4"
seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
rate = 30

with av.open(out, "w") as container:
    stream = container.add_stream("mpeg4", rate=rate)
    stream.width, stream.height, stream.pix_fmt = 640, 480, "yuv420p"
    stream.bit_rate = 4_000_000          # a camera's quality
    for second in range(seconds):
        scene = make_scene(seed=2026, index=second)
        ball = scene.ball
        where = "no ball" if ball is None else f"ball at ({ball.x:.1f}, {ball.y:.1f}), r {ball.r:.1f}"
        print(f"{second:3d} s: {where}, {len(scene.lines)} lines")
        frame = av.VideoFrame.from_ndarray(scene.image, format="rgb24")
        for _ in range(rate):
            for packet in stream.encode(frame):
                container.mux(packet)
    for packet in stream.encode():
        container.mux(packet)
print(f"wrote {out}: {seconds} s at {rate} fps")
