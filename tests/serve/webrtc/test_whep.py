"""WHEP: WebRTC viewers through GStreamer's webrtcbin, offers by hand, and churn."""
from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional

import gi
import pytest

from conftest import SANITIZED, run, status, wait_for

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

import whep_client  # noqa: E402

CLIENT = str(Path(__file__).parent.parent / "whep_client.py")
WIDTH, HEIGHT, FPS = 320, 240, 15


def viewer(server, camera: int, seconds: float, *args: str) -> subprocess.Popen:
    """A webrtcbin viewer of its own process; its result is its output's last line."""
    return subprocess.Popen([sys.executable, CLIENT, server.url(f"/cam{camera}/whep"), "--seconds", str(seconds),
                             *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def result(process: subprocess.Popen, timeout: float = 60) -> Dict:
    out, _ = process.communicate(timeout=timeout)
    lines = out.decode().strip().splitlines()
    assert lines, "the viewer printed nothing"
    return json.loads(lines[-1])


def post(server, body: bytes, content_type: str = "application/sdp", camera: object = 0,
         user: Optional[str] = None) -> tuple:
    """(status, headers, body) of an offer sent with curl."""
    auth = ["-u", user] if user else []
    done = run(["curl", "-s", "-i", *auth, "-X", "POST", "-H", f"Content-Type: {content_type}", "--data-binary",
                "@-", server.url(f"/cam{camera}/whep")], input=body)
    head, _, text = done.stdout.partition(b"\r\n\r\n")
    lines = head.decode(errors="replace").split("\r\n")
    code = int(lines[0].split()[1]) if lines and lines[0].startswith("HTTP/") else 0
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    return code, headers, text.decode(errors="replace")


@pytest.fixture(scope="module")
def offer() -> str:
    Gst.init(None)
    return whep_client.offer_sdp()


def test_webrtc_viewers_play_each_camera_and_are_counted_until_they_leave(start_server) -> None:
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS))
    viewers = [viewer(server, camera, 4) for camera in (0, 1)]
    wait_for(lambda: all(c["clients"]["webrtc"] == 1 for c in status(server)["cameras"]), 30,
             "both viewers counted")
    metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
    assert 'boardcam_clients{camera="0",protocol="webrtc"} 1' in metrics
    assert 'boardcam_clients{camera="1",protocol="webrtc"} 1' in metrics
    for camera, process in enumerate(viewers):
        got = result(process)
        assert got["status"] == 201 and got["content_type"].startswith("application/sdp"), got
        assert re.fullmatch(rf"/cam{camera}/whep/[0-9a-f]{{32}}", got["location"]), got["location"]
        answer = got["answer"]
        # Every candidate is in the answer, on the address listened on; the
        # media is DTLS-SRTP.
        assert "a=candidate:" in answer and " 127.0.0.1 " in answer
        assert "a=fingerprint:" in answer and "UDP/TLS/RTP/SAVPF" in answer and "a=sendonly" in answer
        assert (got["width"], got["height"]) == (WIDTH, HEIGHT)
        # Loose: a viewer that gets no stream, or only key frames, falls far short.
        assert got["frames"] >= 2 * FPS, got
        assert got["deleted"] == 200
    wait_for(lambda: all(c["clients"]["webrtc"] == 0 for c in status(server)["cameras"]), 10,
             "the viewers gone after DELETE")


