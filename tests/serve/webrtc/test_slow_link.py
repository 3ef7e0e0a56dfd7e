"""Viewers on slow links, in headless Chromium on another host: a network
namespace behind a token-bucket link (tc tbf on the server's side). The
server sends each viewer the tier its link takes; the main encoder serves
everybody else, and the recording, untouched."""
from __future__ import annotations

import re
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import pytest

from browser import Browser
from conftest import status, wait_for
from netns import SlowLink, available

pytestmark = pytest.mark.skipif(not available(), reason="needs root for network namespaces")

FLAGS = ["--autoplay-policy=no-user-gesture-required"]
WIDTH, HEIGHT, FPS = 1280, 720, 30
# A picture as hard to encode as a real one: the main stream takes its
# 4 Mbit/s, the low tier what its link allows.
SCENE = {"BOARDSIM_PATTERN": "scene"}
# The longest a picture may stand still once joined. The goal is 2 s; a
# trial of the main stream that fails, or a link that narrows under it, costs
# 1.5 to 2.8 s on this two-core machine while CI builds and tests beside it
# (sampled every quarter second), and the bound is what only a real fault
# breaks: the old fixed stream froze for good.
LONGEST_FREEZE_S = 3.0
# A trial of the main stream that fails freezes the picture while its key
# frame crosses a link a quarter of its rate, and then the low tier's: 2.2 s
# beside other tests here, and a freeze of 5 s was seen once while CI loaded
# both cores. A viewer left on the main stream would freeze for good.
TRIAL_FREEZE_S = 8.0
# From joining to the first picture: 5 s here (the main stream's first key
# frame fills the link before the move down); a stream the link does not
# carry never shows one.
FIRST_PICTURE_S = 12.0

# The first tile's figures, from the page and from the browser's own
# statistics.
WATCH = """(async () => {
  const tile = document.querySelector('.tile');
  if (!tile) return null;
  const player = tile.player;
  let inbound = null, connected = false;
  if (player && player.pc) {
    connected = player.pc.connectionState === 'connected';
    (await player.pc.getStats()).forEach((s) => {
      if (s.type === 'inbound-rtp' && s.kind === 'video') inbound = s;
    });
  }
  return {transport: tile.dataset.transport, tier: tile.dataset.tier || null, connected,
          label: tile.querySelector('.transport span').textContent,
          decoded: inbound ? inbound.framesDecoded || 0 : 0, width: inbound ? inbound.frameWidth || 0 : 0,
          frozen: inbound ? inbound.totalFreezesDuration || 0 : 0};
})()"""


@pytest.fixture
def link():
    with SlowLink() as made:
        yield made


class Viewer:
    """A page in headless Chromium, on this host or behind `link`."""

    def __init__(self, workdir: Path, name: str, url: str, link: Optional[SlowLink] = None) -> None:
        profile = workdir / name
        profile.mkdir()
        self.browser = Browser(profile, FLAGS, prefix=link.prefix() if link else None)
        self.browser.open(url)
        self.samples: List[Dict] = []

    def sample(self) -> Dict:
        figures = self.browser.evaluate(WATCH) or {"transport": None, "tier": None, "connected": False,
                                                    "label": "", "decoded": 0, "width": 0, "frozen": 0}
        figures["t"] = time.monotonic()
        self.samples.append(figures)
        return figures

    def joined(self) -> float:
        """When its connection was first up."""
        return next(s["t"] for s in self.samples if s.get("connected"))

    def fps(self, start: float, end: float) -> float:
        within = [s for s in self.samples if start <= s["t"] <= end]
        assert len(within) >= 2, (start, end, self.samples[-3:])
        return (within[-1]["decoded"] - within[0]["decoded"]) / (within[-1]["t"] - within[0]["t"])

    def stalls(self, start: float) -> List[Tuple[float, float]]:
        """Each time without a new decoded frame after `start`: (from, seconds)."""
        found: List[Tuple[float, float]] = []
        since, last = None, None
        for s in self.samples:
            if s["t"] < start:
                continue
            if last is None or s["decoded"] > last:
                since, last = s["t"], s["decoded"]
            elif found and found[-1][0] == since:
                found[-1] = (since, s["t"] - since)
            else:
                found.append((since, s["t"] - since))
        return found

    def longest_stall(self, start: float) -> float:
        """The longest time without a new decoded frame after `start`."""
        return max((seconds for _, seconds in self.stalls(start)), default=0.0)

    def first_picture(self) -> Optional[float]:
        return next((s["t"] for s in self.samples if s["decoded"] > 0), None)

    def timeline(self) -> str:
        """Its samples in one line, for a failure's message: seconds since it
        joined, frames decoded, tier."""
        joined = next((s["t"] for s in self.samples if s.get("connected")), self.samples[0]["t"])
        return " ".join(f"{s['t'] - joined:+.1f}:{s['decoded']}:{s['tier'] or '-'}" for s in self.samples)

    def close(self) -> None:
        self.browser.close()


