"""Real V4L2 programs on the board's cameras, under boardcamify:
v4l2-compliance, ffmpeg, OpenCV, GStreamer's v4l2src and v4l2-ctl. Every
frame they get is checked against the camera's own, in the format asked for."""
from __future__ import annotations

import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

from conftest import SANITIZED, as_nv12, as_yuyv, boardcamify, digest, frame_indices, program_env, BOARDCAMIFY

REFERENCES = 400  # frames of the sensor a test's programs may reach


def references_of(board, camera: int, width: int, height: int, convert) -> dict:
    references: dict = {}
    for index, frame in enumerate(board.frames(camera, width, height, REFERENCES)):
        references.setdefault(digest(convert(frame, width, height)), []).append(index)
    return references


def assert_camera_frames(indices: list, count: int) -> None:
    """`count` frames, each the camera's, in the order it made them."""
    assert len(indices) == count
    assert -1 not in indices, f"frames that are not the camera's, at {[i for i, x in enumerate(indices) if x < 0]}"
    assert all(b > a for a, b in zip(indices, indices[1:])), f"out of order: {indices}"


@pytest.mark.parametrize("formats", [["-s"], ["-s", "-f"]], ids=["streaming", "every_format"])
def test_v4l2_compliance_passes(formats) -> None:
    done = boardcamify(["v4l2-compliance", "-d", "/dev/video0", *formats], timeout=600)
    summary = [line for line in done.stdout.splitlines() if "Total for" in line]
    assert summary and re.search(r"Failed: 0\b", summary[-1]), done.stdout[-6000:] + done.stderr[-2000:]
    assert done.returncode == 0, summary[-1]
    print(summary[-1])


@pytest.mark.parametrize("pixel_format, convert, frame_bytes", [
    ("nv12", as_nv12, 640 * 480 * 3 // 2),
    ("yuyv422", as_yuyv, 640 * 480 * 2),
], ids=["nv12", "yuyv422"])
def test_ffmpeg_captures_sixty_frames_of_the_camera(board, workdir: Path, pixel_format, convert, frame_bytes) -> None:
    out = workdir / "out.raw"
    done = boardcamify(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "v4l2", "-input_format", pixel_format,
                        "-video_size", "640x480", "-framerate", "30", "-i", "/dev/video0", "-frames:v", "60",
                        "-fps_mode", "passthrough", "-c:v", "rawvideo", "-pix_fmt", pixel_format, "-f", "rawvideo", str(out)])
    assert done.returncode == 0, done.stderr[-3000:]
    indices = frame_indices(out.read_bytes(), frame_bytes, references_of(board, 0, 640, 480, convert))
    assert_camera_frames(indices, 60)


OPENCV_PROGRAM = """
import sys, cv2, numpy as np
capture = cv2.VideoCapture(0, cv2.CAP_V4L2)
assert capture.isOpened(), "not opened"
capture.set(cv2.CAP_PROP_FRAME_WIDTH, 320)
capture.set(cv2.CAP_PROP_FRAME_HEIGHT, 240)
frames = []
for _ in range(10):
    ok, frame = capture.read()
    assert ok, "no frame"
    frames.append(frame)
capture.release()
np.save(sys.argv[1], np.stack(frames))
"""


def test_opencv_video_capture_gives_bgr_frames_of_the_size_asked(board, workdir: Path) -> None:
    import cv2
    out = workdir / "frames.npy"
    done = boardcamify(["/usr/bin/python3", "-c", OPENCV_PROGRAM, str(out)])
    assert done.returncode == 0, done.stderr[-3000:]
    frames = np.load(out)
    assert frames.shape == (10, 240, 320, 3), frames.shape
    # Each is a frame of the camera's, whole (no row stride lost), in BGR.
    references = [cv2.cvtColor(frame, cv2.COLOR_YUV2BGR_I420).astype(np.int16)
                  for frame in board.frames(0, 320, 240, REFERENCES)]
    for frame in frames.astype(np.int16):
        closest = min(float(np.abs(frame - reference).mean()) for reference in references)
        assert closest < 3, f"the nearest frame of the camera's differs by {closest:.1f} on average"


