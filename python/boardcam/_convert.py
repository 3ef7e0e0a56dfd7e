"""NV12 to RGB, BT.601 limited range, in the same fixed-point arithmetic as
the capture tool's PNG output, so both give identical pixels."""
from __future__ import annotations

import numpy as np


def nv12_to_rgb(y: np.ndarray, uv: np.ndarray) -> np.ndarray:
    """Converts planes of shape (h, w) and (h/2, w/2, 2) into a new (h, w, 3) uint8 array."""
    c = 298 * (y.astype(np.int32) - 16) + 128
    chroma = uv.astype(np.int32) - 128
    # Each chroma sample covers a 2x2 block of luma.
    d = np.repeat(np.repeat(chroma[:, :, 0], 2, axis=0), 2, axis=1)
    e = np.repeat(np.repeat(chroma[:, :, 1], 2, axis=0), 2, axis=1)
    rgb = np.empty(y.shape + (3,), dtype=np.uint8)
    rgb[:, :, 0] = np.clip((c + 409 * e) >> 8, 0, 255)
    rgb[:, :, 1] = np.clip((c - 100 * d - 208 * e) >> 8, 0, 255)
    rgb[:, :, 2] = np.clip((c + 516 * d) >> 8, 0, 255)
    return rgb
