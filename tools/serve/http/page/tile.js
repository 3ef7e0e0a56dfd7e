// One tile per camera the server serves: its picture and the transport that
// carries it, and its numbers from the status. Each tile plays its camera
// over WebRTC (WHEP at cam<N>/whep); where the browser has no WebRTC or no
// frame is decoded in 4 s, as fMP4 over a WebSocket (cam<N>/mse) into Media
// Source Extensions; and where that fails too, or when the viewer chooses
// it, over MJPEG.
import { endSession, gathered, postOffer } from "./whep.js";
import { MseStream, mseAvailable } from "./mse.js";

const FIRST_FRAME_MS = 4000, CONNECTED_ROUNDS = 2, RETRY_MS = 2000;

// The tiles by camera id.
export const shown = {};

export const players = () => Object.values(shown).map((div) => div.player);

function field(dl, name, label) {
  const dt = document.createElement("dt"), dd = document.createElement("dd");
  dt.textContent = label;
  dd.className = name;
  dl.append(dt, dd);
}

// What a tile plays and how: one player per camera.
class Player {
  constructor(id, div) {
    this.id = id;
    this.div = div;
    this.video = div.querySelector("video");
    this.img = div.querySelector("img");
    this.label = div.querySelector(".transport span");
    this.choice = "auto";      // "auto", or what the viewer chose: "webrtc", "mjpeg"
    this.fellBack = 0;         // how many transports auto mode gave up on for this page
    this.pc = null;
    this.mse = null;
    this.served = null;        // the MSE stream's newest status from the server
    this.location = null;
    this.timers = [];
    this.last = null;          // the previous getStats() sample
    this.generation = 0;       // bumped at each stop: late answers of old attempts are ignored
    div.querySelector("button").addEventListener("click", () => {
      this.choice = this.transport() === "mjpeg" ? "webrtc" : "mjpeg";
      this.fellBack = 0;
      this.restart();
    });
  }

  transport() { return this.div.dataset.transport; }

  // In auto mode: the first transport this browser has that was not given
  // up on.
  wanted() {
    if (this.choice !== "auto") return this.choice;
    const usable = [];
    if (typeof RTCPeerConnection === "function") usable.push("webrtc");
    if (mseAvailable()) usable.push("mse");
    usable.push("mjpeg");
    return usable[Math.min(this.fellBack, usable.length - 1)];
  }

  giveUp() {
    ++this.fellBack;
    this.restart();
  }

  later(fn, ms) { this.timers.push(setTimeout(fn, ms)); }

  start() {
    const want = this.wanted();
    if (want === "webrtc" && typeof RTCPeerConnection !== "function") {
      this.show("mjpeg", "MJPEG (this browser has no WebRTC)");
      this.startMjpeg();
    } else if (want === "webrtc") {
      this.startWebrtc();
    } else if (want === "mse") {
      this.startMse();
    } else {
      this.startMjpeg();
    }
  }

  stop() {
    ++this.generation;
    this.timers.forEach(clearTimeout);
    this.timers = [];
    if (this.pc) { this.pc.close(); this.pc = null; }
    if (this.mse) { this.mse.close(); this.mse = null; }
    this.served = null;
    if (this.location) {
      endSession(this.location);
      this.location = null;
    }
    this.video.srcObject = null;
    this.img.removeAttribute("src");
    this.last = null;
    this.div.dataset.transport = "off";
    this.label.textContent = "Stopped";
    delete this.label.dataset.rxFps;
    delete this.label.dataset.rxMbps;
    delete this.div.dataset.framesDecoded;
    delete this.div.dataset.tier;
    delete this.div.dataset.lagMs;
  }

  restart() { this.stop(); this.start(); }

  show(transport, text) {
    this.div.dataset.transport = transport;
    this.label.textContent = text;
    this.div.querySelector("button").textContent = transport === "mjpeg" ? "Use WebRTC" : "Use MJPEG";
  }

  startMjpeg() {
    this.show("mjpeg", "MJPEG");
    this.img.src = "cam" + this.id + ".mjpg?t=" + Date.now();
  }