def test_one_encoder_serves_webrtc_and_rtsp_viewers_of_a_camera(start_server) -> None:
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS))
    rtsp = subprocess.Popen(["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(0), "-t", "6",
                             "-f", "null", "-"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    webrtc = [viewer(server, 0, 4) for _ in range(2)]
    for process in webrtc:
        got = result(process)
        assert got["status"] == 201 and got["frames"] >= 2 * FPS, f"{got}\n{server.stderr()[-3000:]}"
    assert rtsp.wait(timeout=60) == 0, rtsp.stderr.read().decode()
    # One capture for every viewer: the camera was opened once.
    assert server.opens(0) == 1, server.calls()


def test_whep_answers_each_wrong_request_with_its_error(start_server, offer: str) -> None:
    server = start_server("--cameras", "0", "--max-clients", "1", "--size", f"{WIDTH}x{HEIGHT}")
    assert post(server, offer.encode(), "text/plain")[0] == 415
    assert post(server, b"hello")[0] == 400
    vp8 = re.sub(r"H264/90000", "VP8/90000", offer)
    code, _, text = post(server, vp8.encode())
    assert code == 400 and "H.264" in text, text
    mode0 = offer.replace("packetization-mode=1", "packetization-mode=0")
    assert post(server, mode0.encode())[0] == 400
    # A camera this server does not serve, or no camera at all, is not found:
    # the path is WHEP's whatever it names.
    for camera in (1, 2, 7, "x"):
        code, _, text = post(server, offer.encode(), camera=camera)
        assert code == 404 and "no such camera" in text, (camera, code, text)
    assert run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "DELETE",
                server.url("/cam0/whep/0123456789abcdef0123456789abcdef")]).stdout == b"404"
    # Beyond --max-clients, counted with every other protocol: an MJPEG
    # viewer holds the only place.
    mjpeg = subprocess.Popen(["curl", "-s", "-o", "/dev/null", server.url("/cam0.mjpg")])
    try:
        wait_for(lambda: status(server)["cameras"][0]["clients"]["mjpeg"] == 1, 20, "the MJPEG viewer")
        assert post(server, offer.encode())[0] == 503
    finally:
        mjpeg.terminate()
        mjpeg.wait()
    wait_for(lambda: status(server)["cameras"][0]["clients"]["mjpeg"] == 0, 20, "the MJPEG viewer gone")
    # A real offer is answered, and its session ends with DELETE.
    code, headers, answer = post(server, offer.encode())
    assert code == 201 and headers["content-type"].startswith("application/sdp") and "m=video" in answer
    location = headers["location"]
    patch = run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "PATCH", server.url(location)])
    assert patch.stdout == b"405"
    delete = run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "DELETE", server.url(location)])
    assert delete.stdout == b"200"
    assert run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-X", "DELETE",
                server.url(location)]).stdout == b"404"


TWCC = "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01"


def test_the_answer_names_its_ssrc_and_takes_the_offers_feedback_extension(start_server, offer: str) -> None:
    """The viewer learns the stream's SSRC from the answer, and the answer
    keeps the offer's transport-wide congestion-control extension under the
    offer's id, so that the viewer reports what arrives. The session's
    resource tells its page how it is served."""
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}")
    video = offer.index("m=video")
    end = offer.find("\r\nm=", video + 1)
    end = len(offer) if end < 0 else end
    with_twcc = offer[:end].rstrip("\r\n") + f"\r\na=extmap:7 {TWCC}\r\n" + offer[end:].lstrip("\r\n")
    code, headers, answer = post(server, with_twcc.encode())
    assert code == 201, answer
    ssrcs = [int(m) for m in re.findall(r"^a=ssrc:(\d+) ", answer, re.M)]
    assert ssrcs and all(ssrc != 0 for ssrc in ssrcs), answer
    assert re.search(rf"^a=extmap:7 {re.escape(TWCC)}\r?$", answer, re.M), answer
    served = json.loads(run(["curl", "-s", server.url(headers["location"])]).stdout)
    assert served["transport"] == "webrtc" and served["tier"] == "main", served
    # Without the extension offered, none is answered.
    code, headers2, plain = post(server, offer.encode())
    assert code == 201 and "transport-wide-cc" not in plain, plain
    for location in (headers["location"], headers2["location"]):
        run(["curl", "-s", "-X", "DELETE", server.url(location)])


def test_a_viewer_beyond_the_webrtc_ports_gets_503(start_server, offer: str) -> None:
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--webrtc-ports", "30300-30300")
    code, _, answer = post(server, offer.encode())
    assert code == 201 and " 30300 typ host" in answer, answer
    # The first session, never connected, holds the only port.
    code, _, text = post(server, offer.encode())
    assert code == 503 and "port" in text, text


def test_the_stun_server_named_is_asked_and_only_when_named(start_server, offer: str) -> None:
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stun:
        stun.bind(("127.0.0.1", 0))
        stun.settimeout(0.5)
        quiet = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}")
        assert post(quiet, offer.encode())[0] == 201
        with pytest.raises(socket.timeout):
            stun.recvfrom(2048)
        named = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--stun",
                             f"stun://127.0.0.1:{stun.getsockname()[1]}")
        assert post(named, offer.encode())[0] == 201
        stun.settimeout(10)
        request, _ = stun.recvfrom(2048)
        # A STUN Binding Request (libnice asks in the classic form, without
        # the magic cookie).
        assert len(request) >= 20 and request[:2] == b"\x00\x01", request[:8].hex()


def test_whep_is_behind_the_credentials(start_server, workdir: Path, offer: str) -> None:
    creds = workdir / "users"
    creds.write_text("viewer:secret\n")
    creds.chmod(0o600)
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--credentials", str(creds))
    assert post(server, offer.encode())[0] == 401
    assert post(server, offer.encode(), user="viewer:wrong")[0] == 401
    played = result(viewer(server, 0, 2, "--user", "viewer:secret"))
    assert played["status"] == 201 and played["frames"] > 0, played
    assert played["deleted"] == 200


