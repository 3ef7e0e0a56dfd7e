// The page's entry: the status, polled every second, makes and refreshes the
// tiles and the recordings view; a hidden tab stops its streams.
import { players, showCamera } from "./tile.js";
import { showRecordings } from "./recordings.js";

const HIDDEN_STOP_MS = 5000;
let serverReachable = true;

async function refresh() {
  const error = document.getElementById("error");
  try {
    const response = await fetch("api/status", { cache: "no-store" });
    if (!response.ok) throw new Error("status " + response.status);
    const status = await response.json();
    status.cameras.forEach(showCamera);
    showRecordings(status);
    error.textContent = "";
    // The server is back (a restart, a network that came back): every
    // stream starts again now rather than when its own timeout notices.
    if (!serverReachable && !document.hidden) players().forEach((p) => p.restart());
    serverReachable = true;
  } catch (e) {
    error.textContent = "No answer from the board: " + e.message;
    serverReachable = false;
  }
  players().forEach((p) => p.measure().catch(() => {}));
}

// A tab out of sight stops its streams after a while, so that a forgotten
// tab costs the board nothing; shown again, it plays again.
let hiddenTimer = 0;
document.addEventListener("visibilitychange", () => {
  clearTimeout(hiddenTimer);
  if (document.hidden) {
    hiddenTimer = setTimeout(() => players().forEach((p) => p.stop()), HIDDEN_STOP_MS);
  } else {
    players().forEach((p) => { if (p.transport() === "off") p.start(); });
  }
});
window.addEventListener("pagehide", () => players().forEach((p) => p.stop()));

refresh();
setInterval(refresh, 1000);
