// The camera as fragmented MP4 over a WebSocket of this page's own origin,
// played through Media Source Extensions (ManagedMediaSource where the
// browser has it): for networks that let no WebRTC through.
//
// Each binary message is acknowledged as it arrives ("ack N"): the server
// sees its queue for this viewer and skips to a key frame rather than let
// it grow. This side keeps to the live edge: it plays a little faster when
// behind, jumps when far behind or stuck at a hole in what it has, and lets
// go of what it played.

const BEHIND_FAST_S = 0.3, BEHIND_JUMP_S = 1.0, JUMP_TO_S = 0.15, KEEP_S = 10, CHASE_MS = 250, PENDING_MAX = 120;

export const mseAvailable = () => typeof (window.ManagedMediaSource || window.MediaSource) === "function" &&
  typeof WebSocket === "function";

export class MseStream {
  // Plays `path` (cam<N>/mse) into `video`. `onStatus` gets the server's
  // status messages; `onEnd` a reason when the socket closes.
  constructor(video, path, onStatus, onEnd) {
    const Source = window.ManagedMediaSource || window.MediaSource;
    this.video = video;
    this.onStatus = onStatus;
    this.onEnd = onEnd;
    this.source = new Source();
    this.buffer = null;
    this.codec = null;
    this.pending = [];
    this.received = 0;
    this.bytes = 0;
    this.epochMs = null;
    this.closed = false;
    if (window.ManagedMediaSource) video.disableRemotePlayback = true;
    this.url = URL.createObjectURL(this.source);
    video.srcObject = null;
    video.src = this.url;
    this.source.addEventListener("sourceopen", () => this.connect(path), { once: true });
    this.onError = () => this.end("the browser could not play the stream" +
      (video.error && video.error.message ? ": " + video.error.message : ""));
    video.addEventListener("error", this.onError);
    this.chaser = setInterval(() => this.chase(), CHASE_MS);
  }

  connect(path) {
    if (this.closed) return;
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const base = location.pathname.replace(/[^/]*$/, "");
    this.socket = new WebSocket(scheme + location.host + base + path);
    this.socket.binaryType = "arraybuffer";
    this.socket.onmessage = (event) => this.message(event.data);
    this.socket.onclose = (event) => this.end(event.reason || "the stream ended (" + event.code + ")");
    this.socket.onerror = () => this.end("the stream could not be opened");
  }

  message(data) {
    if (typeof data === "string") {
      const m = JSON.parse(data);
      if (m.type === "init") this.describe(m);
      else if (m.type === "status" && this.onStatus) this.onStatus(m);
      return;
    }
    ++this.received;
    this.bytes += data.byteLength;
    this.socket.send("ack " + this.received);
    // A page this far behind cannot catch up by appending: it starts again.
    if (this.pending.length >= PENDING_MAX) {
      this.end("the browser fell behind the stream");
      return;
    }
    this.pending.push(data);
    this.append();
  }

  // A new configuration (the first, or another tier's): its type applies
  // from its initialization segment on, after what came before it.
  describe(m) {
    if (this.epochMs === null) this.epochMs = m.epoch_ms;
    const type = 'video/mp4; codecs="' + m.codec + '"';
    if (!this.buffer) {
      try {
        this.buffer = this.source.addSourceBuffer(type);
      } catch (e) {
        this.end("this browser cannot play " + m.codec + " (" + e.message + ")");
        return;
      }
      this.buffer.mode = "segments";
      this.buffer.addEventListener("updateend", () => this.append());
    } else if (m.codec !== this.codec) {
      this.pending.push({ type });
    }
    this.codec = m.codec;
  }

  append() {
    if (!this.buffer || this.buffer.updating || this.pending.length === 0 || this.closed) return;
    const next = this.pending.shift();
    try {
      if (next.type) {
        if (typeof this.buffer.changeType === "function") this.buffer.changeType(next.type);
        this.append();
      } else {
        this.buffer.appendBuffer(next);
      }
    } catch (e) {
      this.end("the browser refused the stream: " + e.message);
    }
  }

  // Keeps to the live edge, and lets go of what was played.
  chase() {
    const video = this.video, ranges = video.buffered;
    if (this.closed || ranges.length === 0) return;
    const end = ranges.end(ranges.length - 1), start = ranges.start(ranges.length - 1);
    const behind = end - video.currentTime;
    if (behind > BEHIND_JUMP_S || video.currentTime < start) {
      video.currentTime = Math.max(start, end - JUMP_TO_S);
    }
    video.playbackRate = behind > BEHIND_FAST_S ? 1.1 : 1.0;
    if (video.paused) video.play().catch(() => {});
    if (this.buffer && !this.buffer.updating && video.currentTime - ranges.start(0) > 2 * KEEP_S) {
      try { this.buffer.remove(0, video.currentTime - KEEP_S); } catch (e) { /* next time */ }
    }
  }

  // How far behind the camera the picture is, in milliseconds, from the
  // wall time the server gave the stream's start; null before it plays.
  lagMs() {
    if (this.epochMs === null || this.video.readyState < 2) return null;
    return Date.now() - (this.epochMs + this.video.currentTime * 1000);
  }

  framesShown() {
    const quality = this.video.getVideoPlaybackQuality ? this.video.getVideoPlaybackQuality() : null;
    return quality ? quality.totalVideoFrames - quality.droppedVideoFrames : 0;
  }

  end(why) {
    if (this.closed) return;
    this.close();
    if (this.onEnd) this.onEnd(why);
  }

  close() {
    if (this.closed) return;
    this.closed = true;
    clearInterval(this.chaser);
    this.video.removeEventListener("error", this.onError);
    if (this.socket) {
      this.socket.onclose = this.socket.onerror = this.socket.onmessage = null;
      this.socket.close();
    }
    this.video.removeAttribute("src");
    this.video.load();
    URL.revokeObjectURL(this.url);
  }
}
