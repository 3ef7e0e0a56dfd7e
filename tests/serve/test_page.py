"""The page as a browser shows it: headless Chromium, both cameras' live pictures and numbers."""
from __future__ import annotations

import os
import shutil
from pathlib import Path

import cv2
import numpy as np

from conftest import run

WIDTH, HEIGHT = 320, 240
WINDOW = (1000, 700)
# The page's grid: 8 px padding and gap, two tiles side by side, each
# picture as wide as its tile.
TILE_WIDTH = (WINDOW[0] - 3 * 8) // 2
PICTURE_HEIGHT = TILE_WIDTH * HEIGHT // WIDTH


def reference_bgr(board, camera: int) -> np.ndarray:
    return cv2.cvtColor(board.frames(camera, WIDTH, HEIGHT, 1)[0], cv2.COLOR_YUV2BGR_I420)


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


def test_chromium_shows_both_cameras_and_their_numbers(start_server, board, workdir: Path) -> None:
    server = start_server("--size", f"{WIDTH}x{HEIGHT}")
    shot = workdir / "page.png"
    browser = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               f"--user-data-dir={workdir / 'profile'}", f"--window-size={WINDOW[0]},{WINDOW[1]}",
               # The tiles are made once the first status has come, and their
               # pictures after that: give the page time before the shot.
               "--virtual-time-budget=3000"]
    taken = run(browser + [f"--screenshot={shot}", server.url("/")], timeout=60)
    assert taken.returncode == 0 and shot.exists(), taken.stderr.decode()[-2000:]
    artefacts = os.environ.get("BOARDCAM_TEST_ARTEFACTS")
    if artefacts:
        shutil.copy(shot, Path(artefacts) / "page.png")
    image = cv2.imread(str(shot))
    assert image.shape[:2] == (WINDOW[1], WINDOW[0])
    pictures = [image[8:8 + PICTURE_HEIGHT, x:x + TILE_WIDTH] for x in (8, 8 + TILE_WIDTH + 8)]
    references = [reference_bgr(board, camera) for camera in (0, 1)]
    for camera in (0, 1):
        own = matching_cells(pictures[camera], references[camera])
        other = matching_cells(pictures[camera], references[1 - camera])
        assert own >= 0.8 and other < own - 0.3, f"tile {camera}: {own:.2f} like its camera, {other:.2f} like the other"

    dom = run(browser + ["--dump-dom", server.url("/")], timeout=60).stdout.decode()
    for camera in (0, 1):
        assert f'id="cam{camera}"' in dom and f'src="cam{camera}.mjpg"' in dom and f'href="cam{camera}.jpg"' in dom
    assert dom.count(f"{WIDTH}\u00d7{HEIGHT}") == 2 and dom.count(" of 30") == 2
    assert "0 RTSP" in dom and '<div id="error"></div>' in dom
    # Served by the program alone: nothing from elsewhere.
    page = run(["curl", "-s", server.url("/")]).stdout.decode()
    assert "http://" not in page and "https://" not in page
    assert 'name="viewport"' in page
