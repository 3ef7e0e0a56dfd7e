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


def stamp_at(monotonic_ns: int) -> int:
    """The stamp a frame captured at this CLOCK_MONOTONIC time would carry."""
    return (monotonic_ns // STAMP_UNIT_NS) % (1 << STAMP_BITS)


def stamp_difference_s(later: int, earlier: int) -> float:
    """Seconds from stamp `earlier` to stamp `later`, negative when `later`
    is in fact the earlier one. Stamps wrap every 2^32 units (about five
    days), so the difference is taken modulo that and read as signed: a
    frame stamped just after a moment is a few units after it, never five
    days before."""
    units = (later - earlier) % (1 << STAMP_BITS)
    if units >= 1 << (STAMP_BITS - 1):
        units -= 1 << STAMP_BITS
    return units * STAMP_UNIT_NS / 1e9


def age_ms(luma: np.ndarray) -> float:
    """How long ago the camera captured this frame, in milliseconds."""
    return stamp_difference_s(stamp_at(time.clock_gettime_ns(time.CLOCK_MONOTONIC)), stamp_of(luma)) * 1e3
