"""Videos made as cameras and editors make them, for the tests: dropped
frames (gaps in the time stamps), variable frame rates, B-frames and edit
lists that leave frames out."""
from fractions import Fraction

import numpy as np

WIDTH, HEIGHT = 160, 120


def numbered_image(k):
    """A frame that tells its number: a bar k + 1 blocks long, and k in a corner."""
    image = np.zeros((HEIGHT, WIDTH, 3), np.uint8)
    image[:, : min(WIDTH, 2 * k + 2)] = (200, 120, 40)
    image[:8, -8:] = k
    return image


# name: (codec options, time stamp of frame k in 1/25 s, frames); the edit
# list comes from time stamps that start below zero: the muxer writes an
# edit that starts at zero, and readers leave the first three frames out.
KINDS = {
    "dropped": ({"bf": "0"}, lambda k: k if k < 20 else k + 7, 60),
    "variable-rate": ({"bf": "0"}, lambda k: 3 * k + k % 3 + (k // 10) * 5, 60),
    "b-frames": ({"bf": "3"}, lambda k: k, 60),
    "edit-list": ({"bf": "2"}, lambda k: k - 3, 60),
}


def write_video(path, kind, *, frames=None, gop=12, container=None):
    """Writes a video of ``kind`` (a key of KINDS) with H.264."""
    import av
    options, pts, n = KINDS[kind]
    n = n if frames is None else frames
    with av.open(str(path), "w", format=container) as out:
        stream = out.add_stream("libx264", rate=25, options=dict(options))
        stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, "yuv420p"
        stream.codec_context.gop_size = gop
        stream.time_base = Fraction(1, 25)
        for k in range(n):
            frame = av.VideoFrame.from_ndarray(numbered_image(k), format="rgb24")
            frame.pts, frame.time_base = pts(k), Fraction(1, 25)
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
    return str(path)
