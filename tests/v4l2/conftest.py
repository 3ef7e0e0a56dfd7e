"""V4L2 programs on the board's cameras, under boardcamify, on the simulator.

CTest says where the build's programs are: BOARDCAM_TEST_BOARDCAMIFY (the
wrapper, naming the build's libboardcam-v4l2 and libboardcam-mt) and
BOARDCAM_TEST_CAPTURE (the capture tool, which gives the reference frames).
Under the sanitizers BOARDCAM_TEST_PRELOAD names their runtime, which a
program not built with them must load first.
"""
from __future__ import annotations

import atexit
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, Iterator, List

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from reference_frames import ReferenceFrames  # noqa: E402

# Each test process is a board of its own (see the C tests' runtime folder);
# the programs a test starts inherit it.
_RUNTIME_DIR = tempfile.mkdtemp(prefix="boardcam-test-")
os.environ["BOARDSIM_RUNTIME_DIR"] = os.environ["BOARDCAM_RUNTIME_DIR"] = _RUNTIME_DIR
atexit.register(shutil.rmtree, _RUNTIME_DIR, True)

BOARDCAMIFY = os.environ.get("BOARDCAM_TEST_BOARDCAMIFY", "boardcamify")
SANITIZED = bool(os.environ.get("BOARDCAM_TEST_PRELOAD"))


def program_env(**extra: str) -> Dict[str, str]:
    """A V4L2 program's environment: the sensors unpaced (frame k is the
    k-th read, as in the references), and under the sanitizers their runtime
    first, with the host program's own leaks not ours to judge."""
    env = dict(os.environ, BOARDSIM_PACING="0")
    for name in ("BOARDSIM_FAIL", "BOARDSIM_APP_LOG", "BOARDSIM_STAMP", "BOARDCAM_V4L2_DEVICES"):
        env.pop(name, None)
    if SANITIZED:
        env["LD_PRELOAD"] = os.environ["BOARDCAM_TEST_PRELOAD"]
        env["ASAN_OPTIONS"] = "detect_leaks=0"
    env.update(extra)
    return env


def boardcamify(command: List[str], timeout: float = 120, **extra: str) -> subprocess.CompletedProcess:
    return subprocess.run([BOARDCAMIFY, *command], capture_output=True, text=True, timeout=timeout,
                          env=program_env(**extra))


@pytest.fixture(scope="session")
def board() -> ReferenceFrames:
    return ReferenceFrames()


@pytest.fixture
def workdir() -> Iterator[Path]:
    with tempfile.TemporaryDirectory(prefix="boardcam-v4l2-") as folder:
        yield Path(folder)


def as_nv12(i420: np.ndarray, width: int, height: int) -> bytes:
    y = i420[:height].reshape(-1)
    chroma = i420[height:].reshape(-1)
    u, v = chroma[: width * height // 4], chroma[width * height // 4:]
    return y.tobytes() + np.stack([u, v], axis=1).reshape(-1).tobytes()


def as_yuyv(i420: np.ndarray, width: int, height: int) -> bytes:
    """4:2:2 from 4:2:0: each chroma row serves two rows."""
    y = i420[:height].reshape(height, width)
    chroma = i420[height:].reshape(-1)
    u = chroma[: width * height // 4].reshape(height // 2, width // 2).repeat(2, axis=0)
    v = chroma[width * height // 4:].reshape(height // 2, width // 2).repeat(2, axis=0)
    out = np.empty((height, width * 2), np.uint8)
    out[:, 0::4], out[:, 2::4] = y[:, 0::2], y[:, 1::2]
    out[:, 1::4], out[:, 3::4] = u, v
    return out.tobytes()


def digest(frame: bytes) -> bytes:
    return hashlib.sha1(frame).digest()


def frame_indices(data: bytes, frame_bytes: int, references: Dict[bytes, List[int]]) -> List[int]:
    """The index, in the camera's order, of each frame in `data`, -1 for a
    frame that is none of the camera's. `references` maps the digest() of
    each reference frame to its indices: the scene repeats itself, so one
    picture may be several frames, and each frame is taken as the first of
    them after the frame before it."""
    assert len(data) % frame_bytes == 0, f"{len(data)} bytes is no whole number of {frame_bytes}-byte frames"
    indices, last = [], -1
    for start in range(0, len(data), frame_bytes):
        candidates = references.get(digest(data[start:start + frame_bytes]), [])
        later = [index for index in candidates if index > last]
        indices.append(later[0] if later else (candidates[0] if candidates else -1))
        if later:
            last = later[0]
    return indices
