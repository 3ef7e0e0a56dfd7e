"""Errors raised by boardcam."""
from __future__ import annotations


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
