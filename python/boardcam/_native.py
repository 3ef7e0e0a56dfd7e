"""The camera library and the runtime's ``vekpimoFree``, loaded on first use.

The library is not thread safe, and ctypes releases the GIL for the length of
every foreign call, so every call into it (and every release of a frame) is
made while holding :data:`LOCK`, one lock for the whole process.
"""
from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path
from typing import List, Optional

LIBRARY_NAME = "libboardcam.so.1"
VEKPIMO_NAME = "libvekpimo.so"

#: Held for every call into the camera library and the device runtime.
#: Re-entrant, because a frame may be released by the garbage collector in
#: the middle of a call made by the same thread.
LOCK = threading.RLock()


class LibraryNotFoundError(OSError):
    """The camera library or the runtime's image-processing library could not be loaded."""


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


class Native:
    """The loaded libraries with their prototypes."""

    def __init__(self, library: ctypes.CDLL, vekpimo: ctypes.CDLL) -> None:
        self.library = library
        int32 = ctypes.c_int32
        self.OpenCameraEx = library.OpenCameraEx
        self.OpenCameraEx.argtypes = [int32, int32, int32, int32]
        self.OpenCameraEx.restype = int32
        self.ReadCameraFrame = library.ReadCameraFrame
        self.ReadCameraFrame.argtypes = [int32, ctypes.POINTER(CameraFrame)]
        self.ReadCameraFrame.restype = int32
        self.CloseCameraEx = library.CloseCameraEx
        self.CloseCameraEx.argtypes = [int32]
        self.CloseCameraEx.restype = int32
        self.table = CameraMgr.in_dll(library, "g_CameraMgr")
        self.vekpimoFree = vekpimo.vekpimoFree
        self.vekpimoFree.argtypes = [ctypes.c_void_p]
        self.vekpimoFree.restype = ctypes.c_int


_native: Optional[Native] = None


def _library_candidates() -> List[str]:
    """Where the camera library is looked for, in order."""
    explicit = os.environ.get("BOARDCAM_LIBRARY")
    if explicit:
        return [explicit]
    # Installed with its package into a prefix (PREFIX/lib/python3/...), the
    # library is in one of the package's ancestor folders or their lib/.
    package = Path(__file__).resolve().parent
    beside = []
    for folder in list(package.parents)[:4]:
        for candidate in (folder / LIBRARY_NAME, folder / "lib" / LIBRARY_NAME):
            if candidate.is_file() and str(candidate) not in beside:
                beside.append(str(candidate))
    return beside + [LIBRARY_NAME]


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

    Raises:
        LibraryNotFoundError: a library is missing; the message names what was
            looked for and where.
    """
    global _native
    with LOCK:
        if _native is None:
            library = _load(_library_candidates(), f"the camera library {LIBRARY_NAME}", "BOARDCAM_LIBRARY")
            explicit = os.environ.get("BOARDCAM_VEKPIMO_LIBRARY")
            vekpimo_candidates = [explicit] if explicit else [VEKPIMO_NAME]
            if not explicit and library._name and os.path.sep in library._name:
                vekpimo_candidates.append(os.path.join(os.path.dirname(library._name), VEKPIMO_NAME))
            vekpimo = _load(vekpimo_candidates, f"the device runtime's {VEKPIMO_NAME} (vekpimoFree)",
                            "BOARDCAM_VEKPIMO_LIBRARY")
            _native = Native(library, vekpimo)
        return _native
