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

export class TavittyClient {
  constructor({
    url = `ws://${globalThis.location?.hostname || "localhost"}:9010/`,
    onScan = () => {},
    onStatus = () => {},
    registerRetryMs = 1000,
    reconnectMinMs = 500,
    reconnectMaxMs = 10000,
  } = {}) {
    Object.assign(this, { url, onScan, onStatus, registerRetryMs, reconnectMinMs, reconnectMaxMs });
    this.socket = null;
    this.timer = null;
    this.backoff = reconnectMinMs;
    this.stopped = true;
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
    this.onStatus("connecting");
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      this.backoff = this.reconnectMinMs;
      this.onStatus("connected");
      this.register();
    };
    socket.onmessage = (event) => this.receive(event.data);
    socket.onclose = () => {
      if (this.socket !== socket) return;
      clearTimeout(this.timer);
      this.onStatus("disconnected");
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
