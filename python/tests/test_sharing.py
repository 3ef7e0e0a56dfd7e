"""A camera is shared: a second Camera, or a Camera beside a GStreamer
element, gets the owner's frames; another size is refused naming the owner."""
import os
import tempfile
import time

import pytest

import boardcam
from conftest import OPEN_CAMERA


def test_a_second_camera_object_shares_the_owners_frames_read_only(board):
    board.lib.boardsim_set_pacing(True)
    with boardcam.Camera(0, width=32, height=16) as owner:
        opens = len(board.journal(OPEN_CAMERA))
        # Opened with no size or rate: the owner's.
        with boardcam.Camera(0) as shared:
            assert (shared.width, shared.height, shared.fps) == (32, 16, 30)
            assert len(board.journal(OPEN_CAMERA)) == opens, "the camera is opened once"
            with shared.read() as frame:
                assert frame.read_only and not frame.array.flags.writeable
                with pytest.raises(ValueError):
                    frame.array[0, 0] = 1
                reference = board.reference(0, frame.sequence, 32, 16)
                assert (frame.array == reference).all(), "the sensor frame of its sequence"
        with owner.read() as frame:  # the owner's own frames are its device buffers
            assert not frame.read_only and frame.array.flags.writeable
            assert frame.array.shape == (24, 32)
        with pytest.raises(boardcam.CameraBusyError) as caught:
            boardcam.Camera(0, width=64, height=48)
        assert isinstance(caught.value, boardcam.CameraError) and caught.value.camera == 0
        assert f"(pid {os.getpid()}) at 32x16, 30 fps; open it at that size, at 30 fps or less, to share it" \
            in str(caught.value)
        with pytest.raises(boardcam.CameraBusyError):
            boardcam.Camera(0, fps=60, width=32, height=16)
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


def test_the_element_shares_a_camera_the_package_owns(board):
    gst = _gstreamer()
    board.lib.boardsim_set_pacing(True)
    with boardcam.Camera(0, width=32, height=16) as cam:
        pipeline = _pipeline(gst, 0)
        frames = []
        pipeline.get_by_name("sink").set_property("signal-handoffs", True)
        pipeline.get_by_name("sink").connect("handoff", lambda sink, buffer, pad: frames.append(buffer.offset))
        pipeline.set_state(gst.State.PLAYING)
        for _ in range(60):
            cam.read().release()
            if len(frames) >= 10:
                break
        assert _first_message(gst, pipeline, gst.MessageType.ERROR, seconds=0) is None
        pipeline.set_state(gst.State.NULL)
        assert len(frames) >= 10 and frames == sorted(frames)
    assert len(board.journal(OPEN_CAMERA)) == 1
    assert board.live_buffers() == 0


def test_the_package_shares_a_camera_the_element_owns_and_calls_never_overlap(board):
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
    with boardcam.Camera(0) as shared:
        assert (shared.width, shared.height) == (32, 16)
        for frame in shared.frames(10):
            assert frame.read_only
            frame.release()
    with pytest.raises(boardcam.CameraBusyError):
        boardcam.Camera(0, width=64, height=48)
    # The other camera, from Python, beside the element's stream.
    with boardcam.Camera(1, fps=60, width=32, height=16) as cam:
        for frame in cam.frames(30):
            frame.release()
    assert _first_message(gst, pipeline, gst.MessageType.ERROR, seconds=0) is None
    pipeline.set_state(gst.State.NULL)
    assert len(board.journal(OPEN_CAMERA)) == 2
    assert board.overlap() == ""
    assert board.live_buffers() == 0
