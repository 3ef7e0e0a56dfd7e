"""A camera opened through the camera library."""
from __future__ import annotations

import ctypes
from types import TracebackType
from typing import Iterator, Optional, Type

from ._errors import CameraError
from ._frame import Frame
from ._native import LOCK, CameraFrame, native


class Camera:
    """Camera ``camera_id`` (0 or 1), open at a frame rate and size.

    Opening calls ``OpenCameraEx``; :meth:`close`, or leaving a ``with``
    block, calls ``CloseCameraEx``. Frames are NV12 (12 bits per pixel).

    Args:
        camera_id: 0 or 1.
        fps: frames per second.
        width: frame width in pixels (even).
        height: frame height in pixels (even).

    Raises:
        CameraError: ``OpenCameraEx`` failed (an invalid id or size, or the
            board refused).
        LibraryNotFoundError: the camera library could not be loaded.
    """

    def __init__(self, camera_id: int, fps: int = 30, width: int = 640, height: int = 480) -> None:
        for name, value in (("camera_id", camera_id), ("fps", fps), ("width", width), ("height", height)):
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"{name} must be an int, not {type(value).__name__}")
            if not -2**31 <= value < 2**31:
                raise ValueError(f"{name} {value} does not fit a 32-bit integer")
        self.id = camera_id
        self.fps = fps
        self.width = width
        self.height = height
        self._native = native()
        self._closed = True
        with LOCK:
            result = self._native.OpenCameraEx(camera_id, fps, width, height)
        if result != 0:
            raise CameraError("OpenCameraEx", camera_id)
        self._closed = False

    @property
    def closed(self) -> bool:
        """True once the camera has been closed."""
        return self._closed

    def read(self) -> Frame:
        """Reads the next frame (``ReadCameraFrame``); blocks until the camera delivers it.

        Returns:
            A :class:`Frame` that owns the device buffer; use it in a ``with``
            block or call :meth:`Frame.release` when done.

        Raises:
            CameraError: the read failed; no device buffer is left behind.
            ValueError: the camera is closed.
        """
        if self._closed:
            raise ValueError(f"camera {self.id} is closed")
        record = CameraFrame()
        with LOCK:
            result = self._native.ReadCameraFrame(self.id, ctypes.byref(record))
        if result != 0:
            raise CameraError("ReadCameraFrame", self.id)
        return Frame(self._native, self.id, self.width, self.height, record.size, record.data)

    def frames(self, count: Optional[int] = None) -> Iterator[Frame]:
        """Yields ``count`` frames, or frames until the loop stops when ``count`` is None.

        Each frame is released when the loop moves on to the next one, unless
        the caller kept a reference to it or to an array viewing it; then it
        is released once those are gone.
        """
        taken = 0
        while count is None or taken < count:
            taken += 1
            # No reference is kept here: once the loop variable moves on to
            # the next frame, the last reference to this one goes with it.
            yield self.read()

    def close(self) -> None:
        """Closes the camera (``CloseCameraEx``). Closing twice does nothing.

        Frames already read stay valid until released.

        Raises:
            CameraError: the board refused to close the camera.
        """
        if self._closed:
            return
        self._closed = True
        with LOCK:
            result = self._native.CloseCameraEx(self.id)
        if result != 0:
            raise CameraError("CloseCameraEx", self.id)

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<boardcam.Camera {self.id} {self.width}x{self.height} at {self.fps} fps, {state}>"
