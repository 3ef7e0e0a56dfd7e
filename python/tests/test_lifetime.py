"""Each frame's device buffer is released exactly once, never while an array
can still read it, and never forgotten."""
import gc

import numpy as np
import pytest

import boardcam
from conftest import PIMO_FREE, READ_FRAME_FROM_CAMERA


@pytest.fixture
def cam(board):
    with boardcam.Camera(0, width=64, height=48) as camera:
        yield camera
    assert board.live_buffers() == 0


def frees(board):
    return [e.ptr for e in board.journal(PIMO_FREE)]


def test_leaving_with_releases_the_buffer_once(board, cam):
    with cam.read() as frame:
        assert board.live_buffers() == 1
    assert board.live_buffers() == 0 and frame.released
    frame.release()  # a second release does nothing
    assert frees(board) == [board.journal(READ_FRAME_FROM_CAMERA)[0].ptr]
    with pytest.raises(ValueError, match="released"):
        frame.array


def test_an_unreleased_frame_goes_with_its_last_reference(board, cam):
    frame = cam.read()
    array = frame.array
    del frame
    gc.collect()
    # The array still reads the frame: the buffer is alive, and intact.
    assert board.live_buffers() == 1
    np.testing.assert_array_equal(array, board.reference(0, 0, 64, 48))
    del array
    gc.collect()
    assert board.live_buffers() == 0
    assert len(frees(board)) == 1


def test_release_with_a_live_view_raises_buffer_error_and_keeps_the_buffer(board, cam):
    frame = cam.read()
    luma = frame.y[10:20]  # a view of a view
    with pytest.raises(BufferError):
        frame.release()
    assert board.live_buffers() == 1 and not frame.released
    np.testing.assert_array_equal(luma, board.reference(0, 0, 64, 48)[10:20])
    del luma
    frame.release()
    assert board.live_buffers() == 0
    assert len(frees(board)) == 1


def test_copies_and_rgb_are_independent_of_the_frame(board, cam):
    with cam.read() as frame:
        copy = frame.array.copy()
        rgb = frame.to_rgb()
    assert board.live_buffers() == 0
    np.testing.assert_array_equal(copy, board.reference(0, 0, 64, 48))
    assert rgb.shape == (48, 64, 3) and rgb.flags.owndata


def test_frames_releases_each_frame_when_the_loop_moves_on(board, cam):
    live = []
    kept = None
    for index, frame in enumerate(cam.frames(10)):
        live.append(board.live_buffers())
        if index == 3:
            kept = frame
    del frame
    # At most the frame in hand and the one before it, which goes when the
    # loop variable moves on; the kept one stays readable.
    assert max(live) <= 3
    assert board.live_buffers() == 1
    np.testing.assert_array_equal(kept.array, board.reference(0, 3, 64, 48))
    kept.release()
    assert board.live_buffers() == 0
    assert len(frees(board)) == 10
