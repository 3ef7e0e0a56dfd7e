#!/usr/bin/python3
"""One viewer of boardcam-serve's page on a slow link: headless Chromium in a
network namespace behind a token bucket (tc tbf on the server's side), the
camera at 1280x720 and 30 fps on the scene, recorded. For each phase: the
decoded frame rate, the freezes Chromium counts, the loss and round-trip time
it sees, the round-trip time of its receiver reports as the server reads
them, the tier it is sent and the recording's key frames per second. In the
last phase neither UDP nor TCP to WebRTC's ports gets through: the page plays
fMP4 over its WebSocket (MSE), whose lag behind the camera is measured, and
whose freezes are the seconds it showed no new frame.
Prints a Markdown table. Needs root (network namespaces).

  slowlink_bench.py SERVE PLUGIN_DIR [SECONDS_PER_PHASE]
"""
from __future__ import annotations

import json
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "serve"))
from browser import Browser  # noqa: E402
from netns import SlowLink  # noqa: E402
from serve_bench import Server  # noqa: E402

PHASES = [("free link", None, ""), ("1.5 Mbit/s", 1500, ""), ("1 Mbit/s", 1000, ""),
          ("600 kbit/s", 600, ""), ("UDP blocked, 1 Mbit/s", 1000, "udp"),
          ("UDP and ICE-TCP blocked, 1 Mbit/s", 1000, "udp+tcp")]
# WebRTC's ports, an aligned block that the filter drops as one.
WEBRTC_PORTS = (30128, 16)

FIGURES = """(async () => {
  const tile = document.querySelector('.tile');
  const pc = tile && tile.player && tile.player.pc;
  const out = {decoded: 0, freezes: 0, lost: 0, received: 0, rtt: null, lag: null,
               transport: tile ? tile.dataset.transport : null, tier: tile ? tile.dataset.tier || null : null};
  if (tile && tile.dataset.transport === 'mse') {
    out.decoded = Number(tile.dataset.framesDecoded || 0);
    if (tile.dataset.lagMs !== undefined) out.lag = Number(tile.dataset.lagMs) / 1000;
    return out;
  }
  if (!pc) return out;
  (await pc.getStats()).forEach((s) => {
    if (s.type === 'inbound-rtp' && s.kind === 'video') {
      out.decoded = s.framesDecoded || 0; out.freezes = s.freezeCount || 0;
      out.lost = s.packetsLost || 0; out.received = s.packetsReceived || 0;
    }
  });
  if (tile.player.location) {
    const served = await (await fetch(tile.player.location, {cache: 'no-store'})).json();
    out.rtt = served.rtt_ms >= 0 ? served.rtt_ms / 1000 : null;
  }
  return out;
})()"""


def status(server: Server) -> dict:
    with urllib.request.urlopen(server.url("/api/status"), timeout=10) as reply:
        return json.load(reply)["cameras"][0]


def phase(server: Server, link: SlowLink, workdir: Path, name: str, kbit, blocked: str, seconds: float) -> str:
    link.limit(kbit)
    if blocked:
        link.block_udp()
    if blocked == "udp+tcp":
        link.block_tcp_ports(*WEBRTC_PORTS)
    profile = workdir / name.replace(" ", "-").replace("/", "-").replace(",", "")
    profile.mkdir()
    browser = Browser(profile, ["--autoplay-policy=no-user-gesture-required"], prefix=link.prefix())
    try:
        browser.open(f"http://{link.server_address}:{server.http}/")
        time.sleep(5)  # joining, and the first tier decision
        if blocked == "udp+tcp":  # and giving up on WebRTC
            browser.wait_for("(() => { const t = document.querySelector('.tile'); return !!t && "
                             "t.dataset.transport === 'mse' && Number(t.dataset.framesDecoded || 0) > 0; })()",
                             30, "MSE")
        first, keys_first, start = browser.evaluate(FIGURES), status(server)["key_frames"]["total"], time.monotonic()
        rtts, lags, stalls, shown = [], [], 0, first["decoded"]
        while time.monotonic() - start < seconds:
            time.sleep(1)
            figures = browser.evaluate(FIGURES)
            if figures["rtt"] is not None:
                rtts.append(figures["rtt"])
            if figures["lag"] is not None:
                lags.append(figures["lag"])
            stalls += figures["decoded"] == shown
            shown = figures["decoded"]
        last, keys_last = browser.evaluate(FIGURES), status(server)["key_frames"]["total"]
        elapsed = time.monotonic() - start
    finally:
        browser.close()
    packets = (last["received"] - first["received"]) + (last["lost"] - first["lost"])
    loss = (last["lost"] - first["lost"]) / packets * 100 if packets > 0 else 0.0
    rtt = f"{sorted(rtts)[len(rtts) // 2] * 1000:.0f} ms" if rtts else "—"
    lag = f"{sorted(lags)[len(lags) // 2] * 1000:.0f} ms (last {lags[-1] * 1000:.0f})" if lags else "—"
    mse = last["transport"] == "mse"
    return (f"| {name} | {(last['decoded'] - first['decoded']) / elapsed:.1f} | "
            f"{stalls if mse else last['freezes'] - first['freezes']} | {'—' if mse else f'{loss:.1f} %'} | {rtt} | "
            f"{lag} | {last['transport']} · {last['tier']} | {(keys_last - keys_first) / elapsed:.2f} |")


def main() -> None:
    serve, plugins = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 25
    workdir = Path(tempfile.mkdtemp(prefix="slowlink-bench-"))
    (workdir / "recordings").mkdir()
    rows = []
    first_port, ports = WEBRTC_PORTS
    for name, kbit, blocked in PHASES:
        # A server and a link of their own for each phase: a viewer's tier
        # and back-off start afresh, as a new viewer's would.
        with SlowLink() as link:
            server = Server(serve, plugins, "--listen", "0.0.0.0", "--no-auth", "--cameras", "0", "--size", "1280x720",
                            "--fps", "30", "--record", str(workdir / "recordings"), "--webrtc-ports",
                            f"{first_port}-{first_port + ports - 1}", stamp=False)
            try:
                rows.append(phase(server, link, workdir, name, kbit, blocked, seconds))
            finally:
                server.stop()
        print(rows[-1], file=sys.stderr)
    print(f"One viewer, {seconds:.0f} s per phase after 5 s of joining (medians of RTT and lag):\n")
    print("| link | decoded fps | freezes | loss | RTT | picture lag | transport · tier | recorded key frames/s |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | --- | ---: |")
    for row in rows:
        print(row)


if __name__ == "__main__":
    main()
