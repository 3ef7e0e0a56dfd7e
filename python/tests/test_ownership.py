"""A camera has one owner in the process, whether a Camera or a GStreamer element."""
import os
import tempfile
import time

import pytest

import boardcam
from conftest import OPEN_CAMERA


def test_a_second_camera_object_on_the_same_camera_is_busy(board):
    with boardcam.Camera(0, width=32, height=16) as owner:
        opens = len(board.journal(OPEN_CAMERA))
        with pytest.raises(boardcam.CameraBusyError) as caught:
            boardcam.Camera(0, width=64, height=48)
        assert isinstance(caught.value, boardcam.CameraError)
        assert caught.value.camera == 0
        assert "already in use in this process" in str(caught.value)
        assert len(board.journal(OPEN_CAMERA)) == opens
        with owner.read() as frame:  # untouched
            assert frame.array.shape == (24, 32)
        with boardcam.Camera(1, width=32, height=16):
            pass
    with boardcam.Camera(0, width=64, height=48) as again:
        again.read().release()
    assert board.live_buffers() == 0


def _gstreamer():
    """GStreamer through PyGObject, seeing the build tree's plugin only."""
    if "BOARDCAM_TEST_GST_PLUGIN_DIR" not in os.environ:
        pytest.skip("the GStreamer plugin is not built")
    gi = pytest.importorskip("gi", reason="PyGObject (python3-gi) is not installed")
    gi.require_version("Gst", "1.0")
    os.environ["GST_PLUGIN_PATH"] = os.environ["BOARDCAM_TEST_GST_PLUGIN_DIR"]
    os.environ["GST_PLUGIN_SYSTEM_PATH"] = os.environ["BOARDCAM_TEST_GST_SYSTEM_PLUGINS"]
    os.environ["GST_REGISTRY"] = os.path.join(tempfile.mkdtemp(), "registry.bin")
    os.environ["GST_REGISTRY_FORK"] = "no"
    from gi.repository import Gst
    Gst.init(None)
    return Gst


def _pipeline(gst, camera):
    return gst.parse_launch(f"boardcamsrc camera={camera} ! video/x-raw,width=32,height=16,framerate=30/1 ! "
                            "fakesink name=sink sync=false")


def _first_message(gst, pipeline, types, seconds=10):
    return pipeline.get_bus().timed_pop_filtered(int(seconds * gst.SECOND), types)


def test_the_element_is_refused_a_camera_the_package_owns(board):
    gst = _gstreamer()
    with boardcam.Camera(0, width=32, height=16) as cam:
        pipeline = _pipeline(gst, 0)
        pipeline.set_state(gst.State.PLAYING)
        message = _first_message(gst, pipeline, gst.MessageType.ERROR)
        assert message is not None
        error, _ = message.parse_error()
        assert error.matches(gst.ResourceError.quark(), gst.ResourceError.BUSY)
        assert error.message == "Camera 0 is already in use in this process"
        pipeline.set_state(gst.State.NULL)
        cam.read().release()
    assert board.live_buffers() == 0


def test_the_package_is_refused_a_camera_the_element_owns_and_calls_never_overlap(board):
    gst = _gstreamer()
    board.lib.boardsim_set_pacing(True)
    pipeline = _pipeline(gst, 0)
    pipeline.set_state(gst.State.PLAYING)
    assert pipeline.get_state(10 * gst.SECOND)[0] == gst.StateChangeReturn.SUCCESS
    # Wait until the element's streaming thread has the camera.
    for _ in range(200):
        if board.journal(OPEN_CAMERA):
            break
        time.sleep(0.01)
    with pytest.raises(boardcam.CameraBusyError):
        boardcam.Camera(0, width=32, height=16)
    # The other camera, from Python, beside the element's stream.
    with boardcam.Camera(1, fps=60, width=32, height=16) as cam:
        for frame in cam.frames(30):
            frame.release()
    assert _first_message(gst, pipeline, gst.MessageType.ERROR, seconds=0) is None
    pipeline.set_state(gst.State.NULL)
    assert board.overlap() == ""
    assert board.live_buffers() == 0
