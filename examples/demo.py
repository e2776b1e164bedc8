"""Scans a generated mask and prints the run starts and ends it finds."""
import numpy as np

import orbisect

mask = np.zeros((120, 160), np.uint8)
yy, xx = np.mgrid[:120, :160]
mask[(xx - 80) ** 2 + (yy - 60) ** 2 < 30 ** 2] = 1   # a filled disc
mask[10:20, 10:150] = 1                               # and a bar

points = np.zeros((256, 2), np.int32)
n = orbisect.simple_edge(mask, points, 8, 8)
print(f"{n} edge points from 8 rows and 8 columns of a 160x120 mask:")
for start, end in zip(points[0:n:2], points[1:n:2]):
    print(f"  run from {tuple(start)} to {tuple(end)}")
