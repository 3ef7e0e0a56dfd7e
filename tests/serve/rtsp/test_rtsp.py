"""RTSP as players and recorders use it: ffprobe, ffmpeg and GStreamer's rtspsrc."""
from __future__ import annotations

import json
import subprocess

import numpy as np
import pytest

from conftest import play_with_rtspsrc, psnr, run


def test_ffprobe_sees_h264_at_each_cameras_size(start_server) -> None:
    server = start_server("--size", "640x480,320x240")
    for camera, (width, height) in enumerate([(640, 480), (320, 240)]):
        probe = run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_streams", "-of", "json",
                     server.rtsp(camera)])
        assert probe.returncode == 0, probe.stderr.decode()
        stream = json.loads(probe.stdout)["streams"][0]
        assert (stream["codec_name"], stream["width"], stream["height"]) == ("h264", width, height)


def test_ffmpeg_decodes_each_camera_and_frames_match_the_sensor(start_server, board) -> None:
    width, height = 320, 240
    server = start_server("--size", f"{width}x{height}", "--bitrate", "2000")
    for camera in (0, 1):
        decoded = run(["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(camera),
                       "-frames:v", "60", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], timeout=60)
        assert decoded.returncode == 0, decoded.stderr.decode()
        frames = np.frombuffer(decoded.stdout, dtype=np.uint8).reshape(-1, height * 3 // 2, width)[:, :height]
        assert len(frames) == 60
        # The stream has no frame numbers: the last frame is matched against
        # every frame the sensor has produced so far, and must be one of them.
        status = json.loads(run(["curl", "-s", server.url("/api/status")]).stdout)
        produced = next(c["frames"] for c in status["cameras"] if c["id"] == camera) + 60
        own = board.frames(camera, width, height, produced)[:, :height]
        others = board.frames(1 - camera, width, height, produced)[:, :height]
        best = max(psnr(frames[-1], reference) for reference in own)
        other = max(psnr(frames[-1], reference) for reference in others[::7])
        assert best >= 30, f"camera {camera}: best PSNR {best:.1f} dB"
        assert best > other + 3, f"camera {camera} looks like camera {1 - camera}"


@pytest.mark.parametrize("protocol", ["udp", "tcp"])
def test_rtspsrc_plays_both_cameras(start_server, protocol: str) -> None:
    server = start_server("--size", "320x240")
    for camera in (0, 1):
        play_with_rtspsrc(server.rtsp(camera), 30, f"protocols={protocol}")


def test_unknown_mounts_are_not_found(start_server) -> None:
    server = start_server("--cameras", "0", "--size", "320x240")
    for path in ("/cam1", "/cam2", "/", "/cam0x"):
        probe = run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", f"rtsp://127.0.0.1:{server.rtsp_port}{path}"])
        assert probe.returncode != 0
        assert b"404" in probe.stderr, probe.stderr.decode()


def test_clients_of_a_media_made_while_frames_flow_get_them(start_server, workdir) -> None:
    """A camera already encoding (here for a recording, at its highest rate)
    feeds each new media from its first moment, while that media's pipeline
    is still starting. Each round two players arrive together, so a new media
    is made and shared, and leave, so it goes; every one of them must decode
    frames. A frame that came in as the media started was stamped with the
    clock's own time rather than the media's running time, and held up every
    player of that media for hours."""
    server = start_server("--cameras", "0", "--size", "160x120", "--fps", "240", "--record",
                          str(workdir / "recordings"))
    for round_ in range(20):
        players = [subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                                     server.rtsp(0), "-frames:v", "5", "-f", "null", "-"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for _ in range(2)]
        for player in players:
            try:
                _, err = player.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                for other in players:
                    other.kill()
                pytest.fail(f"round {round_}: a player got no 5 frames in 30 s\n{server.stderr()[-2000:]}")
            assert player.returncode == 0, f"round {round_}: {err.decode()}"
