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
    """Another program has the camera and this one cannot share it: at
    another size or a lower rate than asked, by a program that does not
    share it, or with as many programs sharing it as it takes.

    The message names the owner, for example "camera 0 is in use by
    boardcam-serve (pid 812) at 1280x720, 30 fps; open it at that size, at
    30 fps or less, to share it". Nothing was called in the camera library;
    the owner's stream is untouched.

    Attributes:
        camera: the camera id.
        message: what libboardcam-mt said.
    """

    def __init__(self, camera: int, message: str = "") -> None:
        RuntimeError.__init__(self, message or f"camera {camera} is in use")
        self.function = "OpenCameraEx"
        self.camera = camera
        self.message = message


class CameraDeniedError(CameraBusyError):
    """Another user's program has the camera, and this user may not share it
    (only root, the owner's user and group video may).

    Attributes:
        camera: the camera id.
        message: why, as libboardcam-mt said it.
    """


class CameraClosedError(ValueError):
    """The camera was closed, possibly by another thread while ``read()`` waited.

    Attributes:
        camera: the camera id.
    """

    def __init__(self, camera: int, message: Optional[str] = None) -> None:
        super().__init__(message or f"camera {camera} is closed")
        self.camera = camera
