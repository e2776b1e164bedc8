"""The building blocks on their own, for a shape of your own: the crema of a
cup of coffee seen at an angle is an ellipse.

    python examples/crema_ellipse.py

Draws a cup on a table (a generated picture, saved as cup.png), then:
colour window of the crema -> simple_edge_hsv (where runs of crema start and
end on the scanned lines) -> ransac_ellipse.
"""
import ctypes
import math

import numpy as np
from PIL import Image, ImageDraw

import orbisect

# ---- a picture: table, white cup, dark coffee rim, mottled crema ----------
H, W = 480, 640
CX, CY, A, B, TILT = 330.0, 250.0, 150.0, 95.0, math.radians(12)   # the crema's ellipse
rng = np.random.default_rng(3)
yy, xx = np.mgrid[:H, :W].astype(np.float64)
u = (xx - CX) * math.cos(TILT) + (yy - CY) * math.sin(TILT)
v = -(xx - CX) * math.sin(TILT) + (yy - CY) * math.cos(TILT)
e = np.hypot(u / A, v / B)                                # 1 on the crema's border

image = np.empty((H, W, 3))
image[:] = (70, 78, 92)                                   # slate table
image[e < 1.32] = (238, 236, 232)                         # the cup's rim
image[e < 1.08] = (55, 32, 18)                            # coffee at the edge
crema = e < 1.0
coarse = Image.fromarray(rng.normal(0, 1, (H // 12, W // 12)).astype(np.float32), "F")
spots = np.asarray(coarse.resize((W, H), Image.Resampling.BICUBIC))     # soft blotches
image[crema] = np.array([196, 142, 92]) * (1 + 0.08 * spots[crema])[:, None]
image += rng.normal(0, 4, image.shape)                    # sensor noise
frame = np.clip(image, 0, 255).astype(np.uint8)
Image.fromarray(frame).save("cup.png")

# ---- the window: light brown, hue 15..45 degrees --------------------------
window = orbisect.calculate_lch_bounds((math.radians(15), math.radians(45)),
                                       (0.2, 0.6), (0.35, 0.85))
print(f"crema pixels inside the window: {orbisect.mask_image(frame, window)[crema].mean():.1%}")

# ---- edge points: run starts and ends on 96 rows and 128 columns ----------
points = np.zeros((4096, 2), np.int32)
n = orbisect.simple_edge_hsv(frame, points, window._asdict(), 96, 128)

# ---- the fit ---------------------------------------------------------------
# min_r, max_r bound both semi-axes (px).  The origin lies outside the
# ellipse, so `a` comes back as the shorter semi-axis and ratio is the
# largest long/short proportion accepted.  delta is the ring's half-width.
ctypes.CDLL(None).srand(7)                                # reproducible draws (Linux)
fit = orbisect.ransac_ellipse(points[:n], 400, 20, 300, 3.0, 2)
if fit["a"] == 0:
    raise SystemExit("no ellipse found")                  # a failed fit is all zeros
print(f"{n} edge points")
print(f"found: centre ({fit['x']:.1f}, {fit['y']:.1f}), semi-axes {fit['a']:.1f} and "
      f"{fit['b']:.1f}, theta {math.degrees(fit['theta']):.1f} deg")
short_axis = (math.degrees(TILT) + 90 + 90) % 180 - 90     # the short axis' angle, -90..90
print(f"drawn: centre ({CX:.1f}, {CY:.1f}), semi-axes {B:.1f} and {A:.1f}, "
      f"theta {short_axis:.1f} deg")

# Draw the fit: `a` lies along theta, `b` across it.
pic = Image.fromarray(frame)
draw = ImageDraw.Draw(pic)
t = np.linspace(0, 2 * math.pi, 200)
ct, st = math.cos(fit["theta"]), math.sin(fit["theta"])
px = fit["x"] + fit["a"] * np.cos(t) * ct - fit["b"] * np.sin(t) * st
py = fit["y"] + fit["a"] * np.cos(t) * st + fit["b"] * np.sin(t) * ct
draw.line(list(zip(px, py)), fill=(255, 0, 255), width=3)
pic.save("cup-found.png")
print("pictures: cup.png, cup-found.png")