  startMse() {
    const generation = this.generation;
    this.show("mse", "MSE \u00b7 connecting");
    this.mse = new MseStream(this.video, "cam" + this.id + "/mse", (status) => { this.served = status; },
      (why) => { if (generation === this.generation) this.retry(generation, why); });
    // Nothing shown: the network lets this through no better.
    this.later(() => {
      if (generation !== this.generation || !this.mse || this.mse.framesShown() > 0) return;
      if (this.div.dataset.failing === "true") return;
      if (this.choice === "auto") this.giveUp();
    }, FIRST_FRAME_MS);
  }

  async startWebrtc() {
    const generation = this.generation;
    const pc = new RTCPeerConnection();
    this.pc = pc;
    this.show("webrtc", "WebRTC \u00b7 connecting");
    pc.addTransceiver("video", { direction: "recvonly" });
    pc.ontrack = (event) => { this.video.srcObject = event.streams[0] || new MediaStream([event.track]); };
    pc.onconnectionstatechange = () => {
      if (generation !== this.generation) return;
      if (pc.connectionState === "failed" || pc.connectionState === "closed") this.retry(generation);
    };
    try {
      await pc.setLocalDescription(await pc.createOffer());
      await gathered(pc);
      const answer = await postOffer("cam" + this.id + "/whep", pc);
      if (generation !== this.generation) {
        if (answer.status === 201 && answer.location) endSession(answer.location);
        return;
      }
      if (answer.status !== 201) throw new Error("the server answered " + answer.status);
      this.location = answer.location;
      await pc.setRemoteDescription({ type: "answer", sdp: answer.sdp });
    } catch (e) {
      if (generation === this.generation) this.retry(generation, e.message);
      return;
    }
    this.checkFirstFrame(generation);
  }

  // Answered but nothing decoded: the network lets HTTP through, not the
  // media. A camera that is failing has no frame to send, whatever the
  // transport: wait for it rather than give up on WebRTC. A connection that
  // is up has got through; a busy board may just be late with its first
  // key frame, so it gets a few more rounds.
  checkFirstFrame(generation, rounds = 0) {
    this.later(async () => {
      if (generation !== this.generation || (await this.framesDecoded()) > 0) return;
      if (this.div.dataset.failing === "true") {
        this.checkFirstFrame(generation, rounds);
      } else if (this.pc && this.pc.connectionState === "connected" && rounds < CONNECTED_ROUNDS) {
        this.checkFirstFrame(generation, rounds + 1);
      } else if (this.choice === "auto") {
        this.giveUp();
      }
    }, FIRST_FRAME_MS);
  }

  retry(generation, why) {
    if (generation !== this.generation) return;
    const choice = this.choice, transport = this.transport() === "mse" ? "mse" : "webrtc";
    this.stop();
    this.show(transport, (transport === "mse" ? "MSE" : "WebRTC") + " \u00b7 reconnecting" + (why ? " (" + why + ")" : ""));
    this.later(() => { if (this.choice === choice) { ++this.generation; this.start(); } }, RETRY_MS);
  }

  async inbound() {
    if (!this.pc) return null;
    let found = null;
    const report = await this.pc.getStats();
    report.forEach((s) => { if (s.type === "inbound-rtp" && s.kind === "video") found = s; });
    // Over UDP, or over TCP where the network lets no UDP through.
    report.forEach((s) => {
      if (s.type !== "transport" || !s.selectedCandidatePairId) return;
      const pair = report.get(s.selectedCandidatePairId);
      const local = pair && report.get(pair.localCandidateId);
      if (local) this.div.dataset.transport = local.protocol === "tcp" ? "webrtc-tcp" : "webrtc";
    });
    return found;
  }

  async framesDecoded() {
    const s = await this.inbound();
    return s ? s.framesDecoded || 0 : 0;
  }

  // The tier the server sends this viewer ("main", or "low" on a slow
  // link), from its session's resource; kept on the tile as data-tier.
  async tier() {
    if (!this.location) return null;
    try {
      const response = await fetch(this.location, { cache: "no-store" });
      if (!response.ok) return null;
      const served = await response.json();
      this.div.dataset.tier = served.tier;
      return served.tier;
    } catch (e) {
      return null;
    }
  }

  // The label under the picture ("WebRTC · low · 15 fps · 0.6 Mbit/s") and
  // the same figures as the tile's data, for whoever reads them.
  showReceived(name, tier, fps, mbps, frames, size) {
    this.label.textContent = name + " \u00b7 " + (tier ? tier + " \u00b7 " : "") + fps.toFixed(0) + " fps \u00b7 " +
      mbps.toFixed(1) + " Mbit/s";
    this.label.dataset.rxFps = fps.toFixed(2);
    this.label.dataset.rxMbps = mbps.toFixed(3);
    this.div.dataset.framesDecoded = String(frames);
    this.div.dataset.frameSize = size;
  }

