// The recordings of each camera, when the server records: a day's segments
// on a time line of 24 hours (UTC, as the files are named), a player for a
// segment or for a span the server exports as one MP4, and its download.
import { shown } from "./tile.js";

const DAY_S = 86400;
const dayOf = (date) => date.toISOString().slice(0, 10);

class Recordings {
  constructor(id) {
    this.id = id;
    const div = this.div = document.createElement("div");
    div.className = "recordings";
    div.id = "rec-cam" + id;
    div.innerHTML = '<h2>Camera ' + id + ' recordings</h2>' +
      '<form class="day"><label>Day (UTC) <input type="date" name="day" required></label>' +
      '<span class="count"></span></form>' +
      '<div class="timeline"></div>' +
      '<div class="hours"><span>0</span><span>6</span><span>12</span><span>18</span><span>24 h</span></div>' +
      '<form class="span"><label>From <input type="time" name="from" step="1" required></label>' +
      '<label>for <input type="number" name="seconds" min="1" max="86400" value="60" required> s</label>' +
      '<button type="submit">Play</button><a class="download" download hidden>Download</a></form>' +
      '<p class="playing"></p><video controls playsinline muted preload="metadata"></video>';
    this.day = div.querySelector("input[name=day]");
    this.from = div.querySelector("input[name=from]");
    this.seconds = div.querySelector("input[name=seconds]");
    this.timeline = div.querySelector(".timeline");
    this.video = div.querySelector("video");
    this.download = div.querySelector(".download");
    const now = new Date();
    this.day.value = dayOf(now);
    this.from.value = new Date(now - 60000).toISOString().slice(11, 19);
    this.day.addEventListener("change", () => this.load());
    div.querySelector("form.day").addEventListener("submit", (e) => { e.preventDefault(); this.load(); });
    div.querySelector("form.span").addEventListener("submit", (e) => {
      e.preventDefault();
      const start = this.day.value + "T" + (this.from.value.length === 5 ? this.from.value + ":00" : this.from.value) + "Z";
      this.play("api/export?camera=" + id + "&start=" + encodeURIComponent(start) + "&duration=" + this.seconds.value,
                "from " + start + " for " + this.seconds.value + " s");
    });
    document.getElementById("recordings").append(div);
  }

  async load() {
    if (!this.day.value) return;
    const start = this.day.value + "T00:00:00Z";
    const end = dayOf(new Date(Date.parse(start) + DAY_S * 1000)) + "T00:00:00Z";
    const count = this.div.querySelector(".count");
    try {
      const response = await fetch("api/recordings?camera=" + this.id + "&start=" + encodeURIComponent(start) +
                                   "&end=" + encodeURIComponent(end), { cache: "no-store" });
      if (!response.ok) throw new Error("status " + response.status);
      const segments = await response.json();
      const dayStart = Date.parse(start) / 1000;
      this.timeline.replaceChildren(...segments.map((segment) => {
        const bar = document.createElement("button");
        const from = Math.max(0, Date.parse(segment.start) / 1000 - dayStart);
        bar.type = "button";
        bar.style.left = (100 * from / DAY_S) + "%";
        bar.style.width = (100 * Math.min(segment.duration_s, DAY_S - from) / DAY_S) + "%";
        bar.title = segment.start.slice(11, 19) + ", " + segment.duration_s.toFixed(0) + " s, " +
                    (segment.bytes / 1e6).toFixed(1) + " MB";
        bar.dataset.url = segment.url;
        bar.setAttribute("aria-label", "Segment at " + bar.title);
        bar.addEventListener("click", () => {
          this.timeline.querySelectorAll(".chosen").forEach((b) => b.classList.remove("chosen"));
          bar.classList.add("chosen");
          this.play(segment.url.slice(1), "segment at " + segment.start);
        });
        return bar;
      }));
      count.textContent = segments.length + (segments.length === 1 ? " segment" : " segments");
    } catch (e) {
      count.textContent = "Could not list the recordings: " + e.message;
    }
  }

  play(url, what) {
    this.video.src = url;
    this.video.play().catch(() => {});
    this.download.href = url;
    this.download.hidden = false;
    this.div.querySelector(".playing").textContent = "Playing the " + what;
  }
}

const recordings = {};

// The view appears when the status shows a disk to record on.
export function showRecordings(status) {
  if (!status.disk) return;
  document.getElementById("recordings").hidden = false;
  for (const camera of status.cameras) {
    if (!recordings[camera.id]) {
      recordings[camera.id] = new Recordings(camera.id);
      recordings[camera.id].load();
      shown[camera.id].querySelector(".to-recordings").hidden = false;
    }
  }
}

// Today's time lines grow as segments are written.
setInterval(() => {
  if (document.hidden) return;
  Object.values(recordings).forEach((r) => { if (r.day.value === dayOf(new Date())) r.load(); });
}, 10000);
