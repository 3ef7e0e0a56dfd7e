"""Every -1 from the library is a CameraError, and nothing is left behind."""
import pytest

import boardcam
from conftest import CLOSE_CAMERA, OPEN_CAMERA, PIMO_MALLOC, READ_FRAME_FROM_CAMERA, SET_CAMERA_PROPERTY, run_python


@pytest.mark.parametrize("call", [OPEN_CAMERA, SET_CAMERA_PROPERTY])
def test_refused_opening(board, call):
    board.fail(call, camera=1)
    with pytest.raises(boardcam.CameraError) as caught:
        boardcam.Camera(1)
    assert (caught.value.function, caught.value.camera) == ("OpenCameraEx", 1)
    assert "OpenCameraEx failed for camera 1" in str(caught.value)


@pytest.mark.parametrize("camera_id", [2, -1])
def test_invalid_ids(board, camera_id):
    with pytest.raises(boardcam.CameraError) as caught:
        boardcam.Camera(camera_id)
    assert caught.value.camera == camera_id
    assert board.journal(OPEN_CAMERA) == []


@pytest.mark.parametrize("call", [READ_FRAME_FROM_CAMERA, PIMO_MALLOC])
def test_refused_read_leaves_no_buffer(board, call):
    with boardcam.Camera(0, width=64, height=48) as cam:
        board.fail(call)
        with pytest.raises(boardcam.CameraError) as caught:
            cam.read()
        assert (caught.value.function, caught.value.camera) == ("ReadCameraFrame", 0)
        assert board.live_buffers() == 0
        board.lib.boardsim_clear_faults()
        cam.read().release()  # the camera still works


def test_refused_close(board):
    cam = boardcam.Camera(1, width=16, height=16)
    board.fail(CLOSE_CAMERA)
    with pytest.raises(boardcam.CameraError) as caught:
        cam.close()
    assert (caught.value.function, caught.value.camera) == ("CloseCameraEx", 1)


def test_faults_scripted_from_the_environment():
    result = run_python(
        "import boardcam\n"
        "cam = boardcam.Camera(0, width=16, height=16)\n"
        "try:\n"
        "    cam.read()\n"
        "except boardcam.CameraError as e:\n"
        "    print('error', e.function, e.camera)\n",
        BOARDSIM_FAIL="ReadFrameFromCamera:0", BOARDSIM_PACING="0")
    assert result.returncode == 0, result.stderr
    assert "error ReadCameraFrame 0" in result.stdout
    assert "still live" not in result.stderr


@pytest.mark.parametrize("variable", ["BOARDCAM_LIBRARY", "BOARDCAM_MT_LIBRARY"])
def test_a_missing_library_is_a_clear_os_error_on_first_use(variable):
    result = run_python(
        "import boardcam\n"  # importing loads nothing yet
        "try:\n"
        "    boardcam.Camera(0)\n"
        "except OSError as e:\n"
        "    print(type(e).__name__, isinstance(e, boardcam.LibraryNotFoundError), e)\n",
        **{variable: "/nonexistent/libnothing.so"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("LibraryNotFoundError True")
    assert "/nonexistent/libnothing.so" in result.stdout
    assert variable in result.stdout
