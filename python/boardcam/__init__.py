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
rate. A camera has one owner on the board; every other open of it, in
this program or another, shares the owner's frames, read-only (see
:class:`Camera`).
"""
from __future__ import annotations

from typing import Any, Dict

from ._camera import Camera
from ._errors import CameraBusyError, CameraClosedError, CameraDeniedError, CameraError
from ._frame import Frame
from ._native import CameraMgr, LibraryNotFoundError, native

__all__ = ["Camera", "CameraBusyError", "CameraClosedError", "CameraDeniedError", "CameraError", "Frame",
           "LibraryNotFoundError", "status", "table"]
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


def status(camera_id: int) -> Dict[str, Any]:
    """Who has a camera, anywhere on the board: ``{"owned": False}`` when
    nobody does, else its size and rate, the frames its owner read and how
    many of them it copied for subscribers, its owner and its subscribers, each
    ``{"pid", "program", "fps"}`` and for subscribers ``"held"``,
    ``"frames"`` and ``"dropped"``.

    Raises:
        CameraDeniedError: another user's program has it, and this user may
            not see it.
        CameraError: its owner did not answer.
    """
    from ._native import MT_DENIED, MtCameraStatus

    lib = native()
    got = MtCameraStatus()
    result = lib.status(camera_id, got)
    if result == MT_DENIED:
        raise CameraDeniedError(camera_id, lib.last_message().decode(errors="replace"))
    if result != 0:
        raise CameraError("boardcam_mt_status", camera_id)
    if not got.owned:
        return {"owned": False}

    def peer(p: Any, subscriber: bool) -> Dict[str, Any]:
        entry = {"pid": p.pid, "program": p.program.decode(errors="replace"), "fps": p.fps}
        if subscriber:
            entry.update(held=p.held, frames=p.frames, dropped=p.dropped)
        return entry

    return {"owned": True, "width": got.width, "height": got.height, "fps": got.fps, "frames": got.frames,
            "copies": got.copies,
            "owner": peer(got.owner, False),
            "subscribers": [peer(got.subscribers[i], True) for i in range(got.subscriber_count)]}
