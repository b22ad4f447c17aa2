// A web page's side of the Tavitty scanner daemon. No dependencies: copy this
// file next to your page and import it.
//
//   import { TavittyClient } from "./tavitty-client.mjs";
//   const client = new TavittyClient({ onScan: (scan) => console.log(scan.data) });
//   client.start();
//
// The daemon sends scans only to pages that registered by sending it a message
// while a scanner was open; while none is, it answers with "erro" -2 and the
// page asks again a second later. The daemon exits when its scanner is
// unplugged and its supervisor starts it again: the client reconnects by
// itself, waiting a little longer after each failed attempt.
//
// A page from another site reaches the daemon only where the browser lets it
// (Chromium's Local Network Access). A refused connection looks the same as a
// daemon that is down, so the client goes by where the page came from: a page
// from elsewhere whose socket never opened reports "blocked", with a hint for
// the operator, and keeps trying in the background.

const LOOPBACK_HOST = /^(localhost|.+\.localhost|127(\.\d{1,3}){3}|::1)$/;

function bareHost(host) {
  return String(host || "").toLowerCase().replace(/^\[|\]$/g, "");
}

// True where the browser has no reason to hold the page back: it came from
// this machine (or from no host at all, as a file), or from the host that the
// socket goes to.
export function servedFromDaemonHost(pageHost, url) {
  const page = bareHost(pageHost);
  let daemon = "";
  try {
    daemon = bareHost(new URL(url).hostname);
  } catch {
    // An unusable URL: the socket fails anyway, and says so itself.
  }
  return page === "" || LOOPBACK_HOST.test(page) || page === daemon;
}

function blockedHint(location) {
  const blocked = "the browser blocked access to the local scanner service";
  if (location?.protocol === "http:") {
    return `${blocked}: a page served over http from another host never gets through. Serve ` +
      "it over https and list its origin in the browser policy LocalNetworkAccessAllowedForUrls, " +
      "or serve it from this machine.";
  }
  const origin = location?.origin || "the page's origin";
  return `${blocked} (or the service is not running). List ${origin} in the browser policy ` +
    "LocalNetworkAccessAllowedForUrls.";
}

export class TavittyClient {
  constructor({
    url = `ws://${globalThis.location?.hostname || "localhost"}:9010/`,
    onScan = () => {},
    onStatus = () => {},  // (status, hint): the hint explains a "blocked"
    registerRetryMs = 1000,
    reconnectMinMs = 500,
    reconnectMaxMs = 10000,
  } = {}) {
    Object.assign(this, { url, onScan, onStatus, registerRetryMs, reconnectMinMs, reconnectMaxMs });
    this.socket = null;
    this.timer = null;
    this.backoff = reconnectMinMs;
    this.stopped = true;
    this.opened = false;  // once open, a refusal means the daemon is away
    this.blocked = false;
  }

  start() {
    this.stopped = false;
    this.connect();
  }

  stop() {
    this.stopped = true;
    clearTimeout(this.timer);
    if (this.socket) this.socket.close();
  }

  connect() {
    // While blocked, the hint stays up through the retries.
    if (!this.blocked) this.onStatus("connecting");
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      this.opened = true;
      this.blocked = false;
      this.backoff = this.reconnectMinMs;
      this.onStatus("connected");
      this.register();
    };
    socket.onmessage = (event) => this.receive(event.data);
    socket.onclose = () => {
      if (this.socket !== socket) return;
      clearTimeout(this.timer);
      const location = globalThis.location;
      if (!this.opened && !this.stopped && !servedFromDaemonHost(location?.hostname, this.url)) {
        if (!this.blocked) this.onStatus("blocked", blockedHint(location));
        this.blocked = true;
      } else {
        this.onStatus("disconnected");
      }
      if (this.stopped) return;
      this.timer = setTimeout(() => this.connect(), this.backoff);
      this.backoff = Math.min(this.backoff * 2, this.reconnectMaxMs);
    };
  }

  register() {
    if (this.socket && this.socket.readyState === WebSocket.OPEN) this.socket.send("register");
  }

  receive(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if (message.type !== "BARCODE_GUN") return;
    if (message.erro === -2) {
      // No scanner open yet: not registered. Ask again in a moment.
      this.onStatus("waiting for a scanner");
      clearTimeout(this.timer);
      this.timer = setTimeout(() => this.register(), this.registerRetryMs);
      return;
    }
    if (message.erro === 0) {
      this.onStatus("receiving scans");
      this.onScan({ data: message.Data, size: message.size, receivedAt: new Date() });
    }
  }
}
