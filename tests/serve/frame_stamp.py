"""The capture time the simulator stamps into each frame (BOARDSIM_STAMP=1):
32 black and white blocks across the top, CLOCK_MONOTONIC in 0.1 ms units,
large enough to survive JPEG and H.264."""
from __future__ import annotations

import time

import numpy as np

STAMP_BITS, STAMP_UNIT_NS = 32, 100000


def stamp_of(luma: np.ndarray) -> int:
    block = max(2, min(32, luma.shape[1] // STAMP_BITS) & ~1)
    value = 0
    for bit in range(STAMP_BITS):
        centre = luma[block // 4: 3 * block // 4, bit * block + block // 4: bit * block + 3 * block // 4]
        value = (value << 1) | int(centre.mean() > 128)
    return value


def age_ms(luma: np.ndarray) -> float:
    """How long ago the camera captured this frame, in milliseconds."""
    now = time.clock_gettime_ns(time.CLOCK_MONOTONIC) // STAMP_UNIT_NS
    return ((now - stamp_of(luma)) % (1 << 32)) * STAMP_UNIT_NS / 1e6
