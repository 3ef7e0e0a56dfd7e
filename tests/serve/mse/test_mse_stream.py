"""The fMP4 stream over a WebSocket at /cam<N>/mse, as its bytes: what a
page appends to Media Source Extensions, and what the server does with a
viewer that takes nothing."""
from __future__ import annotations

import json
import socket
import struct
import time
from typing import Dict, List, Tuple

import pytest

from conftest import SANITIZED, status, wait_for
from websocket_client import BINARY, TEXT, HandshakeRefused, WebSocket


def boxes(data: bytes) -> List[Tuple[str, bytes]]:
    """The top-level boxes of `data`: (type, body)."""
    found, at = [], 0
    while at + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        assert size >= 8 and at + size <= len(data), (kind, size, len(data) - at)
        found.append((kind.decode(), data[at + 8:at + size]))
        at += size
    assert at == len(data)
    return found


def find(data: bytes, path: str) -> bytes:
    """The body of the box at `path` ("moov/trak/tkhd") within `data`."""
    for kind in path.split("/"):
        data = dict(boxes(data))[kind]
    return data


def fragment_fields(data: bytes) -> Dict:
    (moof, moof_body), (mdat, mdat_body) = boxes(data)
    assert (moof, mdat) == ("moof", "mdat")
    sequence = struct.unpack(">I", find(moof_body, "mfhd")[4:8])[0]
    tfdt = find(moof_body, "traf/tfdt")
    assert tfdt[0] == 1
    trun = find(moof_body, "traf/trun")
    count, offset, duration, size, flags = struct.unpack(">IiIII", trun[4:24])
    assert count == 1 and size == len(mdat_body) and offset == len(moof_body) + 16
    # The sample is length-prefixed NAL units, all of it.
    at = 0
    while at < size:
        at += 4 + struct.unpack(">I", mdat_body[at:at + 4])[0]
    assert at == size
    return {"sequence": sequence, "decode_time": struct.unpack(">Q", tfdt[4:12])[0], "duration": duration,
            "key": not flags & 0x00010000, "size": size}


def open_stream(server, camera: int = 0, **headers) -> WebSocket:
    return WebSocket("127.0.0.1", server.http_port, f"/cam{camera}/mse", headers)


def test_a_viewer_gets_an_initialization_segment_then_a_fragment_per_frame_on_one_time_line(start_server) -> None:
    server = start_server("--no-auth", "--cameras", "0", "--size", "640x480", "--fps", "30")
    ws = open_stream(server)
    try:
        kind, text = ws.receive()
        assert kind == TEXT
        init = json.loads(text)
        assert init["type"] == "init" and init["codec"].startswith("avc1.") and len(init["codec"]) == 11
        assert (init["width"], init["height"]) == (640, 480)
        assert abs(init["epoch_ms"] / 1000 - time.time()) < 30
        kind, segment = ws.receive()
        assert kind == BINARY
        assert [k for k, _ in boxes(segment)] == ["ftyp", "moov"]
        tkhd = find(segment, "moov/trak/tkhd")
        assert struct.unpack(">II", tkhd[-8:]) == (640 << 16, 480 << 16)
        assert struct.unpack(">I", find(segment, "moov/trak/mdia/mdhd")[12:16])[0] == 90000
        stsd = find(segment, "moov/trak/mdia/minf/stbl/stsd")
        assert stsd[12:16] == b"avc1" and b"avcC" in stsd
        received, fragments = 1, []
        while len(fragments) < 60:
            kind, data = ws.receive()
            if kind == TEXT:
                assert json.loads(data)["type"] == "status"
                continue
            assert kind == BINARY
            fragments.append(fragment_fields(data))
            received += 1
            ws.send(f"ack {received}".encode())
        # It starts at a key frame; fragments are numbered one by one and
        # follow each other on the time line without holes or overlaps.
        assert fragments[0]["key"] and fragments[0]["decode_time"] == 0
        for before, after in zip(fragments, fragments[1:]):
            assert after["sequence"] == before["sequence"] + 1
            assert after["decode_time"] == before["decode_time"] + before["duration"], (before, after)
        # About 30 fps: 60 frames take about two seconds of media.
        span = fragments[-1]["decode_time"] - fragments[0]["decode_time"]
        assert 1.5 * 90000 < span < 2.5 * 90000, span
        camera = status(server)["cameras"][0]
        assert camera["clients"]["mse"] == 1 and camera["tiers"]["mse"]["main"] == 1
    finally:
        ws.close()
    # Gone, and counted out.
    wait_for(lambda: status(server)["cameras"][0]["clients"]["mse"] == 0, 10, "the viewer to be counted out")


