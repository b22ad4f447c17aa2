// A web page's side of the Tavitty scanner daemon. No dependencies: copy this
// file next to your page and import it, or install the npm package
// tavitty-client and import it from there.
//
//   import { TavittyClient } from "./tavitty-client.mjs";
//   const client = new TavittyClient({ onScan: (scan) => console.log(scan.data) });
//   client.start();
//
// The daemon speaks ws:// or, when it has a certificate, wss:// only; the url
// option names the one it serves.
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
//
// A scan whose bytes are UTF-8 arrives in a text frame. Any other scan (the
// daemon set to pass GBK, or the scanner's bytes, through unchanged) arrives in
// a binary frame holding the same JSON, with the scan's bytes as they are
// inside the Data string: only the quote, the backslash and control bytes are
// escaped. Those bytes are no text in any one encoding (the second byte of a
// GBK character may be a backslash that the escape doubled), so the client
// reads the JSON one character per byte, takes Data's characters back as
// bytes and only then decodes them, as binaryEncoding says.

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

function isSecure(url) {
  try {
    return new URL(url).protocol === "wss:";
  } catch {
    return false;
  }
}

const UNTRUSTED = "the browser does not trust the service's certificate";

function blockedHint(location, url) {
  const blocked = "the browser blocked access to the local scanner service";
  if (location?.protocol === "http:") {
    return `${blocked}: a page served over http from another host never gets through. Serve ` +
      "it over https and list its origin in the browser policy LocalNetworkAccessAllowedForUrls, " +
      "or serve it from this machine.";
  }
  const origin = location?.origin || "the page's origin";
  const down = "the service is not running" + (isSecure(url) ? `, or ${UNTRUSTED}` : "");
  return `${blocked} (or ${down}). List ${origin} in the browser policy ` +
    "LocalNetworkAccessAllowedForUrls.";
}

// The browser refuses to make the socket at all: an unusable URL, or plain
// ws:// to another host from an https page.
function refusedHint(url, error) {
  if (error?.name === "SecurityError") {
    return `the browser will not open ${url} from this page: an https page may use plain ws:// ` +
      "to this machine only (localhost, 127.0.0.1); use wss:// for a service on another host.";
  }
  return `${url}: ${error?.message || error}`;
}

// One character per byte (U+0000 to U+00FF).
function bytesToChars(bytes) {
  let chars = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    chars += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return chars;
}

function charsToBytes(chars) {
  const bytes = new Uint8Array(chars.length);
  for (let i = 0; i < chars.length; i++) {
    const code = chars.charCodeAt(i);
    if (code > 0xff) return null;  // an escape the daemon never writes
    bytes[i] = code;
  }
  return bytes;
}

export class TavittyClient {
  constructor({
    url = `ws://${globalThis.location?.hostname || "localhost"}:9010/`,
    onScan = () => {},
    onStatus = () => {},  // (status, hint): the hint explains a "blocked" or a "failed"
    binaryEncoding = "gb18030",  // of scans in binary frames; gb18030 reads GBK and GB2312 too
    registerRetryMs = 1000,
    reconnectMinMs = 500,
    reconnectMaxMs = 10000,
  } = {}) {
    Object.assign(this, { url, onScan, onStatus, binaryEncoding, registerRetryMs, reconnectMinMs,
                          reconnectMaxMs });
    // An encoding the browser does not know fails here, not at the first scan.
    this.decoder = new TextDecoder(binaryEncoding);
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
    let socket;
    try {
      socket = new WebSocket(this.url);
    } catch (error) {
      // Trying again would change nothing.
      this.stopped = true;
      this.onStatus("failed", refusedHint(this.url, error));
      return;
    }
    socket.binaryType = "arraybuffer";
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
      const neverOpened = !this.opened && !this.stopped;
      if (neverOpened && !servedFromDaemonHost(location?.hostname, this.url)) {
        if (!this.blocked) this.onStatus("blocked", blockedHint(location, this.url));
        this.blocked = true;
      } else if (neverOpened && isSecure(this.url)) {
        // A certificate the browser refuses looks the same as no service.
        this.onStatus("disconnected", `the service is not running, or ${UNTRUSTED}`);
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

  // A frame from the daemon: a string (text frame) or an ArrayBuffer (binary).
  receive(frame) {
    const binary = typeof frame !== "string";
    let message;
    try {
      message = JSON.parse(binary ? bytesToChars(new Uint8Array(frame)) : frame);
    } catch {
      return;
    }
    if (message?.type !== "BARCODE_GUN") return;
    if (message.erro === -2) {
      // No scanner open yet: not registered. Ask again in a moment.
      this.onStatus("waiting for a scanner");
      clearTimeout(this.timer);
      this.timer = setTimeout(() => this.register(), this.registerRetryMs);
      return;
    }
    if (message.erro !== 0 || typeof message.Data !== "string") return;
    const scan = { data: message.Data, size: message.size, receivedAt: new Date(), binary };
    if (binary) {
      scan.bytes = charsToBytes(message.Data);
      if (!scan.bytes) return;
      scan.data = this.decoder.decode(scan.bytes);
    }
    this.onStatus("receiving scans");
    this.onScan(scan);
  }
}
