"""boardcam: the board's two cameras from Python, frames as numpy arrays without a copy.

    import boardcam
    with boardcam.Camera(0, fps=30, width=640, height=480) as cam:
        with cam.read() as frame:
            rgb = frame.to_rgb()

The camera library is loaded on first use: from ``BOARDCAM_LIBRARY`` when
set, otherwise ``libboardcam.so.1`` installed beside this package or through
the system loader. Frames are released with the device runtime's
``vekpimoFree``, from ``BOARDCAM_VEKPIMO_LIBRARY`` or ``libvekpimo.so``.

Every call into the library holds one process-wide lock, so cameras may be
used from several threads.
"""
from __future__ import annotations

from typing import Any, Dict

from ._camera import Camera
from ._errors import CameraError
from ._frame import Frame
from ._native import LibraryNotFoundError, LOCK, native

__all__ = ["Camera", "CameraError", "Frame", "LibraryNotFoundError", "table"]
__version__ = "1.0.0"

_SLOT_FIELDS = ("initialised", "id", "fps", "width", "height", "frameSize")


def table() -> Dict[str, Any]:
    """The library's camera table (``g_CameraMgr``) as plain data.

    Returns:
        ``{"mediaLibInited": bool, "slots": [slot0, slot1]}``, each slot a
        dict with ``initialised``, ``id``, ``fps``, ``width``, ``height`` and
        ``frameSize``.
    """
    loaded = native()
    with LOCK:
        mgr = loaded.table
        return {
            "mediaLibInited": bool(mgr.mediaLibInited),
            "slots": [{name: getattr(slot, name) for name in _SLOT_FIELDS} for slot in mgr.slots],
        }