def test_only_the_servers_own_pages_open_it_and_bad_requests_are_refused(start_server) -> None:
    server = start_server("--no-auth", "--cameras", "0")
    with pytest.raises(HandshakeRefused) as refused:
        open_stream(server, Origin="http://elsewhere.example")
    assert refused.value.status == 403
    # The same origin is welcome.
    ws = open_stream(server, Origin=f"http://127.0.0.1:{server.http_port}")
    assert ws.receive()[0] == TEXT
    ws.close()
    # A camera not served: not found.
    with pytest.raises(HandshakeRefused) as refused:
        open_stream(server, camera=1)
    assert refused.value.status == 404
    # Not a WebSocket at all, and nonsense from a viewer: an error, never a crash.
    with socket.create_connection(("127.0.0.1", server.http_port), timeout=10) as plain:
        plain.sendall(b"GET /cam0/mse HTTP/1.1\r\nHost: x\r\n\r\n")
        assert int(plain.recv(4096).split(b" ", 2)[1]) >= 400
    ws = open_stream(server)
    for junk in (b"ack", b"ack -1", b"ack 99999999999999999999999", b"ack 1000000", b"\xff\xfe", b"hello"):
        ws.send(junk)
    ws.send(b"\x00\x01", BINARY)
    ws.close()
    assert server.process.poll() is None
    wait_for(lambda: status(server)["cameras"][0]["clients"]["mse"] == 0, 10, "the viewers to be counted out")


def rss_kib(server) -> int:
    with open(f"/proc/{server.process.pid}/status") as lines:
        return int(next(line.split()[1] for line in lines if line.startswith("VmRSS:")))


def test_a_viewer_that_takes_nothing_costs_bounded_memory_and_is_ended(start_server) -> None:
    """Never reads, never acknowledges: its queue past 500 ms, it is moved to
    the low tier and gets key frames only; what waits for it stays within the
    send limit, not every frame since; after 15 s it is ended."""
    server = start_server("--no-auth", "--cameras", "0", "--size", "1280x720", "--fps", "30",
                          env={"BOARDSIM_PATTERN": "scene"})
    # A small receive window from the start: its kernel holds little for it.
    ws = WebSocket("127.0.0.1", server.http_port, "/cam0/mse", receive_buffer=4096)
    try:
        start = time.monotonic()
        wait_for(lambda: status(server)["cameras"][0]["clients"]["mse"] == 1, 10, "the viewer")
        time.sleep(2)
        before = rss_kib(server)
        wait_for(lambda: status(server)["cameras"][0]["tiers"]["mse"]["low"] == 1, 10,
                 "the stalled viewer to be moved to the low tier")
        # Eight seconds of a 4 Mbit/s stream are 4 MB: what is held for it
        # stays within the send limit (2 MiB) and a moment's frames.
        held = []
        for _ in range(12):
            held.append(status(server)["cameras"][0]["mse"]["queued_bytes"])
            time.sleep(0.5)
        assert max(held) <= 3 * 1024 * 1024 and max(held) > 0, held
        # The process, where its resident size means something (under the
        # sanitizers freed memory is held in quarantine or shadowed).
        if not SANITIZED:
            assert rss_kib(server) - before < 6 * 1024, (before, rss_kib(server))
        wait_for(lambda: status(server)["cameras"][0]["clients"]["mse"] == 0, 30, "the stalled viewer to be ended")
        assert time.monotonic() - start >= 14
    finally:
        ws.close()
    # Another viewer is served as before.
    ws = open_stream(server)
    assert ws.receive()[0] == TEXT
    ws.close()
