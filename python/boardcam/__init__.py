"""boardcam: the board's two cameras from Python, frames as numpy arrays without a copy.

    import boardcam
    with boardcam.Camera(0, fps=30, width=640, height=480) as cam:
        with cam.read() as frame:
            rgb = frame.to_rgb()

The camera library is loaded on first use: from ``BOARDCAM_LIBRARY`` when
set, otherwise ``libboardcam.so.1`` installed beside this package or through
the system loader; then its thread-safe layer ``libboardcam-mt.so.1``, from
``BOARDCAM_MT_LIBRARY`` or beside the camera library.

Every call goes through libboardcam-mt, which serialises calls across the
whole process (GStreamer pipelines in it included) and waits for frames
outside its lock: two cameras may be read from two threads, each at its own
rate. A camera has one owner in the process; a second open raises
:class:`CameraBusyError`.
"""
from __future__ import annotations

from typing import Any, Dict

from ._camera import Camera
from ._errors import CameraBusyError, CameraClosedError, CameraError
from ._frame import Frame
from ._native import CameraMgr, LibraryNotFoundError, native

__all__ = ["Camera", "CameraBusyError", "CameraClosedError", "CameraError", "Frame", "LibraryNotFoundError",
           "table"]
__version__ = "1.0.0"

_SLOT_FIELDS = ("initialised", "id", "fps", "width", "height", "frameSize")


def table() -> Dict[str, Any]:
    """The library's camera table (``g_CameraMgr``) as plain data.

    Returns:
        ``{"mediaLibInited": bool, "slots": [slot0, slot1]}``, each slot a
        dict with ``initialised``, ``id``, ``fps``, ``width``, ``height`` and
        ``frameSize``.
    """
    mgr = CameraMgr()
    native().copy_table(mgr)
    return {
        "mediaLibInited": bool(mgr.mediaLibInited),
        "slots": [{name: getattr(slot, name) for name in _SLOT_FIELDS} for slot in mgr.slots],
    }
