"""A WHEP viewer on GStreamer's webrtcbin, receive-only, for the tests.

Run as a program, it offers, plays for S seconds from its first frame (or
from 30 s without one) and prints what it got as one line of JSON:

    whep_client.py URL [--seconds S] [--user U:P] [--no-delete] [--cafile F]

{"status": 201, "location": ..., "frames": N, "width": W, "height": H,
 "first_frame_s": S, "deleted": 200}. It exits 0 once it has printed, what-
ever the server answered; "status" says what that was.
"""
from __future__ import annotations

import argparse
import base64
import json
import ssl
import sys
import threading
import time
import urllib.error
import urllib.request
from typing import Dict, Optional

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstWebRTC", "1.0")
gi.require_version("GstSdp", "1.0")
from gi.repository import GLib, Gst, GstSdp, GstWebRTC  # noqa: E402

OFFER_CAPS = ("application/x-rtp,media=video,encoding-name=H264,payload=102,clock-rate=90000,"
              "packetization-mode=(string)1,profile-level-id=(string)42e01f")


def request(method: str, url: str, body: Optional[bytes], headers: Dict[str, str],
            context: Optional[ssl.SSLContext]) -> tuple:
    """(status, headers, body) of one HTTP request; errors are answers too."""
    req = urllib.request.Request(url, data=body, method=method, headers=headers)
    try:
        with urllib.request.urlopen(req, timeout=20, context=context) as response:
            return response.status, dict(response.headers), response.read()
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read()


class Viewer:
    """One receive-only peer: offer, POST, answer, decode."""

    def __init__(self, url: str, auth: Optional[str], context: Optional[ssl.SSLContext],
                 decode: bool = True) -> None:
        self.url = url
        self.decode = decode
        self.headers = {"Content-Type": "application/sdp"}
        if auth:
            self.headers["Authorization"] = "Basic " + base64.b64encode(auth.encode()).decode()
        self.context = context
        self.result: Dict[str, object] = {"frames": 0, "width": 0, "height": 0}
        self.offered = threading.Event()
        self.first_frame = threading.Event()
        self.started = time.monotonic()
        self.pipeline = Gst.Pipeline.new("viewer")
        self.webrtc = Gst.ElementFactory.make("webrtcbin", "webrtc")
        self.webrtc.set_property("bundle-policy", GstWebRTC.WebRTCBundlePolicy.MAX_BUNDLE)
        self.pipeline.add(self.webrtc)
        # libnice leaves loopback out unless it is named. The agent is kept:
        # PyGObject takes webrtcbin's floating reference to it when wrapping.
        self.ice = self.webrtc.get_property("ice-agent")
        self.ice.emit("add-local-ip-address", "127.0.0.1")
        self.webrtc.emit("add-transceiver", GstWebRTC.WebRTCRTPTransceiverDirection.RECVONLY,
                         Gst.Caps.from_string(OFFER_CAPS))
        self.webrtc.connect("pad-added", self._on_pad)
        self.webrtc.connect("notify::ice-gathering-state", self._on_gathering)
        self.pipeline.set_state(Gst.State.PLAYING)
        promise = Gst.Promise.new_with_change_func(self._on_offer, None)
        self.webrtc.emit("create-offer", None, promise)

    def _on_offer(self, promise: Gst.Promise, _data: object) -> None:
        reply = promise.get_reply()
        offer = reply.get_value("offer") if reply is not None and reply.has_field("offer") else None
        if offer is None:
            self.result["status"] = "no offer: " + (reply.to_string() if reply is not None else "no reply")
            self.offered.set()
            return
        self.webrtc.emit("set-local-description", offer, Gst.Promise.new())

    def _on_gathering(self, webrtc: Gst.Element, _spec: object) -> None:
        if webrtc.get_property("ice-gathering-state") == GstWebRTC.WebRTCICEGatheringState.COMPLETE:
            self.offered.set()

    def _on_pad(self, _webrtc: Gst.Element, pad: Gst.Pad) -> None:
        if pad.direction != Gst.PadDirection.SRC:
            return
        # Without decoding, each access unit counts as a frame of unknown size.
        decode = Gst.parse_bin_from_description(
            ("queue ! rtph264depay ! h264parse ! avdec_h264 ! videoconvert ! " if self.decode else
             "queue ! rtph264depay ! ") +
            "appsink name=frames sync=false emit-signals=true max-buffers=2 drop=true", True)
        self.pipeline.add(decode)
        decode.sync_state_with_parent()
        decode.get_by_name("frames").connect("new-sample", self._on_frame)
        pad.link(decode.get_static_pad("sink"))

    def _on_frame(self, sink: Gst.Element) -> Gst.FlowReturn:
        sample = sink.emit("pull-sample")
        structure = sample.get_caps().get_structure(0)
        if not self.decode:
            self.result["bytes"] = int(self.result.get("bytes", 0)) + sample.get_buffer().get_size()
        if self.result["frames"] == 0:
            self.result["first_frame_s"] = round(time.monotonic() - self.started, 3)
            self.first_frame.set()
        self.result["frames"] = int(self.result["frames"]) + 1
        if self.decode:
            self.result["width"] = structure.get_value("width")
            self.result["height"] = structure.get_value("height")
        return Gst.FlowReturn.OK

    def post(self) -> bool:
        """Sends the offer once its candidates are in; True on 201."""
        if not self.offered.wait(10):
            self.result["status"] = "no offer"
            return False
        if "status" in self.result:
            return False
        sdp = self.webrtc.get_property("local-description").sdp.as_text()
        self.result["offered_s"] = round(time.monotonic() - self.started, 3)
        status, headers, body = request("POST", self.url, sdp.encode(), self.headers, self.context)
        self.result["answered_s"] = round(time.monotonic() - self.started, 3)
        self.result["status"] = status
        self.result["content_type"] = headers.get("Content-Type", "")
        if status != 201:
            self.result["error"] = body.decode(errors="replace")
            return False
        self.result["location"] = headers.get("Location", "")
        self.result["answer"] = body.decode()
        ok, message = GstSdp.SDPMessage.new_from_text(body.decode())
        answer = GstWebRTC.WebRTCSessionDescription.new(GstWebRTC.WebRTCSDPType.ANSWER, message)
        self.webrtc.emit("set-remote-description", answer, Gst.Promise.new())
        return True

    def delete(self) -> None:
        location = str(self.result.get("location", ""))
        if not location:
            return
        base = self.url.split("/cam")[0]
        headers = {k: v for k, v in self.headers.items() if k == "Authorization"}
        self.result["deleted"] = request("DELETE", base + location, None, headers, self.context)[0]

    def close(self) -> None:
        self.pipeline.set_state(Gst.State.NULL)


