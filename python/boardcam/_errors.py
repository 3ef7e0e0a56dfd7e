"""Errors raised by boardcam."""
from __future__ import annotations

from typing import Optional


class CameraError(RuntimeError):
    """A camera library function returned -1.

    Attributes:
        function: the library function that failed, e.g. ``"ReadCameraFrame"``.
        camera: the camera id it was called with.
    """

    def __init__(self, function: str, camera: int) -> None:
        super().__init__(f"{function} failed for camera {camera}")
        self.function = function
        self.camera = camera


class CameraBusyError(CameraError):
    """The camera is already open in this process: by another ``Camera``, a
    GStreamer ``boardcamsrc`` or any other user of libboardcam-mt.

    Nothing was called in the camera library; the owner's stream is untouched.

    Attributes:
        camera: the camera id.
    """

    def __init__(self, camera: int) -> None:
        RuntimeError.__init__(self, f"camera {camera} is already in use in this process")
        self.function = "OpenCameraEx"
        self.camera = camera


class CameraClosedError(ValueError):
    """The camera was closed, possibly by another thread while ``read()`` waited.

    Attributes:
        camera: the camera id.
    """

    def __init__(self, camera: int, message: Optional[str] = None) -> None:
        super().__init__(message or f"camera {camera} is closed")
        self.camera = camera
