"""One camera, many programs: boardcam-serve records both cameras while a
Python script, gst-launch-1.0, OpenCV and boardcam-capture read camera 0 as
programs of their own; and the server shows a camera a script owns."""
from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List

import numpy as np

from conftest import SANITIZED, run, status, wait_for
from frame_stamp import STAMP_UNIT_NS, stamp_at, stamp_difference_s, stamp_of

WIDTH, HEIGHT, FPS = 640, 480, 30
PERIOD_UNITS = 1e9 / FPS / STAMP_UNIT_NS
PROGRAM = str(Path(__file__).with_name("camera_program.py"))


def program_env() -> Dict[str, str]:
    """What a program of the user's sees: the build's libraries and plugin,
    and under the sanitizers their runtime loaded first."""
    env = dict(os.environ, GST_PLUGIN_PATH=os.environ["BOARDCAM_TEST_GST_PLUGIN_DIR"])
    if os.environ.get("BOARDCAM_TEST_PRELOAD"):
        env["LD_PRELOAD"] = os.environ["BOARDCAM_TEST_PRELOAD"]
        env["ASAN_OPTIONS"] = "detect_leaks=0"
    return env


def start(command: List[str]) -> subprocess.Popen:
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=program_env(), text=True)


def json_lines(text: str) -> List[dict]:
    return [json.loads(line) for line in text.splitlines() if line.startswith("{")]


def next_json(process: subprocess.Popen) -> dict:
    """The next JSON line a program prints; the camera library's own reports
    (an owner's) are passed over."""
    while True:
        line = process.stdout.readline()
        assert line, f"the program ended: {process.stderr.read()[-2000:]}"
        if line.startswith("{"):
            return json.loads(line)


def frames_of_gst_launch(out: str, folder: Path) -> List[tuple]:
    """(sequence, stamp) of each buffer gst-launch-1.0 wrote: the offsets its
    fakesink reported, in order, beside the files multifilesink wrote."""
    offsets = [int(o) for o in re.findall(r"chain[^\n]*?offset: (\d+)", out)]
    files = sorted(folder.glob("frame-*.nv12"))
    frames = []
    for offset, path in zip(offsets, files):
        luma = np.frombuffer(path.read_bytes()[:WIDTH * HEIGHT], np.uint8).reshape(HEIGHT, WIDTH)
        frames.append((offset, stamp_of(luma)))
    return frames


