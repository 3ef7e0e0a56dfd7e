"""A frame: NV12 pixels in the device's image-processing memory, seen
through numpy without a copy, and released exactly once."""
from __future__ import annotations

import ctypes
import functools
import sys
import weakref
from types import TracebackType
from typing import Optional, Type

import numpy as np

from ._convert import nv12_to_rgb
from ._native import MtFrame, Native


@functools.lru_cache(maxsize=16)
def _bytes_type(size: int) -> type:
    return ctypes.c_uint8 * size


def _release_device_buffer(native: Native, address: int) -> None:
    native.release_frame(address)


class Frame:
    """One frame read from a camera.

    The pixels stay in the device buffer the camera library returned; every
    array this frame hands out is a view of it. The device buffer is released
    exactly once: by :meth:`release`, by leaving a ``with`` block, or, when
    neither happens, as soon as the frame and every array viewing it are
    garbage.

    Attributes:
        camera: id of the camera the frame came from.
        width: width in pixels.
        height: height in pixels.
        size: bytes in the frame, ``width * height * 3 // 2``.
        sequence: camera periods since the camera was opened (0 for the first
            frame); a step of ``n + 1`` from the previous frame means ``n``
            frames were missed.
        dropped: frames the camera produced and nobody read, just before this one.
        timestamp_ns: arrival time on ``CLOCK_MONOTONIC`` in nanoseconds,
            comparable with :func:`time.monotonic_ns`.
        realtime_ns: arrival time on ``CLOCK_REALTIME`` (nanoseconds since
            the epoch), comparable with :func:`time.time_ns`.
        read_only: True for a frame shared with other programs, whose arrays
            cannot be written (``.copy()`` one to change it).
    """

    def __init__(self, native: Native, camera: int, width: int, height: int, record: MtFrame) -> None:
        self.camera = camera
        self.width = width
        self.height = height
        self.size = size = int(record.size)
        self.address = address = int(record.data)
        self.sequence = int(record.sequence)
        self.dropped = int(record.dropped)
        self.timestamp_ns = int(record.monotonic_ns)
        self.realtime_ns = int(record.realtime_ns)
        # Every view handed out is a view of this one array, so its reference
        # count tells whether any view is alive.
        root: Optional[np.ndarray] = np.frombuffer(_bytes_type(size).from_address(address), dtype=np.uint8)
        # A frame shared with other programs is mapped read-only: writing it
        # would fault, so numpy refuses to.
        self.read_only = bool(native.frame_is_read_only(address))
        if self.read_only:
            root.flags.writeable = False
        self._root = root
        self._release = weakref.finalize(root, _release_device_buffer, native, address)

    def _view(self) -> np.ndarray:
        if self._root is None:
            raise ValueError("the frame has been released")
        return self._root

    @property
    def released(self) -> bool:
        """True once the device buffer has been released."""
        return not self._release.alive

    @property
    def array(self) -> np.ndarray:
        """The whole NV12 frame, shape ``(height * 3 // 2, width)``, uint8: a view of device memory."""
        return self._view().reshape(self.height * 3 // 2, self.width)

    @property
    def y(self) -> np.ndarray:
        """The luma plane, shape ``(height, width)``: a view of device memory."""
        return self._view()[: self.width * self.height].reshape(self.height, self.width)

    @property
    def uv(self) -> np.ndarray:
        """The interleaved chroma plane, shape ``(height // 2, width // 2, 2)`` (U, V): a view of device memory."""
        return self._view()[self.width * self.height :].reshape(self.height // 2, self.width // 2, 2)

    def to_rgb(self) -> np.ndarray:
        """A new ``(height, width, 3)`` uint8 RGB array, BT.601 limited range; independent of the frame."""
        return nv12_to_rgb(self.y, self.uv)

    def release(self) -> None:
        """Releases the device buffer now. Releasing twice does nothing.

        Raises:
            BufferError: an array viewing the frame is still alive. The frame
                and its buffer are kept; drop the views (or ``.copy()`` what
                you need) and release again.
        """
        if self._root is None:
            return
        # References: self._root and getrefcount's own argument.
        views = sys.getrefcount(self._root) - 2
        if views > 0:
            raise BufferError(f"the frame has {views} exported array view(s); release them first")
        self._root = None
        self._release()

    def __enter__(self) -> "Frame":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.release()

    def __repr__(self) -> str:
        state = "released" if self.released else f"at 0x{self.address:x}"
        return f"<boardcam.Frame camera {self.camera} #{self.sequence} {self.width}x{self.height} NV12 {state}>"