  // What the MSE stream shows, from the video's own counters, and its lag
  // behind the camera (data-lag-ms).
  measureMse() {
    const now = performance.now(), frames = this.mse.framesShown(), bytes = this.mse.bytes;
    const lag = this.mse.lagMs();
    if (lag !== null) this.div.dataset.lagMs = String(Math.round(lag));
    if (this.last && now > this.last.timestamp) {
      const seconds = (now - this.last.timestamp) / 1000;
      const fps = (frames - this.last.frames) / seconds, mbps = (bytes - this.last.bytes) * 8 / seconds / 1e6;
      const tier = this.served ? this.served.tier : null;
      if (tier) this.div.dataset.tier = tier;
      this.showReceived("MSE", tier, fps, mbps, frames, this.video.videoWidth + "x" + this.video.videoHeight);
    }
    this.last = { timestamp: now, frames, bytes };
  }

  // What the browser receives, from its own counters.
  async measure() {
    if (this.transport() === "mse" && this.mse) {
      this.measureMse();
      return;
    }
    if (!this.transport().startsWith("webrtc") || !this.pc) return;
    const s = await this.inbound();
    if (!s) return;
    if (this.last && s.timestamp > this.last.timestamp) {
      const seconds = (s.timestamp - this.last.timestamp) / 1000;
      const fps = ((s.framesDecoded || 0) - (this.last.framesDecoded || 0)) / seconds;
      const mbps = (s.bytesReceived - this.last.bytesReceived) * 8 / seconds / 1e6;
      const tier = await this.tier();
      const name = this.transport() === "webrtc-tcp" ? "WebRTC over TCP" : "WebRTC";
      this.showReceived(name, tier, fps, mbps, s.framesDecoded || 0, (s.frameWidth || 0) + "x" + (s.frameHeight || 0));
    }
    this.last = s;
  }
}

function tile(id) {
  const div = document.createElement("div");
  div.className = "tile";
  div.id = "cam" + id;
  div.dataset.transport = "off";
  div.innerHTML = '<div class="picture"><video muted playsinline autoplay></video>' +
    '<img alt="Camera ' + id + '"></div>' +
    '<div class="caption"><h2>Camera ' + id + '</h2>' +
    '<p class="transport"><span>Starting</span><button type="button">Use MJPEG</button></p>' +
    '<p class="fault" role="status"></p><dl></dl>' +
    '<p><a href="cam' + id + '.jpg" target="_blank">Snapshot</a>' +
    '<a class="to-recordings" href="#rec-cam' + id + '" hidden> \u00b7 Recordings</a></p></div>';
  const dl = div.querySelector("dl");
  field(dl, "size", "Size");
  field(dl, "fps", "Frame rate");
  field(dl, "dropped", "Dropped");
  field(dl, "errors", "Errors");
  field(dl, "clients", "Clients");
  document.getElementById("tiles").append(div);
  div.player = new Player(id, div);
  if (!document.hidden) div.player.start();
  return div;
}

// A camera of the status: its tile, made the first time, and its numbers.
export function showCamera(camera) {
  const div = shown[camera.id] || (shown[camera.id] = tile(camera.id));
  const set = (name, text) => { div.querySelector("dd." + name).textContent = text; };
  set("size", camera.width + "\u00d7" + camera.height);
  const failing = camera.error != null;
  set("fps", camera.measured_fps.toFixed(1) + " of " + camera.fps +
      (failing ? " (retrying)" : camera.streaming ? "" : " (closed)"));
  const fault = div.querySelector(".fault");
  fault.textContent = failing ? camera.error.message + " \u2014 retrying (since " + camera.error.since + ")" : "";
  div.dataset.failing = failing ? "true" : "false";
  set("errors", String(camera.errors_total));
  set("dropped", camera.dropped.camera + " by the camera, " + camera.dropped.clients + " for slow clients");
  set("clients", camera.clients.webrtc + " WebRTC, " + camera.clients.mjpeg + " MJPEG, " +
      camera.clients.rtsp + " RTSP" + (camera.clients.mse ? ", " + camera.clients.mse + " MSE" : ""));
}