def watch(viewers: List[Viewer], seconds: float, server=None, statuses: Optional[List] = None) -> None:
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for viewer in viewers:
            viewer.sample()
        if server is not None and statuses is not None:
            statuses.append((time.monotonic(), status(server)["cameras"][0]))
        time.sleep(0.25)


def key_frames_between(statuses: List, start: float, end: float) -> int:
    within = [c for t, c in statuses if start <= t <= end]
    return within[-1]["key_frames"]["total"] - within[0]["key_frames"]["total"]


def assert_frozen_briefly(viewer: Viewer, start: float, statuses: List) -> None:
    """From `start` on, a freeze is short, or a trial of the main stream that
    failed: the server moved the viewer up and down again meanwhile."""
    joined = viewer.joined()
    for begin, seconds in viewer.stalls(start):
        moved = switches_between(statuses, begin - 0.5, begin + seconds)
        assert seconds <= (TRIAL_FREEZE_S if moved else LONGEST_FREEZE_S), (
            f"frozen {seconds:.1f} s from {begin - joined:+.1f} s, moved {moved} times", viewer.timeline())


def switches_between(statuses: List, start: float, end: float) -> int:
    """Moves between tiers the server made in [start, end], by its count."""
    before = [c for t, c in statuses if t <= start] or [statuses[0][1]]
    until = [c for t, c in statuses if t <= end] or [statuses[0][1]]
    return until[-1]["tiers"]["switches"] - before[-1]["tiers"]["switches"]


def test_a_slow_viewer_gets_the_low_tier_while_the_fast_one_and_the_recording_keep_the_main_stream(
        start_server, workdir: Path, link: SlowLink) -> None:
    (workdir / "recordings").mkdir()
    server = start_server("--listen", "0.0.0.0", "--no-auth", "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}",
                          "--fps", str(FPS), "--record", str(workdir / "recordings"), env=SCENE)
    link.limit(1000)
    url = f"http://{link.server_address}:{server.http_port}/"
    fast = Viewer(workdir, "fast", url)
    slow = Viewer(workdir, "slow", url, link)
    statuses: List = []
    try:
        watch([fast, slow], 30, server, statuses)
        joined = slow.joined()
        # The slow viewer plays the low tier within 5 s of connecting, at
        # about its 15 fps, and is never frozen long.
        # 13 to 14 fps on an idle machine (the benchmark); 11.9 was seen
        # while CI builds beside it. A stream the link does not carry decodes
        # nothing.
        assert slow.fps(joined + 5, slow.samples[-1]["t"]) >= 10, slow.timeline()
        first = slow.first_picture()
        assert first is not None and first - joined <= FIRST_PICTURE_S, slow.timeline()
        assert_frozen_briefly(slow, max(joined + 5, first), statuses)
        last = slow.samples[-1]
        assert last["tier"] == "low" and last["width"] == 640, last
        assert re.fullmatch(r"WebRTC \u00b7 low \u00b7 \d+ fps \u00b7 \d+\.\d Mbit/s", last["label"]), last
        # The fast one keeps the main stream at the camera's rate, unfrozen.
        camera = statuses[-1][1]
        start = fast.joined() + 5
        # 29 fps or more on an idle machine (30.0 in the benchmark); while CI
        # builds beside it Chromium decodes a frame or two a second behind the
        # camera (28.7 of 29.7 was seen). A viewer slowed by the slow one
        # would be on the low tier's 15 fps, or frozen.
        assert fast.fps(start, fast.samples[-1]["t"]) >= min(29, 0.9 * camera["measured_fps"]), fast.timeline()
        assert fast.longest_stall(start) <= 1.0, fast.timeline()
        assert fast.samples[-1]["tier"] == "main" and fast.samples[-1]["width"] == WIDTH, fast.samples[-1]
        # The main encoder's key frames stay at the recording's one a second:
        # the slow viewer's requests go to its own tier.
        seconds = statuses[-1][0] - start
        assert key_frames_between(statuses, start, statuses[-1][0]) <= seconds + 2, statuses[-1]
        assert camera["tiers"]["main"] == 1 and camera["tiers"]["low"] == 1, camera["tiers"]
        assert camera["tiers"]["switches"] >= 1 and camera["tiers"]["low_running"], camera["tiers"]
        # The low tier fits the link, to within what the token bucket's burst
        # lets through in one look on top of its rate.
        assert 150 <= camera["tiers"]["low_kbps"] <= 1100, camera["tiers"]
    finally:
        fast.close()
        slow.close()


