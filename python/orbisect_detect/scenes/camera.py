"""The camera model: what a camera and a recording do to a scene's frame.

A :class:`Camera` lists the stages it applies, each optional (None leaves
it out), in the order a camera applies them:

1. exposure gain, white balance (the red and blue gains against green) and
   vignetting (the light lost towards the corners);
2. the optics: defocus (a disc) and motion blur (a segment along a
   direction);
3. sensor noise: per pixel and channel, and a rolling part, the same along
   a row and changing from row to row (the read-out);
4. the tone curve: gamma;
5. compression: JPEG (Pillow, 4:2:0 chroma) or H.264 (yuv420p, libx264
   through PyAV, the ``[video]`` extra).

Every random choice (a gain, a quality, a direction, the noise) is drawn
from a generator seeded by the frame's seed and index, so a frame comes out
the same, byte for byte, every time.  Lengths (blur) are given for a frame
of 480 rows and scale with the frame's height.

H.264 is a recording's codec: a still camera's frame is encoded as
``h264_frames`` frames at 30 frames per second, each with fresh sensor
noise (grey levels ``h264_noise``), and the last one decoded (a predicted
frame, as most frames of a recording are).  The bit rate is the stream's,
in bits per second.

Examples
--------
>>> import numpy as np
>>> frame = np.full((48, 64, 3), 120, np.uint8)
>>> out = Camera(exposure=(1.2, 1.2)).apply(frame, seed=1, index=0)
>>> int(out[0, 0, 0])
144
"""
from __future__ import annotations

import io
import math
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Camera", "jpeg", "h264", "defocus_kernel", "motion_kernel", "convolve"]

F32 = npt.NDArray[np.float32]
U8 = npt.NDArray[np.uint8]

Range = tuple[float, float]


