"""A camera opened through libboardcam-mt."""
from __future__ import annotations

import ctypes
import threading
from types import TracebackType
from typing import Iterator, Optional, Type

from ._errors import CameraBusyError, CameraClosedError, CameraDeniedError, CameraError
from ._frame import Frame
from ._native import MT_BUSY, MT_DENIED, MT_INTERRUPTED, MtFrame, native


class Camera:
    """Camera ``camera_id`` (0 or 1), open at a frame rate and size.

    The first program to open a camera owns it: opening calls
    ``OpenCameraEx``, and :meth:`close`, or leaving a ``with`` block, calls
    ``CloseCameraEx``. When another program, or another ``Camera`` or
    ``boardcamsrc`` of this one, has the camera already, this one shares it:
    it gets the owner's frames at the owner's size, at the rate it asks (the
    owner's or lower). Frames are NV12 (12 bits per pixel); a shared frame is
    read-only.

    With no arguments but the id, the camera is opened at whatever it runs at
    when another program has it, else at 640x480 and 30 fps; :attr:`fps`,
    :attr:`width` and :attr:`height` tell what it got. Different cameras may
    be read from different threads at the same time, each at its own rate;
    :meth:`close` may be called from another thread to stop a :meth:`read`
    that is waiting.

    Args:
        camera_id: 0 or 1.
        fps: frames per second; 0: the owner's, or 30.
        width: frame width in pixels (even); 0 with height 0: the owner's, or 640.
        height: frame height in pixels (even); 0 with width 0: the owner's, or 480.

    Raises:
        CameraBusyError: another program has the camera at another size or a
            lower rate, or does not share it; the message names the owner.
        CameraDeniedError: another user's program has it, and this user may
            not share it.
        CameraError: ``OpenCameraEx`` failed (an invalid id or size, or the
            board refused).
        LibraryNotFoundError: the camera library could not be loaded.
    """

    def __init__(self, camera_id: int, fps: int = 0, width: int = 0, height: int = 0) -> None:
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
            raise CameraBusyError(camera_id, self._native.last_message().decode(errors="replace"))
        if result == MT_DENIED:
            raise CameraDeniedError(camera_id, self._native.last_message().decode(errors="replace"))
        if result != 0:
            raise CameraError("OpenCameraEx", camera_id)
        self._handle = handle
        self._closed = False
        got = [ctypes.c_int32() for _ in range(3)]
        self._native.format(handle, *(ctypes.byref(value) for value in got))
        self.fps, self.width, self.height = (value.value for value in got)

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
            CameraBusyError: the program this camera is shared with changed
                to a format this one does not fit; the message names it.
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
        if result == MT_BUSY:
            raise CameraBusyError(self.id, self._native.last_message().decode(errors="replace"))
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