RTT = """(async () => {
  const pc = document.querySelector('.tile').player.pc;
  let rtt = null;
  if (pc) (await pc.getStats()).forEach((s) => {
    if (s.type === 'candidate-pair' && s.nominated && s.state === 'succeeded') rtt = s.currentRoundTripTime;
  });
  return rtt;
})()"""


def test_where_udp_is_blocked_the_tile_plays_over_tcp(start_server, workdir: Path, link: SlowLink) -> None:
    server = start_server("--listen", "0.0.0.0", "--no-auth", "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}",
                          "--fps", str(FPS), "--webrtc-ports", "30000-30099", env=SCENE)
    link.block_udp()
    link.limit(1000)
    viewer = Viewer(workdir, "viewer", f"http://{link.server_address}:{server.http_port}/", link)
    try:
        watch([viewer], 30)
        last = viewer.samples[-1]
        assert last["transport"] == "webrtc-tcp", last
        assert re.fullmatch(r"WebRTC over TCP \u00b7 (low|main) \u00b7 \d+ fps \u00b7 \d+\.\d Mbit/s", last["label"]), last
        joined = viewer.joined()
        assert viewer.fps(joined + 10, last["t"]) >= 10, viewer.samples
        # The server knows it too: it bounds what that connection holds unsent.
        served = viewer.browser.evaluate(
            "fetch(document.querySelector('.tile').player.location).then((r) => r.json())")
        assert served["transport"] == "webrtc-tcp", served
        # The path's queue stays short: the server's tier fits the link, and
        # the connection holds little unsent. A key frame's burst may hold it
        # up for a moment; the picture never drifts behind.
        # Over ten seconds: a moment of CI's load held the connection up for
        # about a second once (Chromium then reports that figure for a few
        # looks running), which a drifting queue would do all the time.
        rtts = []
        for _ in range(21):
            rtts.append(viewer.browser.evaluate(RTT))
            time.sleep(0.5)
        measured = sorted(r for r in rtts if r is not None)
        assert len(measured) >= 10 and measured[len(measured) // 2] <= 0.3 and measured[-1] <= 2.0, rtts
    finally:
        viewer.close()


def test_a_viewer_follows_a_link_whose_capacity_changes(start_server, workdir: Path, link: SlowLink) -> None:
    """The capacity schedule of RFC 8867 §5.1 (1, 2.5, 0.6, 1 Mbit/s), its
    phases shortened but the 2.5 Mbit/s one, and a main stream of 2 Mbit/s
    that fits only that one: the viewer is never frozen long, and is back on
    the main stream within 20 s of the link's widening."""
    server = start_server("--listen", "0.0.0.0", "--no-auth", "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}",
                          "--fps", str(FPS), "--bitrate", "2000", env=SCENE)
    link.limit(1000)
    viewer = Viewer(workdir, "viewer", f"http://{link.server_address}:{server.http_port}/", link)
    statuses: List = []
    try:
        watch([viewer], 15, server, statuses)
        # Joining is the first test's: here, what follows it.
        settled = max(viewer.joined() + 5, viewer.first_picture() or 0)
        assert viewer.samples[-1]["tier"] == "low", viewer.samples[-1]
        link.limit(2500)
        widened = time.monotonic()
        watch([viewer], 20, server, statuses)
        on_main = [s["t"] - widened for s in viewer.samples if s["t"] > widened and s["width"] == WIDTH]
        assert on_main and on_main[0] <= 20, viewer.samples[-20:]
        link.limit(600)
        watch([viewer], 10, server, statuses)
        link.limit(1000)
        watch([viewer], 10, server, statuses)
        assert_frozen_briefly(viewer, settled, statuses)
        assert viewer.samples[-1]["tier"] == "low" and viewer.samples[-1]["decoded"] > 0, viewer.samples[-1]
    finally:
        viewer.close()
