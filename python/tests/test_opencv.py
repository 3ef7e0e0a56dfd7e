"""OpenCV as a consumer: cv2.VideoCapture through boardcamsrc, and
cv2.cvtColor on a frame's array, both against the reference frames."""
import os
import tempfile
import time

import numpy as np
import pytest

import boardcam
from boardcam._convert import nv12_to_rgb
from conftest import READ_FRAME_FROM_CAMERA

cv2 = pytest.importorskip("cv2", reason="OpenCV (python3-opencv) is not installed")
if "GStreamer:                   YES" not in cv2.getBuildInformation():
    pytest.skip("this OpenCV is built without GStreamer", allow_module_level=True)

#: Mean absolute difference per sample allowed between OpenCV's BGR and the
#: reference converted by the package (`to_rgb()`): converters differ by a
#: few levels in their coefficients and in how they spread chroma over the
#: bars' edges. A frame 15 periods away, its moving block elsewhere, is off
#: by far more, which the tests check so that the bound means something.
MEAN_ERROR = 5.0


@pytest.fixture
def gstreamer():
    """OpenCV's GStreamer sees the build tree's plugin and a fixed set of system plugins."""
    if "BOARDCAM_TEST_GST_PLUGIN_DIR" not in os.environ:
        pytest.skip("the GStreamer plugin is not built")
    os.environ["GST_PLUGIN_PATH"] = os.environ["BOARDCAM_TEST_GST_PLUGIN_DIR"]
    os.environ["GST_PLUGIN_SYSTEM_PATH"] = os.environ["BOARDCAM_TEST_GST_SYSTEM_PLUGINS"]
    os.environ["GST_REGISTRY"] = os.path.join(tempfile.mkdtemp(), "registry.bin")
    os.environ["GST_REGISTRY_FORK"] = "no"


def pipeline(camera: int, width: int, height: int, fps: int, keep_every_frame: bool = False) -> str:
    """The README's recipe; the tests keep every frame so that read k is the
    camera's k-th delivered frame."""
    sink = "appsink" if keep_every_frame else "appsink drop=true max-buffers=1"
    return (f"boardcamsrc camera={camera} ! video/x-raw,width={width},height={height},framerate={fps}/1 ! "
            f"videoconvert ! video/x-raw,format=BGR ! {sink}")


def reference_error(board, camera: int, index: int, bgr: np.ndarray) -> float:
    """Mean error between `bgr` and frame `index` of the camera, converted by the package."""
    height, width = bgr.shape[:2]
    reference = board.reference(camera, index, width, height)
    expected = nv12_to_rgb(reference[:height], reference[height:].reshape(height // 2, width // 2, 2))
    return float(np.abs(bgr[:, :, ::-1].astype(np.int16) - expected.astype(np.int16)).mean())


def delivered(board, camera: int) -> list:
    """The sensor frames the camera delivered, in order, from the simulator's
    journal. A paced sensor runs on its own clock: a reader held up (by a
    busy machine, a sanitizer) gets a later frame than the one after its
    last, so read k is the k-th frame delivered, not frame k."""
    return [e.frame for e in board.journal(READ_FRAME_FROM_CAMERA) if e.camera == camera and e.result == 1]


def test_video_capture_through_boardcamsrc_gives_the_reference_frames_in_bgr(board, gstreamer):
    board.lib.boardsim_set_pacing(True)
    capture = cv2.VideoCapture(pipeline(1, 320, 240, 30, keep_every_frame=True), cv2.CAP_GSTREAMER)
    assert capture.isOpened()
    try:
        frames = []
        for _ in range(5):
            ok, bgr = capture.read()
            assert ok
            assert bgr.shape == (240, 320, 3) and bgr.dtype == np.uint8
            frames.append(bgr)
        indexes = delivered(board, 1)
        for read, bgr in enumerate(frames):
            index = indexes[read]
            assert reference_error(board, 1, index, bgr) < MEAN_ERROR, (read, indexes)
            assert reference_error(board, 1, index + 15, bgr) > MEAN_ERROR, "the bound tells frames apart"
        assert capture.get(cv2.CAP_PROP_FRAME_WIDTH) == 320
        assert capture.get(cv2.CAP_PROP_FRAME_HEIGHT) == 240
        assert capture.get(cv2.CAP_PROP_FPS) == pytest.approx(30)
    finally:
        capture.release()
    assert board.live_buffers() == 0


def test_the_live_recipe_keeps_only_the_newest_frame(board, gstreamer):
    board.lib.boardsim_set_pacing(True)
    capture = cv2.VideoCapture(pipeline(0, 160, 120, 30), cv2.CAP_GSTREAMER)
    assert capture.isOpened()
    try:
        ok, _ = capture.read()
        assert ok
        time.sleep(0.5)  # a slow consumer: 15 frames arrive meanwhile
        ok, bgr = capture.read()
        assert ok
        # The frame read now is a recent one, not the one after the last read.
        assert reference_error(board, 0, 1, bgr) > MEAN_ERROR
    finally:
        capture.release()
    assert board.live_buffers() == 0


def test_cvtcolor_on_a_frame_array_matches_to_rgb(board):
    with boardcam.Camera(0, width=320, height=240) as cam, cam.read() as frame:
        bgr = cv2.cvtColor(frame.array, cv2.COLOR_YUV2BGR_NV12)
        expected = frame.to_rgb()
    assert bgr.shape == (240, 320, 3)
    assert float(np.abs(bgr[:, :, ::-1].astype(np.int16) - expected.astype(np.int16)).mean()) < MEAN_ERROR


def test_both_cameras_in_one_process_through_two_captures(board, gstreamer):
    board.lib.boardsim_set_pacing(True)
    captures = [cv2.VideoCapture(pipeline(camera, 160, 120, 30, keep_every_frame=True), cv2.CAP_GSTREAMER)
                for camera in (0, 1)]
    try:
        assert all(c.isOpened() for c in captures)
        frames = {0: [], 1: []}
        for _ in range(5):
            for camera, capture in enumerate(captures):
                ok, bgr = capture.read()
                assert ok
                frames[camera].append(bgr)
        for camera in (0, 1):
            indexes = delivered(board, camera)
            for read, bgr in enumerate(frames[camera]):
                assert reference_error(board, camera, indexes[read], bgr) < MEAN_ERROR, (camera, read, indexes)
    finally:
        for capture in captures:
            capture.release()
    assert board.live_buffers() == 0
