"""Cameras from several threads: each at its own rate, and close() from
another thread stops a read that waits."""
import os
import threading
import time

import numpy as np
import pytest

import boardcam
from conftest import READ_FRAME_FROM_CAMERA


def capture(board, camera_id, fps, seconds, results, start):
    """Reads one camera for `seconds`; records frames seen and frames that are
    not the sensor frame their sequence names."""
    try:
        frames = wrong = 0
        with boardcam.Camera(camera_id, fps=fps, width=32, height=16) as cam:
            start.wait()
            end = time.monotonic() + seconds
            offsets = {}
            while time.monotonic() < end:
                with cam.read() as frame:
                    if not np.array_equal(frame.array, board.reference(camera_id, frame.sequence, 32, 16)):
                        wrong += 1
                        # Which neighbour it holds: a numbering that started
                        # one off keeps one offset, a slipping one changes it.
                        for delta in (-1, 1):
                            if frame.sequence + delta >= 0 and np.array_equal(
                                    frame.array, board.reference(camera_id, frame.sequence + delta, 32, 16)):
                                offsets[delta] = offsets.get(delta, 0) + 1
                    frames += 1
        results[camera_id] = (frames, wrong, offsets)
    except Exception as error:  # reported by the assertion below
        results[camera_id] = error


@pytest.mark.parametrize("rates", [(5, 60), (120, 120)], ids=["5_and_60_fps", "120_and_120_fps"])
def test_two_threads_read_two_cameras_each_at_its_rate(board, rates):
    board.lib.boardsim_set_pacing(True)
    results = {}
    start = threading.Barrier(2)
    seconds = 2.0
    threads = [threading.Thread(target=capture, args=(board, camera_id, rates[camera_id], seconds, results, start))
               for camera_id in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    for camera_id in (0, 1):
        assert not isinstance(results[camera_id], Exception), results[camera_id]
        frames, wrong, offsets = results[camera_id]
        # A lock held across a camera's wait leaves the faster one near the slower one's rate.
        assert frames >= rates[camera_id] * seconds / 2, (camera_id, frames)
        # Above 100 fps a read the machine holds up past a frame boundary (a
        # preempted thread) is labelled with the frame before: one in a
        # hundred is allowed there; slower is exact. Under the sanitizers,
        # whose slowdown stretches a camera's opening and holds reads up past
        # whole periods, the sequences at that rate can start a frame off
        # the sensor's count and keep to it: there the run checks the rates,
        # the serialised calls and the buffers, not the numbering.
        if rates[camera_id] > 100 and ("TSAN_OPTIONS" in os.environ or "ASAN_OPTIONS" in os.environ):
            continue
        allowed = frames // 100 if rates[camera_id] > 100 else 0
        if wrong > allowed:
            # On a busy machine a first read held up inside the library for
            # a period or more can start the numbering one off the sensor's
            # count (a known limit: nothing in the read times tells it; at
            # 60 fps a period is 17 ms). It must then keep to that one
            # offset: every frame its sequence's neighbour, all the same one.
            kept = max(offsets.values(), default=0)
            assert wrong - kept <= max(allowed, 1), (camera_id, wrong, frames, offsets)
    assert board.overlap() == ""
    assert board.live_buffers() == 0


def test_close_from_another_thread_releases_a_waiting_read(board):
    board.lib.boardsim_set_pacing(True)
    cam = boardcam.Camera(0, fps=1, width=32, height=16)
    cam.read().release()  # the next frame is a second away
    outcome = {}

    def read():
        started = time.monotonic()
        try:
            cam.read()
        except Exception as error:
            outcome["error"] = error
        outcome["took"] = time.monotonic() - started

    reader = threading.Thread(target=read)
    reader.start()
    time.sleep(0.1)
    cam.close()
    reader.join(timeout=10)
    assert isinstance(outcome["error"], boardcam.CameraClosedError)
    assert isinstance(outcome["error"], ValueError)
    assert "closed while a read waited" in str(outcome["error"])
    assert outcome["took"] < 0.7
    assert len(board.journal(READ_FRAME_FROM_CAMERA)) == 1
    with pytest.raises(boardcam.CameraClosedError):
        cam.read()
    assert board.live_buffers() == 0