def test_hostile_offers_get_a_client_error_and_the_server_keeps_serving(start_server, offer: str) -> None:
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS))
    candidate = "a=candidate:1 1 UDP 2015364095 127.0.0.1 40000 typ host\r\n"
    hostile = {
        "truncated": offer[: len(offer) // 3],
        "cut mid-line": offer[: offer.index("a=fmtp") + 9],
        "1 MiB": offer + "a=x-padding:" + "p" * (1 << 20) + "\r\n",
        "10,000 candidates": offer + candidate * 10000,
        "a hundred candidates, short of the size limit": offer + candidate * 100,
        "audio only": offer.replace("m=video", "m=audio").replace("H264/90000", "opus/48000/2"),
        "no ICE credentials": re.sub(r"a=ice-(ufrag|pwd):[^\r\n]*\r?\n", "", offer),
        "no fingerprint": re.sub(r"a=fingerprint:[^\r\n]*\r?\n", "", offer),
        "plain RTP": offer.replace("UDP/TLS/RTP/SAVPF", "RTP/AVP"),
        "sendonly": offer.replace("a=recvonly", "a=sendonly"),
        "binary": "v=0\r\n" + "\x00\xff" * 100,
        "payload type out of range": offer.replace(" 102", " 999").replace(":102 ", ":999 "),
    }
    for name, body in hostile.items():
        code, _, text = post(server, body.encode("latin-1"))
        assert 400 <= code < 500, f"{name}: {code} {text}"
    # After all of it, a viewer still plays.
    played = result(viewer(server, 0, 3))
    assert played["status"] == 201 and played["frames"] >= FPS, played
    assert server.process.poll() is None
    wait_for(lambda: status(server)["cameras"][0]["clients"]["webrtc"] <= 1, 10, "the played viewer gone")


def udp_ports(pid: int) -> int:
    """UDP sockets the process holds."""
    inodes = set()
    for fd in Path(f"/proc/{pid}/fd").iterdir():
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    count = 0
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        for line in Path(table).read_text().splitlines()[1:]:
            if line.split()[9] in inodes:
                count += 1
    return count


def resources(server) -> Dict[str, int]:
    pid = server.process.pid
    return {"threads": len(os.listdir(f"/proc/{pid}/task")), "fds": len(os.listdir(f"/proc/{pid}/fd")),
            "udp": udp_ports(pid)}


def test_viewers_come_and_go_and_everything_returns_to_its_baseline(start_server) -> None:
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--linger", "1",
                          "--webrtc-ports", "30200-30299")
    # One viewer first: the libraries' own threads and sockets, made once, are part of the baseline.
    first = result(viewer(server, 0, 1))
    assert first["status"] == 201, (first, server.stderr()[-3000:])
    wait_for(lambda: status(server)["cameras"][0]["streaming"] is False, 30, "the camera closed after the linger")
    baseline = resources(server)
    vanished = 0
    # Twenty in all, four at a time. A sanitized server makes its DTLS
    # handshakes several times slower: eight, two at a time, then, or four
    # joining at once may not all connect within the server's 15 s.
    at_once, count = (2, 8) if SANITIZED else (4, 20)
    for batch in range(count // at_once):
        viewers: List[subprocess.Popen] = []
        for i in range(at_once):
            # Every third leaves without DELETE, as a closed tab does.
            gone = (batch * at_once + i) % 3 == 2
            vanished += gone
            viewers.append(viewer(server, 0, 1, *(["--no-delete"] if gone else [])))
        for process in viewers:
            got = result(process)
            assert got["status"] == 201 and got["frames"] > 0, (got, server.stderr()[-3000:])
            ports = [int(p) for p in re.findall(r"a=candidate:\S+ 1 UDP \d+ 127\.0\.0\.1 (\d+)", got["answer"])]
            assert ports and all(30200 <= p <= 30299 for p in ports), ports
    assert vanished >= count // 3
    # Those that vanished are noticed by their silence, well within 30 s.
    wait_for(lambda: status(server)["cameras"][0]["clients"]["webrtc"] == 0, 30, "every viewer gone")
    assert "went silent" in server.stderr()
    wait_for(lambda: status(server)["cameras"][0]["streaming"] is False, 30, "the camera closed after the linger")
    assert server.opens(0) == server.closes(0)

    def back_to_baseline() -> bool:
        now = resources(server)
        return now["udp"] <= baseline["udp"] and now["fds"] <= baseline["fds"] and \
            now["threads"] <= baseline["threads"] + 2

    try:
        wait_for(back_to_baseline, 30, "threads, descriptors and UDP ports back to the baseline")
    except AssertionError:
        raise AssertionError(f"baseline {baseline}, now {resources(server)}")