def test_v4l2src_negotiates_and_plays(board, workdir: Path) -> None:
    out = workdir / "frames.nv12"
    done = boardcamify(["gst-launch-1.0", "-q", "v4l2src", "device=/dev/video1", "num-buffers=30", "!",
                        "video/x-raw,format=NV12,width=320,height=240,framerate=30/1", "!",
                        "filesink", f"location={out}"])
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]
    indices = frame_indices(out.read_bytes(), 320 * 240 * 3 // 2, references_of(board, 1, 320, 240, as_nv12))
    assert_camera_frames(indices, 30)


def test_v4l2_ctl_lists_the_formats_and_streams(board, workdir: Path) -> None:
    listed = boardcamify(["v4l2-ctl", "-d", "/dev/video0", "--list-formats-ext"])
    assert listed.returncode == 0, listed.stderr
    for name in ("'NV12'", "'YUYV'", "'YU12'", "Size: Discrete 640x480", "Size: Discrete 1920x1080",
                 "(30.000 fps)"):
        assert name in listed.stdout, listed.stdout
    out = workdir / "stream.nv12"
    streamed = boardcamify(["v4l2-ctl", "-d", "/dev/video1", "--set-fmt-video=width=160,height=120,pixelformat=NV12",
                            "--stream-mmap", "--stream-count=30", f"--stream-to={out}"])
    assert streamed.returncode == 0, streamed.stderr
    indices = frame_indices(out.read_bytes(), 160 * 120 * 3 // 2, references_of(board, 1, 160, 120, as_nv12))
    assert_camera_frames(indices, 30)


def test_a_killed_v4l2_program_frees_the_camera_for_the_next(board, workdir: Path) -> None:
    streaming = subprocess.Popen([BOARDCAMIFY, "v4l2-ctl", "-d", "/dev/video0", "--stream-mmap",
                                  "--stream-count=100000"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 env=program_env())
    try:
        # It owns the camera once it streams: the next program must share.
        ctl = boardcamify(["v4l2-ctl", "-d", "/dev/video0", "--set-fmt-video=width=320,height=240",
                           "--get-fmt-video"])
        for _ in range(200):
            if "640/480" in ctl.stdout or streaming.poll() is not None:
                break
            ctl = boardcamify(["v4l2-ctl", "-d", "/dev/video0", "--set-fmt-video=width=320,height=240",
                               "--get-fmt-video"])
        assert "640/480" in ctl.stdout, "the streaming program's size holds: " + ctl.stdout
    finally:
        streaming.kill()
        streaming.wait()
    out = workdir / "after.nv12"
    done = boardcamify(["v4l2-ctl", "-d", "/dev/video0", "--set-fmt-video=width=320,height=240,pixelformat=NV12",
                        "--stream-mmap", "--stream-count=10", f"--stream-to={out}"])
    assert done.returncode == 0, done.stderr
    assert out.stat().st_size == 10 * 320 * 240 * 3 // 2, "the camera at the size asked once the owner is gone"


def test_paths_outside_the_map_are_untouched(workdir: Path) -> None:
    text = workdir / "file.txt"
    text.write_text("a regular file\n")
    done = boardcamify(["sh", "-c", f"cat {text} && head -c 4 /dev/zero | wc -c && echo ok > /dev/null && "
                                    f"stat -c '%F %t' /dev/null /dev/video0 && ls /dev/video1"])
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "a regular file"
    assert lines[1] == "4"
    assert lines[2] == "character special file 1", "/dev/null is the system's"
    assert lines[3] == "character special file 51", "/dev/video0 is camera 0, major 81 (0x51)"
    # With other paths named, /dev/video0 is the system's again: absent here.
    moved = boardcamify(["sh", "-c", "stat -c %t /dev/video4; stat /dev/video0"],
                        BOARDCAM_V4L2_DEVICES="/dev/video4=0,/dev/video5=1")
    assert moved.stdout.splitlines()[0] == "51"
    assert moved.returncode != 0 and "No such file" in moved.stderr
