"""Opening, reading and closing, and what a frame holds."""
import ctypes

import numpy as np
import pytest

import boardcam
from conftest import CLOSE_CAMERA, OPEN_CAMERA, READ_FRAME_FROM_CAMERA, SET_CAMERA_PROPERTY


def test_open_read_close_goes_through_the_library(board):
    with boardcam.Camera(1, fps=15, width=320, height=240) as cam:
        assert not cam.closed
        with cam.read() as frame:
            assert (frame.camera, frame.width, frame.height, frame.size) == (1, 320, 240, 320 * 240 * 3 // 2)
    assert cam.closed
    assert [e.camera for e in board.journal(OPEN_CAMERA)] == [1]
    properties = {e.prop: tuple(e.value) for e in board.journal(SET_CAMERA_PROPERTY)}
    assert properties[2][0] == 15 and properties[1] == (320, 240) and properties[5][0] == 1
    assert [e.camera for e in board.journal(CLOSE_CAMERA)] == [1]
    cam.close()  # a second close does nothing
    assert len(board.journal(CLOSE_CAMERA)) == 1


def test_array_is_the_reference_frame_in_the_device_buffer(board):
    with boardcam.Camera(0, width=64, height=48) as cam:
        for index in range(3):
            with cam.read() as frame:
                array = frame.array
                assert array.dtype == np.uint8 and array.shape == (72, 64)
                np.testing.assert_array_equal(array, board.reference(0, index, 64, 48))
                # No copy: the array's memory is the buffer the camera wrote.
                assert array.ctypes.data == board.journal(READ_FRAME_FROM_CAMERA)[index].ptr
                del array


def test_planes_are_views_of_the_frame(board):
    with boardcam.Camera(1, width=32, height=16) as cam, cam.read() as frame:
        reference = board.reference(1, 0, 32, 16).reshape(-1)
        y, uv = frame.y, frame.uv
        assert y.shape == (16, 32) and uv.shape == (8, 16, 2)
        np.testing.assert_array_equal(y.reshape(-1), reference[: 32 * 16])
        np.testing.assert_array_equal(uv.reshape(-1), reference[32 * 16 :])
        assert y.ctypes.data == frame.address and uv.ctypes.data == frame.address + 32 * 16
        del y, uv


def test_to_rgb_equals_the_capture_tools_conversion(board, capture_tool_rgb):
    # Frame 20 of camera 0 shows every bar and the white block.
    with boardcam.Camera(0, width=320, height=240) as cam:
        for _ in range(20):
            cam.read().release()
        with cam.read() as frame:
            rgb = frame.to_rgb()
            expected = capture_tool_rgb(frame.array, 320, 240)
    assert rgb.shape == (240, 320, 3) and rgb.dtype == np.uint8
    np.testing.assert_array_equal(rgb, expected)
    # The pattern really has both: saturated bars and a white block.
    colours = {tuple(pixel) for pixel in rgb.reshape(-1, 3)}
    assert (235, 235, 235) in colours or (255, 255, 255) in colours
    assert len(colours) >= 8


def test_table_is_the_library_camera_table(board):
    before = boardcam.table()
    assert before == {"mediaLibInited": False,
                      "slots": [{"initialised": False, "id": 255, "fps": 0, "width": 0, "height": 0,
                                 "frameSize": 0}] * 2}
    with boardcam.Camera(1, fps=20, width=64, height=32):
        pass
    after = boardcam.table()
    assert after["mediaLibInited"] is True
    assert after["slots"][1] == {"initialised": True, "id": 1, "fps": 20, "width": 64, "height": 32,
                                 "frameSize": 64 * 32 * 3 // 2}
    assert after["slots"][0] == before["slots"][0]


def test_records_match_the_c_layout():
    from boardcam import _native

    assert ctypes.sizeof(_native.CameraSlot) == 24
    assert _native.CameraSlot.id.offset == 4 and _native.CameraSlot.frameSize.offset == 20
    assert ctypes.sizeof(_native.CameraMgr) == 52
    assert _native.CameraMgr.slots.offset == 4
    assert _native.CameraFrame.size.offset == 0
    assert _native.CameraFrame.data.offset == ctypes.sizeof(ctypes.c_void_p)
    # g_CameraMgr is exported with exactly that size.
    assert ctypes.sizeof(_native.native().table) == 52


@pytest.mark.parametrize("arguments", [("0",), (0, 30.0), (True,)])
def test_arguments_must_be_integers(board, arguments):
    with pytest.raises(TypeError):
        boardcam.Camera(*arguments)
    assert board.journal(OPEN_CAMERA) == []


def test_reading_a_closed_camera_is_refused(board):
    cam = boardcam.Camera(0, width=16, height=16)
    cam.close()
    with pytest.raises(ValueError, match="closed"):
        cam.read()
    assert board.journal(READ_FRAME_FROM_CAMERA) == []
