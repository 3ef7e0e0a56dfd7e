"""A camera opened through libboardcam-mt."""
from __future__ import annotations

import ctypes
import threading
from types import TracebackType
from typing import Iterator, Optional, Type

from ._errors import CameraBusyError, CameraClosedError, CameraError
from ._frame import Frame
from ._native import MT_BUSY, MT_INTERRUPTED, MtFrame, native


class Camera:
    """Camera ``camera_id`` (0 or 1), open at a frame rate and size.

    Opening calls ``OpenCameraEx``; :meth:`close`, or leaving a ``with``
    block, calls ``CloseCameraEx``. Frames are NV12 (12 bits per pixel).

    A camera has one owner in the process: opening one that is already open
    (by another ``Camera``, or a GStreamer ``boardcamsrc``) raises
    :class:`CameraBusyError`. Different cameras may be read from different
    threads at the same time, each at its own rate; :meth:`close` may be
    called from another thread to stop a :meth:`read` that is waiting.

    Args:
        camera_id: 0 or 1.
        fps: frames per second.
        width: frame width in pixels (even).
        height: frame height in pixels (even).

    Raises:
        CameraBusyError: the camera is already open in this process.
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
        # Reads in progress, so that close() never frees the handle under one.
        self._state = threading.Condition()
        self._reads = 0
        handle = ctypes.c_void_p()
        result = self._native.open(camera_id, fps, width, height, ctypes.byref(handle))
        if result == MT_BUSY:
            raise CameraBusyError(camera_id)
        if result != 0:
            raise CameraError("OpenCameraEx", camera_id)
        self._handle = handle
        self._closed = False

    @property
    def closed(self) -> bool:
        """True once the camera has been closed."""
        return self._closed

    def read(self) -> Frame:
        """Reads the next frame; waits, holding no lock, until the camera delivers it.

        Returns:
            A :class:`Frame` that owns the device buffer; use it in a ``with``
            block or call :meth:`Frame.release` when done.

        Raises:
            CameraError: the read failed; no device buffer is left behind.
            CameraClosedError: the camera is closed, or was closed by another
                thread while this read waited (a ``ValueError``).
        """
        with self._state:
            if self._closed:
                raise CameraClosedError(self.id)
            self._reads += 1
        record = MtFrame()
        try:
            result = self._native.read(self._handle, ctypes.byref(record))
        finally:
            with self._state:
                self._reads -= 1
                self._state.notify_all()
        if result == MT_INTERRUPTED:
            raise CameraClosedError(self.id, f"camera {self.id} was closed while a read waited for its frame")
        if result != 0:
            raise CameraError("ReadCameraFrame", self.id)
        return Frame(self._native, self.id, self.width, self.height, record)

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

        May be called from another thread: a :meth:`read` waiting for its
        frame then raises :class:`CameraClosedError` at once. Frames already
        read stay valid until released.

        Raises:
            CameraError: the board refused to close the camera.
        """
        with self._state:
            if self._closed:
                return
            self._closed = True
            # Interrupt a waiting read, and let any read in progress return
            # before the handle goes.
            self._native.set_flushing(self._handle, True)
            while self._reads > 0:
                self._state.wait()
        result = self._native.close(self._handle)
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
