"""The simulator's reference frames, as the capture tool reads them with the
sensors unpaced (frame k is the k-th read), for the tests of programs that
run beside the board: the server's and the V4L2 layer's. Taken through the
tool, not by loading the simulator here, so that a sanitized build's
simulator never has to be loaded into the test's interpreter."""
from __future__ import annotations

import os
import subprocess
import tempfile
from pathlib import Path
from typing import Dict

import numpy as np


class ReferenceFrames:
    def __init__(self) -> None:
        self.capture = os.environ["BOARDCAM_TEST_CAPTURE"]
        self.cache: Dict[tuple, np.ndarray] = {}

    def frames(self, camera: int, width: int, height: int, count: int) -> np.ndarray:
        """Frames 0..count-1 of a camera as I420, shape (count, height * 3 // 2, width)."""
        key = (camera, width, height)
        if key not in self.cache or len(self.cache[key]) < count:
            with tempfile.TemporaryDirectory() as out:
                # A board of its own: the cameras of the program under test
                # are not this tool's.
                env = dict(os.environ, BOARDSIM_PACING="0", BOARDSIM_RUNTIME_DIR=out, BOARDCAM_RUNTIME_DIR=out)
                env.pop("BOARDSIM_CALL_LOG", None)
                done = subprocess.run([self.capture, "--camera", str(camera), "--size", f"{width}x{height}",
                                       "--frames", str(count), "--format", "y4m", "--out", out],
                                      capture_output=True, env=env, timeout=300)
                assert done.returncode == 0, done.stderr.decode()
                data = (Path(out) / f"cam{camera}.y4m").read_bytes()
            frame_bytes = width * height * 3 // 2
            body = data[data.index(b"\n") + 1:]
            step = len(b"FRAME\n") + frame_bytes
            self.cache[key] = np.stack([np.frombuffer(body[i * step + 6: (i + 1) * step], dtype=np.uint8)
                                        .reshape(height * 3 // 2, width) for i in range(len(body) // step)])
        return self.cache[key][:count]

    def luma(self, camera: int, index: int, width: int, height: int) -> np.ndarray:
        return self.frames(camera, width, height, index + 1)[index][:height]