def offer_sdp() -> str:
    """A real receive-only offer with its candidates, for tests that send
    offers by hand (Gst.init() first)."""
    viewer = Viewer("http://127.0.0.1:1/", None, None)
    loop = GLib.MainLoop()
    thread = threading.Thread(target=loop.run, daemon=True)
    thread.start()
    try:
        if not viewer.offered.wait(10) or "status" in viewer.result:
            raise RuntimeError(f"webrtcbin made no offer: {viewer.result}")
        return viewer.webrtc.get_property("local-description").sdp.as_text()
    finally:
        viewer.close()
        loop.quit()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--user")
    parser.add_argument("--no-delete", action="store_true")
    parser.add_argument("--cafile")
    parser.add_argument("--no-decode", action="store_true", help="count access units without decoding them")
    args = parser.parse_args()
    Gst.init(None)
    context = ssl.create_default_context(cafile=args.cafile) if args.cafile else None
    if context is not None:
        context.check_hostname = False
    viewer = Viewer(args.url, args.user, context, decode=not args.no_decode)
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, daemon=True).start()
    if viewer.post():
        # The time played starts with the first frame: a loaded machine (or
        # a sanitized server) takes longer to connect.
        viewer.first_frame.wait(30)
        time.sleep(args.seconds)
        if not args.no_delete:
            viewer.delete()
    print(json.dumps(viewer.result), flush=True)
    if args.no_delete:
        # A viewer that vanishes: no DELETE, no goodbye on the network.
        import os
        os._exit(0)
    viewer.close()
    loop.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
