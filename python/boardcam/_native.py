"""The camera library and libboardcam-mt over it, loaded on first use.

The camera library is not thread safe. Every call this package makes goes
through libboardcam-mt, which serialises calls across the whole process (also
with a GStreamer pipeline in the same process) and waits for each frame
outside its lock, so several threads may read several cameras at once.
"""
from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path
from typing import List, Optional

LIBRARY_NAME = "libboardcam.so.1"
MT_LIBRARY_NAME = "libboardcam-mt.so.1"

#: Results of libboardcam-mt besides 0 and -1.
MT_INTERRUPTED = -2
MT_BUSY = -3
MT_DENIED = -4

#: Bytes of a program's name in a status, and subscribers a camera takes.
MT_PROGRAM_MAX = 32
MT_MAX_SUBSCRIBERS = 16

_loading = threading.Lock()


class LibraryNotFoundError(OSError):
    """The camera library or libboardcam-mt could not be loaded."""


class CameraSlot(ctypes.Structure):
    """One camera's record in the camera table (``CameraSlot``)."""

    _fields_ = [
        ("initialised", ctypes.c_bool),
        ("id", ctypes.c_int32),
        ("fps", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("frameSize", ctypes.c_int32),
    ]


class CameraMgr(ctypes.Structure):
    """The process-wide camera table (``CameraMgr``)."""

    _fields_ = [("mediaLibInited", ctypes.c_bool), ("slots", CameraSlot * 2)]


class CameraFrame(ctypes.Structure):
    """The frame record ``ReadCameraFrame`` fills (``CameraFrame``)."""

    _fields_ = [("size", ctypes.c_int32), ("data", ctypes.c_void_p)]


class MtFrame(ctypes.Structure):
    """A frame with its metadata, as ``boardcam_mt_read`` fills it (``boardcam_mt_frame``)."""

    _fields_ = [
        ("data", ctypes.c_void_p),
        ("size", ctypes.c_int32),
        ("sequence", ctypes.c_uint64),
        ("dropped", ctypes.c_uint32),
        ("monotonic_ns", ctypes.c_int64),
        ("realtime_ns", ctypes.c_int64),
    ]


class MtPeer(ctypes.Structure):
    """One program sharing a camera (``boardcam_mt_peer``)."""

    _fields_ = [
        ("pid", ctypes.c_int32),
        ("program", ctypes.c_char * MT_PROGRAM_MAX),
        ("fps", ctypes.c_int32),
        ("held", ctypes.c_uint32),
        ("frames", ctypes.c_uint64),
        ("dropped", ctypes.c_uint64),
    ]


class MtCameraStatus(ctypes.Structure):
    """Who has a camera (``boardcam_mt_camera_status``)."""

    _fields_ = [
        ("id", ctypes.c_int32),
        ("owned", ctypes.c_bool),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("fps", ctypes.c_int32),
        ("frames", ctypes.c_uint64),
        ("copies", ctypes.c_uint64),
        ("owner", MtPeer),
        ("subscriber_count", ctypes.c_uint32),
        ("subscribers", MtPeer * MT_MAX_SUBSCRIBERS),
    ]


class Native:
    """The loaded libraries with their prototypes."""

    def __init__(self, library: ctypes.CDLL, mt: ctypes.CDLL) -> None:
        self.library = library
        self.mt = mt
        int32, handle = ctypes.c_int32, ctypes.c_void_p
        self.open = mt.boardcam_mt_open
        self.open.argtypes = [int32, int32, int32, int32, ctypes.POINTER(handle)]
        self.open.restype = int32
        self.read = mt.boardcam_mt_read
        self.read.argtypes = [handle, ctypes.POINTER(MtFrame)]
        self.read.restype = int32
        self.set_flushing = mt.boardcam_mt_set_flushing
        self.set_flushing.argtypes = [handle, ctypes.c_bool]
        self.set_flushing.restype = None
        self.close = mt.boardcam_mt_close
        self.close.argtypes = [handle]
        self.close.restype = int32
        self.release_frame = mt.boardcam_mt_release_frame
        self.release_frame.argtypes = [ctypes.c_void_p]
        self.release_frame.restype = None
        self.format = mt.boardcam_mt_format
        self.format.argtypes = [handle, ctypes.POINTER(int32), ctypes.POINTER(int32), ctypes.POINTER(int32)]
        self.format.restype = int32
        self.frame_is_read_only = mt.boardcam_mt_frame_is_read_only
        self.frame_is_read_only.argtypes = [ctypes.c_void_p]
        self.frame_is_read_only.restype = ctypes.c_bool
        self.status = mt.boardcam_mt_status
        self.status.argtypes = [int32, ctypes.POINTER(MtCameraStatus)]
        self.status.restype = int32
        self.last_message = mt.boardcam_mt_last_message
        self.last_message.argtypes = []
        self.last_message.restype = ctypes.c_char_p
        self.copy_table = mt.boardcam_mt_table
        self.copy_table.argtypes = [ctypes.POINTER(CameraMgr)]
        self.copy_table.restype = None
        self.table = CameraMgr.in_dll(library, "g_CameraMgr")


_native: Optional[Native] = None


def _beside_package(name: str) -> List[str]:
    """Installed with its package into a prefix (PREFIX/lib/python3/...), a
    library is in one of the package's ancestor folders or their lib/."""
    package = Path(__file__).resolve().parent
    beside: List[str] = []
    for folder in list(package.parents)[:4]:
        for candidate in (folder / name, folder / "lib" / name):
            if candidate.is_file() and str(candidate) not in beside:
                beside.append(str(candidate))
    return beside


def _library_candidates() -> List[str]:
    """Where the camera library is looked for, in order."""
    explicit = os.environ.get("BOARDCAM_LIBRARY")
    if explicit:
        return [explicit]
    return _beside_package(LIBRARY_NAME) + [LIBRARY_NAME]


def _mt_candidates(library: ctypes.CDLL) -> List[str]:
    """Where libboardcam-mt is looked for: beside the camera library first."""
    explicit = os.environ.get("BOARDCAM_MT_LIBRARY")
    if explicit:
        return [explicit]
    candidates = []
    if library._name and os.path.sep in library._name:
        candidates.append(os.path.join(os.path.dirname(library._name), MT_LIBRARY_NAME))
    return candidates + _beside_package(MT_LIBRARY_NAME) + [MT_LIBRARY_NAME]


def _load(candidates: List[str], what: str, variable: str) -> ctypes.CDLL:
    errors = []
    for candidate in candidates:
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
    where = f"{variable}={os.environ[variable]}" if os.environ.get(variable) else (
        f"beside the package and through the system loader (set {variable} to a path to choose it)")
    raise LibraryNotFoundError(f"boardcam: cannot load {what}, looked {where}: " + "; ".join(errors))


def native() -> Native:
    """The loaded libraries; loads them on first use.

    The camera library is loaded first, so that libboardcam-mt binds to that
    very library (one camera table per process).

    Raises:
        LibraryNotFoundError: a library is missing; the message names what was
            looked for and where.
    """
    global _native
    with _loading:
        if _native is None:
            library = _load(_library_candidates(), f"the camera library {LIBRARY_NAME}", "BOARDCAM_LIBRARY")
            mt = _load(_mt_candidates(library), f"the thread-safe layer {MT_LIBRARY_NAME}", "BOARDCAM_MT_LIBRARY")
            _native = Native(library, mt)
        return _native
