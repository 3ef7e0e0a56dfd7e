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
    sequences = [s for s, _, _ in seen]
    assert sequences[:3] == [0, 1, 2]
    assert sequences[3] - sequences[2] >= 5
    assert seen[3][1] == sequences[3] - sequences[2] - 1
    assert [d for i, (_, d, _) in enumerate(seen) if i != 3] == [0] * 5
    assert sequences[4:] == [sequences[3] + 1, sequences[3] + 2]
    times = [t for _, _, t in seen]
    assert times == sorted(times)
    # Frames of a free-running sensor arrive a period apart.
    assert 15_000_000 <= times[1] - times[0] <= 40_000_000
