"""Whether a picture a client shows is its camera's: the simulator's
reference frame against a screenshot, cell by cell."""
from __future__ import annotations

import cv2
import numpy as np


def reference_bgr(board, camera: int, width: int = 320, height: int = 240) -> np.ndarray:
    return cv2.cvtColor(board.frames(camera, width, height, 1)[0], cv2.COLOR_YUV2BGR_I420)


def matching_cells(picture: np.ndarray, reference: np.ndarray) -> float:
    """Share of a 12x9 grid of cells whose median colour matches: robust to
    the moving block and to scaling, not to the wrong camera."""
    reference = cv2.resize(reference, (picture.shape[1], picture.shape[0]), interpolation=cv2.INTER_AREA)
    rows, cols = 9, 12
    h, w = picture.shape[0] // rows, picture.shape[1] // cols
    matches = 0
    for r in range(rows):
        for c in range(cols):
            cell = (slice(r * h + h // 4, r * h + 3 * h // 4), slice(c * w + w // 4, c * w + 3 * w // 4))
            got = np.median(picture[cell].reshape(-1, 3), axis=0)
            want = np.median(reference[cell].reshape(-1, 3), axis=0)
            matches += int(np.abs(got - want).max() < 40)
    return matches / (rows * cols)
