// WHEP: a receive-only offer POSTed to the server, answered with every
// candidate of its own, so that neither side trickles.

// The offer goes with its candidates: the server takes no trickle.
export function gathered(pc) {
  if (pc.iceGatheringState === "complete") return Promise.resolve();
  return new Promise((resolve) => {
    const done = () => { if (pc.iceGatheringState === "complete") resolve(); };
    pc.addEventListener("icegatheringstatechange", done);
    setTimeout(resolve, 2000);
  });
}

// POSTs the local description to `url`; the session's Location and the
// answer's SDP, or an error naming the server's answer.
export async function postOffer(url, pc) {
  const response = await fetch(url, {
    method: "POST", headers: { "Content-Type": "application/sdp" }, body: pc.localDescription.sdp,
  });
  return { status: response.status, location: response.headers.get("Location"), sdp: await response.text() };
}

// Ends a session; it may be gone already, and the page may be going.
export function endSession(location) {
  fetch(location, { method: "DELETE", keepalive: true }).catch(() => {});
}