def test_serve_records_while_four_other_programs_read_the_same_camera(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record", str(root),
                          "--segment-seconds", "300", env={"BOARDSIM_STAMP": "1"})
    wait_for(lambda: status(server)["cameras"][0]["streaming"] and any((root / "cam0").rglob("*.mp4")), 30,
             "camera 0 recorded")
    started = time.monotonic()

    gst_frames = workdir / "gst"
    gst_frames.mkdir()
    python = start([sys.executable, PROGRAM, "0", "10", "20"])
    gst = start(["gst-launch-1.0", "-v", "boardcamsrc", "camera=0", "num-buffers=20", "!", "tee", "name=t",
                 "!", "queue", "!", "fakesink", "silent=false", "t.", "!", "queue", "!", "multifilesink",
                 f"location={gst_frames}/frame-%05d.nv12"])
    opencv = start([sys.executable, "-c", f"""
import cv2, json, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from frame_stamp import stamp_of
capture = cv2.VideoCapture("boardcamsrc camera=0 ! videoconvert ! video/x-raw,format=BGR ! appsink", cv2.CAP_GSTREAMER)
assert capture.isOpened(), "OpenCV could not open the pipeline"
for _ in range(15):
    ok, bgr = capture.read()
    assert ok
    print(json.dumps({{"shape": list(bgr.shape), "stamp": stamp_of(cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY))}}), flush=True)
capture.release()
"""])
    captured = workdir / "captured"
    capture = start([os.environ["BOARDCAM_TEST_CAPTURE"], "--camera", "0", "--frames", "20", "--format", "nv12",
                     "--out", str(captured)])
    outputs = {}
    for name, process in (("python", python), ("gst", gst), ("opencv", opencv), ("capture", capture)):
        out, err = process.communicate(timeout=120)
        assert process.returncode == 0, f"{name}: {out[-2000:]}\n{err[-2000:]}"
        outputs[name] = out

    # Every program's frames are the camera's, and a sequence is the same
    # picture in every program: one line through (sequence, stamp).
    python_frames = [(f["sequence"], f["stamp"]) for f in json_lines(outputs["python"]) if "sequence" in f]
    gst_pairs = frames_of_gst_launch(outputs["gst"], gst_frames)
    assert len(python_frames) == 20 and len(gst_pairs) == 20, (len(python_frames), len(gst_pairs))
    known = python_frames + gst_pairs
    base = known[0][1] - known[0][0] * PERIOD_UNITS
    for sequence, stamp in known:
        assert abs(stamp_difference_s(stamp, int(base + sequence * PERIOD_UNITS) % (1 << 32))) < 0.002, \
            (sequence, stamp, known)
    # The Python script at 10 fps took about one frame in three.
    steps = [b - a for (a, _), (b, _) in zip(python_frames, python_frames[1:])]
    assert all(step >= 2 for step in steps) and sum(steps) / len(steps) < 4.5, steps

    def on_the_line(stamp: int) -> bool:
        periods = stamp_difference_s(stamp, int(base) % (1 << 32)) * 1e9 / STAMP_UNIT_NS / PERIOD_UNITS
        return abs(periods - round(periods)) < 0.05

    opencv_frames = json_lines(outputs["opencv"])
    assert len(opencv_frames) == 15 and all(f["shape"] == [HEIGHT, WIDTH, 3] for f in opencv_frames)
    assert all(on_the_line(f["stamp"]) for f in opencv_frames), opencv_frames
    captured_files = sorted(captured.glob("cam0_*.nv12"))
    assert len(captured_files) == 20
    for path in captured_files:
        luma = np.frombuffer(path.read_bytes()[:WIDTH * HEIGHT], np.uint8).reshape(HEIGHT, WIDTH)
        assert on_the_line(stamp_of(luma)), path.name

    # They are all gone; the server stops, and its recording of those
    # seconds has every frame the camera made, one period apart.
    wait_for(lambda: not (status(server)["cameras"][0]["sharing"] or {}).get("subscribers"), 30,
             "every program gone")
    assert time.monotonic() - started > 2
    server.stop()
    (segment,) = sorted((root / "cam0").rglob("*.mp4"))
    raw = run(["ffmpeg", "-v", "error", "-i", str(segment), "-f", "rawvideo", "-pix_fmt", "gray", "-"],
              timeout=120).stdout
    stamps = [stamp_of(frame) for frame in np.frombuffer(raw, np.uint8).reshape(-1, HEIGHT, WIDTH)]
    gaps = [stamp_difference_s(b, a) * FPS for a, b in zip(stamps, stamps[1:])]
    # A gap of a few periods is a frame the machine dropped; a program that
    # held the camera up, or reopened it, leaves one of many.
    assert max(gaps) < 3.5, max(gaps)
    assert sum(1 for g in gaps if g > 1.5) <= len(gaps) // (20 if SANITIZED else 50), gaps
    assert status_of_opens(server) == 2, server.calls()


def status_of_opens(server) -> int:
    """Cameras opened in the server's process: one per camera, whoever read."""
    return len([c for c in server.calls() if c.startswith("OpenCamera") and c.endswith(" 1")])


