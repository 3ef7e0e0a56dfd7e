"""Two threads, two cameras, at the same time."""
import threading

import numpy as np

import boardcam


def test_two_threads_read_two_cameras_at_once(board):
    board.lib.boardsim_set_pacing(True)
    results = {}
    start = threading.Barrier(2)

    def capture(camera_id):
        try:
            mismatches = 0
            with boardcam.Camera(camera_id, fps=120, width=96, height=64) as cam:
                start.wait()
                for index, frame in enumerate(cam.frames(40)):
                    if not np.array_equal(frame.array, board.reference(camera_id, index, 96, 64)):
                        mismatches += 1
            results[camera_id] = mismatches
        except Exception as error:  # reported by the assertion below
            results[camera_id] = error

    threads = [threading.Thread(target=capture, args=(camera_id,)) for camera_id in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert results == {0: 0, 1: 0}
    assert board.live_buffers() == 0