@dataclass(frozen=True)
class Camera:
    """The stages a camera applies to a frame; None leaves a stage out.

    Attributes
    ----------
    exposure : (float, float) or None
        Range of the exposure gain (1 keeps the frame's levels).
    white_balance : float or None
        Largest relative shift of the red and of the blue gain (0.12 is
        +-12 %), each drawn on its own.
    vignetting : (float, float) or None
        Range of the share of light lost at the frame's corners, falling
        off with the square of the distance from the centre.
    defocus : (float, float) or None
        Range of the radius of the blur disc, px at 480 rows.
    motion_blur : (float, float) or None
        Range of the length of the blur segment, px at 480 rows, along a
        random direction.
    noise : (float, float) or None
        Range of the sensor noise's sigma in grey levels; a rolling part of
        half that sigma is shared by each row's pixels.
    gamma : (float, float) or None
        Range of the tone curve's exponent: out = 255 (in / 255) ** gamma.
    jpeg : (int, int) or None
        Range of the JPEG quality (1 to 95).
    h264 : float or None
        Bit rate of an H.264 recording, bits per second.
    h264_frames : int
        Frames of the recording of one still frame (the last one is kept).
    h264_noise : float
        Sigma of the fresh sensor noise in each recorded frame, grey levels.

    Examples
    --------
    >>> Camera().is_identity, Camera(jpeg=(75, 75)).is_identity
    (True, False)
    """

    exposure: Range | None = None
    white_balance: float | None = None
    vignetting: Range | None = None
    defocus: Range | None = None
    motion_blur: Range | None = None
    noise: Range | None = None
    gamma: Range | None = None
    jpeg: tuple[int, int] | None = None
    h264: float | None = None
    h264_frames: int = 4
    h264_noise: float = 1.5

    def __post_init__(self) -> None:
        for f in fields(self):
            value = getattr(self, f.name)
            if value is None or f.name in ("white_balance", "h264", "h264_frames", "h264_noise"):
                continue
            lo, hi = value
            if not (math.isfinite(lo) and math.isfinite(hi) and 0 <= lo <= hi):
                raise ValueError(f"{f.name} must be a range (lo, hi) with 0 <= lo <= hi, got {value!r}")
        if self.jpeg is not None and not 1 <= self.jpeg[0] <= self.jpeg[1] <= 95:
            raise ValueError(f"jpeg qualities must lie from 1 to 95, got {self.jpeg!r}")
        if self.jpeg is not None and self.h264 is not None:
            raise ValueError("a frame goes through JPEG or H.264, not both")
        if self.white_balance is not None and not 0 <= self.white_balance < 1:
            raise ValueError(f"white_balance must be from 0 to 1, got {self.white_balance!r}")
        if self.h264 is not None and not self.h264 > 0:
            raise ValueError(f"h264 must be a bit rate above 0, got {self.h264!r}")
        if not (isinstance(self.h264_frames, int) and 1 <= self.h264_frames <= 64):
            raise ValueError(f"h264_frames must be from 1 to 64, got {self.h264_frames!r}")

    @property
    def is_identity(self) -> bool:
        """True when no stage is on."""
        return all(getattr(self, f.name) is None for f in fields(self)
                   if f.name not in ("h264_frames", "h264_noise"))

    def apply(self, image: U8, seed: int, index: int = 0) -> U8:
        """The frame as this camera delivers it.

        Parameters
        ----------
        image : ndarray
            (H, W, 3) uint8 RGB frame (not changed).
        seed, index : int
            Seed the camera's random choices for this frame.

        Returns
        -------
        ndarray
            A new (H, W, 3) uint8 C-contiguous frame (the input itself when
            no stage is on).

        Examples
        --------
        >>> import numpy as np
        >>> frame = np.random.default_rng(0).integers(0, 256, (48, 64, 3), dtype=np.uint8)
        >>> cam = Camera(noise=(3.0, 3.0), jpeg=(60, 90))
        >>> bool((cam.apply(frame, 5, 1) == cam.apply(frame, 5, 1)).all())
        True
        """
        if self.is_identity:
            return image
        rng = np.random.default_rng([seed, index, 2])
        h, w = image.shape[0], image.shape[1]
        scale = h / 480.0
        img = image.astype(np.float32)
        gain = np.ones(3, np.float32)
        if self.exposure is not None:
            gain *= np.float32(rng.uniform(*self.exposure))
        if self.white_balance is not None:
            wb = self.white_balance
            gain *= np.array([1.0 + rng.uniform(-wb, wb), 1.0, 1.0 + rng.uniform(-wb, wb)], np.float32)
        img *= gain
        if self.vignetting is not None:
            ys = (np.arange(h, dtype=np.float32) - (h - 1) / 2)[:, None]
            xs = (np.arange(w, dtype=np.float32) - (w - 1) / 2)[None, :]
            rr = (xs * xs + ys * ys) / np.float32(((w - 1) / 2) ** 2 + ((h - 1) / 2) ** 2)
            img *= (1.0 - np.float32(rng.uniform(*self.vignetting)) * rr)[..., None]
        if self.defocus is not None:
            img = convolve(img, defocus_kernel(rng.uniform(*self.defocus) * scale))
        if self.motion_blur is not None:
            img = convolve(img, motion_kernel(rng.uniform(*self.motion_blur) * scale,
                                              rng.uniform(0.0, math.pi)))
        if self.noise is not None:
            sigma = rng.uniform(*self.noise)
            img += rng.standard_normal(img.shape, dtype=np.float32) * np.float32(sigma)
            img += (rng.standard_normal((h, 1, 1), dtype=np.float32) * np.float32(0.5 * sigma))
        if self.gamma is not None:
            g = rng.uniform(*self.gamma)
            np.clip(img, 0.0, 255.0, out=img)
            img = (np.float32(255.0) * (img / np.float32(255.0)) ** np.float32(g)).astype(np.float32)
        out = np.ascontiguousarray(np.clip(img + 0.5, 0, 255).astype(np.uint8))
        if self.jpeg is not None:
            out = jpeg(out, int(rng.integers(self.jpeg[0], self.jpeg[1] + 1)))
        elif self.h264 is not None:
            out = h264(out, self.h264, rng, self.h264_frames, self.h264_noise)
        return out


def jpeg(image: U8, quality: int) -> U8:
    """The frame through JPEG at `quality` (Pillow's default 4:2:0 chroma).

    Examples
    --------
    >>> import numpy as np
    >>> jpeg(np.full((16, 16, 3), 200, np.uint8), 75).shape
    (16, 16, 3)
    """
    from PIL import Image  # noqa: PLC0415 - Pillow loads its plugins on first use

    buf = io.BytesIO()
    Image.fromarray(image).save(buf, format="JPEG", quality=int(quality))
    buf.seek(0)
    with Image.open(buf) as im:
        return np.ascontiguousarray(np.asarray(im.convert("RGB")))


