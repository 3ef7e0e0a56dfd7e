"""What a frame says about its timing: sequence, drops and arrival times."""
import time

import numpy as np

import boardcam


def test_sequence_timestamps_and_drops_after_a_stall(board):
    board.lib.boardsim_set_pacing(True)
    with boardcam.Camera(1, fps=50, width=32, height=16) as cam:  # 20 ms periods
        seen = []
        for index in range(6):
            if index == 3:
                time.sleep(0.11)  # five and a half periods unread
            before_ns, before_wall = time.monotonic_ns(), time.time_ns()
            with cam.read() as frame:
                after_ns = time.monotonic_ns()
                assert before_ns - 25_000_000 <= frame.timestamp_ns <= after_ns
                assert abs(frame.realtime_ns - before_wall) < 1_000_000_000
                np.testing.assert_array_equal(frame.array, board.reference(1, frame.sequence, 32, 16))
                seen.append((frame.sequence, frame.dropped, frame.timestamp_ns))
    # What a busy machine cannot change: each frame is the sensor frame of
    # its sequence (checked above), a step of n + 1 in the sequence is n
    # frames dropped, the stall of five and a half periods lost at least
    # five, and a frame never arrives before the sensor made it.
    sequences = [s for s, _, _ in seen]
    for (before, _, before_ns), (after, dropped, after_ns) in zip(seen, seen[1:]):
        assert after > before and dropped == after - before - 1, seen
        assert after_ns - before_ns >= (after - before - 1) * 20_000_000, seen
    assert sequences[3] - sequences[2] >= 5, seen