def test_the_server_shows_a_camera_a_script_owns(start_server, workdir: Path) -> None:
    script = start([sys.executable, PROGRAM, "1", "30", "0", "--width", str(WIDTH), "--height", str(HEIGHT),
                    "--forever"])
    try:
        assert next_json(script) == {"opened": [WIDTH, HEIGHT, FPS]}
        server = start_server("--cameras", "1", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS))
        # RTSP plays it.
        played = run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-rtsp_transport", "tcp", "-i",
                      server.rtsp(1), "-frames:v", "30", "-f", "rawvideo", "-pix_fmt", "gray", "-"], timeout=60)
        assert played.returncode == 0, played.stderr.decode()
        assert len(played.stdout) == 30 * WIDTH * HEIGHT
        # The page's snapshot and MJPEG have its pictures.
        snapshot = run(["curl", "-s", "-o", str(workdir / "snap.jpg"), "-w", "%{http_code} %{content_type}",
                        server.url("/cam1.jpg")])
        assert snapshot.stdout.decode() == "200 image/jpeg"
        stream = run(["curl", "-s", "--max-time", "2", server.url("/cam1.mjpg")])
        assert stream.stdout.count(b"\xff\xd8") >= 10
        sharing = status(server)["cameras"][0]["sharing"]
        assert sharing["owner"]["program"].startswith("python") and not sharing["owner"]["this_program"], sharing
        assert any(s["this_program"] for s in sharing["subscribers"]), sharing
        # The server never opened the camera: the script did.
        assert not any(c.startswith("OpenCamera") for c in server.calls()), server.calls()
        # The script still reads at its rate.
        before = next_json(script)["frames"]
        later = next_json(script)["frames"]
        assert later - before >= 0.8 * FPS, (before, later)
    finally:
        script.kill()
        script.wait()


def test_two_v4l2_programs_share_the_camera_serve_records(start_server, workdir: Path) -> None:
    """v4l2-ctl twice under boardcamify, beside the server's recording: both
    are subscribers of the server's camera, get its size and its frames."""
    width, height = 320, 240
    server = start_server("--size", f"{width}x{height}", "--fps", str(FPS), "--record", str(workdir / "recordings"),
                          "--segment-seconds", "300", env={"BOARDSIM_STAMP": "1"})
    wait_for(lambda: status(server)["cameras"][0]["streaming"], 30, "camera 0 recorded")
    outputs = [workdir / f"v4l2-{i}.nv12" for i in (0, 1)]
    # One asks for another size, the other takes the format it is given
    # (no S_FMT, no S_PARM): either way the owner's size and rate are the
    # ones there are.
    asked = (["--set-fmt-video=width=640,height=480,pixelformat=NV12"], [])
    programs = [start([os.environ["BOARDCAM_TEST_BOARDCAMIFY"], "v4l2-ctl", "-d", "/dev/video0", *asked[i],
                       "--stream-mmap", f"--stream-to={out}"]) for i, out in enumerate(outputs)]
    frame_bytes = width * height * 3 // 2
    try:
        def both_subscribed() -> bool:
            sharing = status(server)["cameras"][0]["sharing"] or {}
            return sum(1 for s in sharing.get("subscribers", []) if s["program"] == "v4l2-ctl") == 2
        wait_for(both_subscribed, 60, "both V4L2 programs subscribed",
                 lambda: [p.poll() for p in programs])
        wait_for(lambda: all(out.exists() and out.stat().st_size >= 30 * frame_bytes for out in outputs), 60,
                 "30 frames in each program")
    finally:
        for process in programs:
            process.terminate()
            process.communicate(timeout=30)
    now = stamp_at(time.clock_gettime_ns(time.CLOCK_MONOTONIC))
    for out in outputs:
        data = out.read_bytes()
        frames = np.frombuffer(data[: len(data) // frame_bytes * frame_bytes], np.uint8).reshape(-1, frame_bytes)
        stamps = [stamp_of(frame[: width * height].reshape(height, width)) for frame in frames]
        # The camera's frames, newest last, each at most a few periods after
        # the one before and none from the future.
        gaps = [stamp_difference_s(b, a) for a, b in zip(stamps, stamps[1:])]
        assert all(0 < gap < 0.5 for gap in gaps), gaps
        assert stamp_difference_s(now, stamps[-1]) >= 0
    wait_for(lambda: not (status(server)["cameras"][0]["sharing"] or {}).get("subscribers"), 30,
             "both programs gone")
    assert status(server)["cameras"][0]["streaming"], "the recording went on"