def h264(image: U8, bit_rate: float, rng: np.random.Generator, frames: int = 4,
         noise: float = 1.5) -> U8:
    """The frame as the last of a short H.264 recording of it.

    `frames` copies of the frame, each with fresh Gaussian noise of sigma
    `noise`, are encoded at `bit_rate` bits per second and 30 frames per
    second (libx264, yuv420p, one thread) and decoded back.  Needs PyAV
    (``pip install 'orbisect[video]'``) and an even frame size.

    Examples
    --------
    >>> import numpy as np
    >>> frame = np.full((64, 96, 3), 128, np.uint8)
    >>> h264(frame, 1e6, np.random.default_rng(0), frames=2).shape
    (64, 96, 3)
    """
    import av  # noqa: PLC0415 - optional

    h, w = image.shape[0], image.shape[1]
    if h % 2 or w % 2:
        raise ValueError(f"H.264 with 4:2:0 chroma needs an even frame size, got {w} x {h}")
    buf = io.BytesIO()
    out: Any = av.open(buf, "w", format="mp4")
    try:
        stream: Any = out.add_stream("libx264", rate=30)
        stream.width, stream.height = w, h
        stream.pix_fmt = "yuv420p"
        stream.bit_rate = int(bit_rate)
        stream.codec_context.thread_count = 1
        stream.codec_context.options = {"preset": "veryfast", "threads": "1"}
        base = image.astype(np.float32)
        for _ in range(frames):
            noisy = base + rng.standard_normal(base.shape, dtype=np.float32) * np.float32(noise)
            vf = av.VideoFrame.from_ndarray(np.clip(noisy + 0.5, 0, 255).astype(np.uint8), format="rgb24")
            for packet in stream.encode(vf):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)
    finally:
        out.close()
    buf.seek(0)
    last: U8 | None = None
    inp: Any = av.open(buf, "r")
    try:
        for vf in inp.decode(video=0):
            last = vf.to_ndarray(format="rgb24")
    finally:
        inp.close()
    if last is None:
        raise RuntimeError("the H.264 recording decoded to no frame")
    return np.ascontiguousarray(last)


def defocus_kernel(radius: float) -> F32:
    """A disc of `radius` px with its edge's area coverage, summing to 1.

    Examples
    --------
    >>> k = defocus_kernel(1.5)
    >>> k.shape, round(float(k.sum()), 6)
    ((5, 5), 1.0)
    """
    half = int(math.ceil(radius + 0.5))
    yy, xx = np.mgrid[-half:half + 1, -half:half + 1].astype(np.float32)
    k = np.clip(np.float32(radius + 0.5) - np.hypot(xx, yy), 0.0, 1.0)
    k /= k.sum()
    out: F32 = k.astype(np.float32)
    return out


def motion_kernel(length: float, angle: float) -> F32:
    """A segment of `length` px through the centre at `angle` (radians from
    the x axis), splatted bilinearly, summing to 1.

    Examples
    --------
    >>> k = motion_kernel(4.0, 0.0)
    >>> k.shape, bool(k[3].sum() > 0.99)       # a horizontal segment: the middle row
    ((7, 7), True)
    """
    half = int(math.ceil(length / 2 + 1))
    size = 2 * half + 1
    k = np.zeros((size, size), np.float64)
    n = max(2, int(8 * length) + 1)
    t = np.linspace(-length / 2, length / 2, n)
    x, y = half + t * math.cos(angle), half + t * math.sin(angle)
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = x - x0, y - y0
    for dx, dy, wgt in ((0, 0, (1 - fx) * (1 - fy)), (1, 0, fx * (1 - fy)),
                        (0, 1, (1 - fx) * fy), (1, 1, fx * fy)):
        np.add.at(k, (y0 + dy, x0 + dx), wgt)
    k /= k.sum()
    return k.astype(np.float32)


def convolve(img: F32, kernel: F32) -> F32:
    """The (H, W, C) image convolved with a small odd-sized kernel, edges
    mirrored, through the FFT.

    Examples
    --------
    >>> import numpy as np
    >>> img = np.zeros((9, 9, 1), np.float32); img[4, 4] = 1.0
    >>> out = convolve(img, defocus_kernel(1.0))
    >>> round(float(out.sum()), 5), bool(out[4, 4, 0] < 1.0)
    (1.0, True)
    """
    kh, kw = kernel.shape
    ph, pw = kh // 2, kw // 2
    h, w = img.shape[0], img.shape[1]
    padded = np.pad(img, ((ph, ph), (pw, pw), (0, 0)), mode="symmetric")
    shape = (padded.shape[0], padded.shape[1])
    f_img = np.fft.rfft2(padded, axes=(0, 1))
    f_k = np.fft.rfft2(kernel.astype(np.float64), s=shape)
    full = np.fft.irfft2(f_img * f_k[..., None], s=shape, axes=(0, 1))
    out: F32 = np.ascontiguousarray(full[2 * ph:2 * ph + h, 2 * pw:2 * pw + w]).astype(np.float32)
    return out
