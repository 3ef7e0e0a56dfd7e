"""The simulated board, driven through its control library with ctypes.

CTest runs every test in a process of its own (the camera library's table
lives as long as the process) and says where the libraries are:
BOARDCAM_LIBRARY, BOARDCAM_TEST_BOARDSIM and BOARDCAM_TEST_NV12_TO_RGB.
"""
from __future__ import annotations

import atexit
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
from typing import List

import numpy as np
import pytest

# Each test process is a board of its own: the simulator's cameras and
# libboardcam-mt's sharing live in a runtime folder made for it, so that
# tests run in parallel never find each other's cameras in use. Programs a
# test starts inherit it and share the test's board.
_RUNTIME_DIR = tempfile.mkdtemp(prefix="boardcam-test-")
os.environ["BOARDSIM_RUNTIME_DIR"] = os.environ["BOARDCAM_RUNTIME_DIR"] = _RUNTIME_DIR
atexit.register(shutil.rmtree, _RUNTIME_DIR, True)

MEDIA_LIB_INIT, QUERY_CAMERA_STATUS, OPEN_CAMERA, SET_CAMERA_PROPERTY, READ_FRAME_FROM_CAMERA, \
    CLOSE_CAMERA, APP_LOG, PIMO_MALLOC, PIMO_FREE = range(9)
ANY_CAMERA = -1
FAIL_ONCE, FAIL_ALWAYS = 0, 1


class Event(ctypes.Structure):
    _fields_ = [
        ("call", ctypes.c_int), ("camera", ctypes.c_int), ("result", ctypes.c_int), ("refused", ctypes.c_bool),
        ("prop", ctypes.c_int), ("value", ctypes.c_int32 * 2), ("size", ctypes.c_uint64),
        ("sizeOut", ctypes.c_uint32), ("ptr", ctypes.c_size_t), ("level", ctypes.c_int), ("line", ctypes.c_int),
        ("func", ctypes.c_char * 64), ("file", ctypes.c_char * 64), ("text", ctypes.c_char * 256),
        ("frame", ctypes.c_uint32), ("startNs", ctypes.c_int64), ("endNs", ctypes.c_int64),
    ]


class Board:
    """The simulator's control interface."""

    def __init__(self, path: str) -> None:
        self.lib = ctypes.CDLL(path)
        self.lib.boardsim_render_frame.restype = ctypes.c_size_t
        self.lib.boardsim_render_frame.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_void_p, ctypes.c_size_t]
        self.lib.boardsim_live_buffers.restype = ctypes.c_size_t
        self.lib.boardsim_journal_size.restype = ctypes.c_size_t
        self.lib.boardsim_journal_entry.argtypes = [ctypes.c_size_t, ctypes.POINTER(Event)]
        self.lib.boardsim_set_pacing.argtypes = [ctypes.c_bool]

    def reset(self) -> None:
        self.lib.boardsim_reset()
        self.lib.boardsim_set_pacing(False)

    def fail(self, call: int, camera: int = ANY_CAMERA, mode: int = FAIL_ALWAYS) -> None:
        assert self.lib.boardsim_fail_call(call, camera, mode) == 0

    def live_buffers(self) -> int:
        return self.lib.boardsim_live_buffers()

    def journal(self, call: int) -> List[Event]:
        events = []
        for index in range(self.lib.boardsim_journal_size()):
            event = Event()
            assert self.lib.boardsim_journal_entry(index, ctypes.byref(event)) == 0
            if event.call == call:
                events.append(event)
        return events

    def overlap(self) -> str:
        """Empty when no two journal entries overlap in time; otherwise the first pair that does."""
        events = []
        for index in range(self.lib.boardsim_journal_size()):
            event = Event()
            assert self.lib.boardsim_journal_entry(index, ctypes.byref(event)) == 0
            events.append((event.startNs, event.endNs, event.call, event.camera))
        events.sort()
        for before, after in zip(events, events[1:]):
            if after[0] < before[1]:
                return f"calls {before[2]} (camera {before[3]}) and {after[2]} (camera {after[3]}) overlap"
        return ""

    def reference(self, camera: int, index: int, width: int, height: int) -> np.ndarray:
        frame = np.empty(width * height * 3 // 2, dtype=np.uint8)
        written = self.lib.boardsim_render_frame(camera, index, width, height, frame.ctypes.data, frame.size)
        assert written == frame.size
        return frame.reshape(height * 3 // 2, width)


@pytest.fixture
def board() -> Board:
    simulator = Board(os.environ["BOARDCAM_TEST_BOARDSIM"])
    simulator.reset()
    return simulator


@pytest.fixture
def capture_tool_rgb():
    """The capture tool's NV12-to-RGB conversion, the C function itself."""
    lib = ctypes.CDLL(os.environ["BOARDCAM_TEST_NV12_TO_RGB"])
    lib.nv12_to_rgb.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]

    def convert(nv12: np.ndarray, width: int, height: int) -> np.ndarray:
        nv12 = np.ascontiguousarray(nv12)
        rgb = np.empty((height, width, 3), dtype=np.uint8)
        lib.nv12_to_rgb(nv12.ctypes.data, width, height, rgb.ctypes.data)
        return rgb

    return convert


def run_python(code: str, **environment: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with `environment` added."""
    env = dict(os.environ)
    env.update(environment)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)

