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
//
// A daemon that serves every scanner at once (<ServeAllScanners>1</ServeAllScanners>)
// names each scan's scanner (scan.source) and, where it knows it, the code's
// symbology (scan.symbology, an AIM identifier such as "]E0"). A page may
// choose its scanners: subscribe(["payment"]) asks for theirs alone, now and
// after every reconnect. onScanner hears a scanner of the page's choice open
// and go, and scanners() asks which are open. A refused request comes back as
// the status "refused" with the daemon's reason. A daemon without that option
// sends none of this and takes a SUBSCRIBE as a plain registration: every
// scan, as before.
//
// That daemon numbers each scan (scan.id, "<run>:<seq>": run new at each of
// its starts, seq 1, 2, 3... in that run) and keeps it a while for pages
// that come back. The client remembers the last Id it delivered, in the
// tab's sessionStorage where it may (so a reload resumes too) and in memory,
// and subscribes with it as "After" on every connection: the daemon sends
// what the page missed, or first a GAP when some of it is no longer kept
// (onGap, and the status "gap"). A scan whose Id was delivered already is
// never delivered again.
//
// That daemon also takes orders for the scanners of the page's list: a signal
// (signal("goods", "not-on-file"): a beep where the scanner can give it) and
// scanning off and on (disable(["goods"]) while the till has a prompt open,
// enable(["goods"]) after). The daemon lets go of a page's DISABLE when the
// page's connection goes, and a scanner starts enabled when it is plugged in
// again: the client keeps what the page disabled, and tells the daemon again
// after every connection and whenever such a scanner opens again.
//
// A daemon with page tokens serves a page only once it has shown a signed
// token, which the page gets from its own (the POS's) server, in a SUBSCRIBE.
// With the token option the client registers with a SUBSCRIBE that carries
// it, whichever kind of daemon it is, asking for the token again before each:
// on every connection, every retry, and when the daemon says that the token
// expired (it then serves the page nothing until it shows a fresh one). The
// status "connected" comes once that SUBSCRIBE has gone; what the page asks
// while a token is on its way goes after it. A token the client could not
// get, or one the daemon refused, is asked for again a while later, the pause
// growing as for reconnects. The token itself goes nowhere but into the
// SUBSCRIBE: no status, hint or error holds it.

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

// The first thing to check where a page never connects: a daemon with
// AllowedOrigins refuses every other origin (a 403 that the browser shows as
// a failed connection), and http://localhost:8080 is not http://127.0.0.1:8080.
function originHint(location) {
  const origin = location?.origin && location.origin !== "null" ? location.origin : "";
  return origin ? `its AllowedOrigins does not list this page's origin, ${origin}, exactly`
    : "its AllowedOrigins does not list this page's origin";
}

function blockedHint(location, url) {
  const blocked = "the browser blocked access to the local scanner service";
  if (location?.protocol === "http:") {
    return `${blocked}: a page served over http from another host never gets through. Serve ` +
      "it over https and list its origin in the browser policy LocalNetworkAccessAllowedForUrls, " +
      "or serve it from this machine.";
  }
  const origin = location?.origin || "the page's origin";
  const down = "the service is not running, or " + originHint(location) +
    (isSecure(url) ? `, or ${UNTRUSTED}` : "");
  return `${blocked} (or ${down}). List ${origin} in the browser policy ` +
    "LocalNetworkAccessAllowedForUrls.";
}

// The browser refuses to make the socket at all (it throws, or, in WebKit,
// fails it before it connects): an unusable URL, plain ws:// from an https
// page, a port that browsers never use, the page's Content-Security-Policy.
function refusedHint(url, error) {
  if (error && error.name !== "SecurityError") return `${url}: ${error.message || error}`;
  if (globalThis.location?.protocol === "https:" && !isSecure(url)) {
    return `the browser will not open ${url} from an https page: use wss:// (Chromium makes ` +
      "an exception for this machine, ws://localhost and ws://127.0.0.1; WebKit makes none).";
  }
  return `the browser will not open ${url} from this page (a port that browsers never use, ` +
    "or the page's Content-Security-Policy).";
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

// What subscribe(), disable() and enable() take: the daemon refuses more
// names, or longer ones.
const MAX_SOURCES = 16;
const MAX_SOURCE_BYTES = 64;

function checkName(name) {
  if (name === "" || name.includes("\0") ||
      new TextEncoder().encode(name).length > MAX_SOURCE_BYTES) {
    throw new RangeError(`a scanner name is 1 to ${MAX_SOURCE_BYTES} bytes, none of them NUL: ` +
                         JSON.stringify(name));
  }
}

function checkedSources(sources, caller) {
  if (!Array.isArray(sources) || sources.some((s) => typeof s !== "string")) {
    throw new TypeError(`${caller} takes a list of scanner names`);
  }
  if (sources.length > MAX_SOURCES) {
    throw new RangeError(`${caller} takes ${MAX_SOURCES} scanner names at most`);
  }
  sources.forEach(checkName);
  return [...sources];
}

const SIGNALS = ["good", "error", "not-on-file"];

// The daemon's words where it refuses a SUBSCRIBE's After.
const AFTER_REFUSED = ['After is the Id of a scan, "<run>:<seq>"',
                       "After names a scan that this run has not read"];

// What a scanner can be told, as the daemon says it (nothing where it says
// nothing: a daemon that takes no orders).
function abilities(message, text) {
  const signals = Array.isArray(message.Signals) ? message.Signals.map(text) : [];
  return { signals: signals.filter((s) => SIGNALS.includes(s)), disable: message.Disable === true };
}

// The scan's code: its text without the terminator that a serial scanner
// sends (CR LF, CR or LF at its end).
function withoutTerminator(data) {
  return data.replace(/(\r\n|\r|\n)$/, "");
}

const UTF8 = new TextDecoder();

// The daemon's "erro" when it wants a valid token, and its words when the
// token of a page that it serves expired.
const TOKEN_REFUSED = -5;
const TOKEN_EXPIRED = "token expired";

// What the page's token function gave: a JSON Web Token holds no white
// space, so a line feed around it (a server's reply) goes.
function tokenOf(value) {
  const token = typeof value === "string" ? value.trim() : "";
  if (token === "") throw new TypeError("the token function gave no token (a non-empty string)");
  return token;
}

// A scan's Id as the daemon writes it and takes it back in After: its run (16
// lowercase hexadecimal digits) and its number in that run (64 bits at most).
const SCAN_ID = /^([0-9a-f]{16}):(0|[1-9][0-9]{0,19})$/;

function readScanId(id) {
  const match = typeof id === "string" ? SCAN_ID.exec(id) : null;
  if (!match || BigInt(match[2]) >= 2n ** 64n) return null;
  return { id, run: match[1], seq: BigInt(match[2]) };
}

export class TavittyClient {
  // A string, or a function that gives one (or a promise of one); undefined:
  // none. Private: no status, log or error of the page's shows it.
  #token;

  constructor({
    url = `ws://${globalThis.location?.hostname || "localhost"}:9010/`,
    onScan = () => {},
    // (status, hint): the hint explains a "blocked", "failed", "refused" or "gap"
    onStatus = () => {},
    onScanner = () => {},  // ({event: "added" | "removed", source, kind, device})
    onGap = () => {},  // ({after, reason}): scans after that Id may never come
    binaryEncoding = "gb18030",  // of scans in binary frames; gb18030 reads GBK and GB2312 too
    registerRetryMs = 1000,
    reconnectMinMs = 500,
    reconnectMaxMs = 10000,
    token = undefined,  // the page's signed token, or a function giving it
  } = {}) {
    Object.assign(this, { url, onScan, onStatus, onScanner, onGap, binaryEncoding,
                          registerRetryMs, reconnectMinMs, reconnectMaxMs });
    this.#token = typeof token === "string" ? token.trim() : token;
    if (this.#token === "" || !["undefined", "string", "function"].includes(typeof token)) {
      throw new TypeError("token is a non-empty string, or a function that gives one");
    }
    // An encoding the browser does not know fails here, not at the first scan.
    this.decoder = new TextDecoder(binaryEncoding);
    this.socket = null;
    this.timer = null;
    this.backoff = reconnectMinMs;
    this.stopped = true;
    this.opened = false;  // once open, a refusal means the daemon is away
    this.blocked = false;
    this.sources = null;  // null: never subscribed, the page registers for every scanner
    // The daemon of this connection serves every scanner at once (it said
    // something only such a daemon says): its first answer registered the
    // page, whatever it was.
    this.servesAll = false;
    this.listing = null;  // the pending scanners() request: { promise, resolve, reject }
    // The last scan delivered ({ id, run, seq }), kept in the tab's
    // sessionStorage under the daemon's URL where it can be: a reload of the
    // page resumes after it. A sandboxed frame, or a browser with storage
    // turned off, throws at sessionStorage, or has none: memory alone.
    this.storageKey = `tavitty-client last scan ${url}`;
    this.last = null;
    try {
      this.last = readScanId(globalThis.sessionStorage?.getItem(this.storageKey));
    } catch {
      // memory alone
    }
    this.resuming = false;  // the last SUBSCRIBE sent carried After
    // The page is registered on this connection as far as the client knows:
    // its requests may go. Not before the first registration of a
    // connection, nor after the daemon said that the token expired.
    this.ready = false;
    // The daemon let go of what the page disabled (a new connection, an
    // expired token): told again right after the next registration.
    this.tellNext = false;
    this.announce = false;  // "connected" at the next registration
    // The socket whose SUBSCRIBE waits for the token function, and what the
    // page asked meanwhile: it goes after that SUBSCRIBE (an order for a
    // scanner of the page's new list, say).
    this.fetching = null;
    this.queued = [];
    this.retrying = false;  // a registration with a fresh token is due after tokenBackoff
    this.tokenBackoff = reconnectMinMs;
    // The scanners the page wants off: every one of its list but those
    // enabled since (all), or those named.
    this.off = { all: false, names: new Set(), except: new Set() };
    // The scanners told again by the client itself on this connection, one
    // entry an order, until they open or go: the daemon's refusal of such an
    // order for a scanner not open (yet) is the client's to hear, not the
    // page's (the scanner is told again when it opens).
    this.told = [];
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
      this.servesAll = false;
      this.blocked = false;
      this.backoff = this.reconnectMinMs;
      this.tokenBackoff = this.reconnectMinMs;
      // Registered (with its list) first, and the scanners it wants off
      // told so: whatever the page sends on "connected" comes after.
      this.told = [];
      this.queued = [];
      this.ready = false;
      this.tellNext = true;
      this.announce = true;
      this.register();
    };
    socket.onmessage = (event) => this.receive(event.data);
    // WebKit fails a socket that it refuses to open with an error event
    // while the socket is still connecting, and no close event follows. (A
    // socket that could not connect is closed by the time its error comes,
    // and its close event follows.)
    socket.onerror = () => {
      if (this.socket !== socket || socket.readyState !== WebSocket.CONNECTING) return;
      this.socket = null;
      this.stopped = true;  // trying again would change nothing
      this.onStatus("failed", refusedHint(this.url));
    };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      clearTimeout(this.timer);
      this.listing?.reject(new Error("the connection to the scanner service closed"));
      this.listing = null;
      const location = globalThis.location;
      const neverOpened = !this.opened && !this.stopped;
      if (neverOpened && !servedFromDaemonHost(location?.hostname, this.url)) {
        if (!this.blocked) this.onStatus("blocked", blockedHint(location, this.url));
        this.blocked = true;
      } else if (neverOpened) {
        // A refused origin, or a certificate the browser refuses, looks the
        // same as no service.
        this.onStatus("disconnected", `the service is not running, or ${originHint(location)}` +
          (isSecure(this.url) ? `, or ${UNTRUSTED}` : ""));
      } else {
        this.onStatus("disconnected");
      }
      if (this.stopped) return;
      this.timer = setTimeout(() => this.connect(), this.backoff);
      this.backoff = Math.min(this.backoff * 2, this.reconnectMaxMs);
    };
  }

  socketOpen() {
    return this.socket?.readyState === WebSocket.OPEN;
  }

  // Open, and registered: what the page asks goes now.
  isOpen() {
    return this.ready && this.socketOpen();
  }

  // A request of the page's: now, or right after a SUBSCRIBE that waits for
  // its token.
  send(data) {
    if (this.fetching === this.socket) this.queued.push(data);
    else this.socket.send(data);
  }

  // Once subscribed, the page registers with its list: on every connection
  // and on every retry while no scanner is open, so the daemon never holds
  // it for every scanner in between. With a token function, the token first.
  register() {
    this.retrying = false;
    if (!this.socketOpen()) return;
    if (typeof this.#token !== "function") {
      this.sendRegistration(this.#token);
      return;
    }
    // The SUBSCRIBE of a call running already takes what the page has by then.
    if (this.fetching === this.socket) return;
    const socket = this.socket;
    this.fetching = socket;
    new Promise((resolve) => resolve(this.#token())).then(tokenOf).then((token) => {
      if (this.socket !== socket || !this.socketOpen()) return;
      this.fetching = null;
      this.sendRegistration(token);
    }, (error) => {
      if (this.socket !== socket || !this.socketOpen()) return;
      this.fetching = null;
      this.announce = true;
      // The page's words, never the token (it has none); tried again later.
      this.onStatus("token", `could not get the page's token: ${error?.message ?? error}`);
      this.flush();
      this.retryRegistration();
    });
  }

  flush() {
    for (const data of this.queued.splice(0)) this.socket.send(data);
  }

  // Once it has had a numbered scan, it subscribes with that scan's Id as
  // After, its list where it has one, and its token where it has one.
  sendRegistration(token) {
    const after = this.last?.id;
    this.resuming = after !== undefined;
    if (this.sources === null && !this.resuming && token === undefined) {
      this.socket.send("register");
    } else {
      const request = { type: "SUBSCRIBE" };
      if (this.sources !== null) request.Sources = this.sources;
      if (this.resuming) request.After = after;
      if (token !== undefined) request.Token = token;
      this.socket.send(JSON.stringify(request));
    }
    this.ready = true;
    if (this.tellNext) {
      this.tellNext = false;
      this.tellAgain();
    }
    this.flush();
    if (this.announce) {
      this.announce = false;
      this.onStatus("connected");
    }
  }

  // Registered again a while later, with a fresh token: the last could not
  // be got, or the daemon refused it.
  retryRegistration() {
    if (this.retrying) return;
    this.retrying = true;
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.register(), this.tokenBackoff);
    this.tokenBackoff = Math.min(this.tokenBackoff * 2, this.reconnectMaxMs);
  }

  remember(last) {
    this.last = last;
    try {
      if (last) globalThis.sessionStorage?.setItem(this.storageKey, last.id);
      else globalThis.sessionStorage?.removeItem(this.storageKey);
    } catch {
      // Full, or not the page's to use: memory alone.
    }
  }

  // The scans of these scanners alone; none (or an empty list): every scanner.
  subscribe(sources = []) {
    this.sources = checkedSources(sources, "subscribe()");
    this.register();
  }

  // A beep (good, error or not-on-file) from one scanner, where it can give
  // it. False where not connected: a signal is for now, never sent later.
  signal(source, kind) {
    if (typeof source !== "string") throw new TypeError("signal() takes a scanner name");
    checkName(source);
    if (!SIGNALS.includes(kind)) {
      throw new RangeError(`a signal is ${SIGNALS.join(", ")}: ${JSON.stringify(kind)}`);
    }
    if (!this.isOpen()) return false;
    this.send(JSON.stringify({ type: "SIGNAL", Source: source, Signal: kind }));
    return true;
  }

  // These scanners off (no argument: every scanner of the page's list; an
  // empty list: none), until enable(): told now where connected, and after
  // every connection and whenever one of them opens again.
  disable(sources) {
    if (sources === undefined) {
      this.off = { all: true, names: new Set(), except: new Set() };
      this.order("DISABLE");
      return;
    }
    for (const name of checkedSources(sources, "disable()")) {
      if (this.off.all) this.off.except.delete(name);
      else this.off.names.add(name);
      this.order("DISABLE", name);
    }
  }

  // These scanners on again (no argument: every scanner of the page's list,
  // an automatic disable too; an empty list: none).
  enable(sources) {
    if (sources === undefined) {
      this.off = { all: false, names: new Set(), except: new Set() };
      this.order("ENABLE");
      return;
    }
    for (const name of checkedSources(sources, "enable()")) {
      if (this.off.all) this.off.except.add(name);
      else this.off.names.delete(name);
      this.order("ENABLE", name);
    }
  }

  wantsOff(name) {
    return this.off.all ? !this.off.except.has(name) : this.off.names.has(name);
  }

  // An order for one scanner, or (no name) for every scanner of the page's
  // list. One message a name: the daemon refuses a whole request for one name
  // it can't take (a scanner not open), and the others would stay as they were.
  order(type, name, again = false) {
    if (!this.isOpen()) return;
    this.send(JSON.stringify(name === undefined ? { type } : { type, Sources: [name] }));
    if (again && name !== undefined) this.told.push(name);
  }

  // What the page wants off, again: the daemon let go of it when the page's
  // last connection went.
  tellAgain() {
    if (this.off.all) {
      this.order("DISABLE", undefined, true);
      for (const name of this.off.except) this.order("ENABLE", name, true);
    }
    for (const name of this.off.names) this.order("DISABLE", name, true);
  }

  // The scanners open now, from the daemon's next SCANNERS answer; rejected
  // where the socket is not open or closes first. Calls while one is pending
  // share its answer.
  scanners() {
    if (!this.isOpen()) {
      return Promise.reject(new Error("not connected to the scanner service"));
    }
    if (!this.listing) {
      let settle;
      const promise = new Promise((resolve, reject) => { settle = { resolve, reject }; });
      this.listing = { promise, ...settle };
      this.send(JSON.stringify({ type: "SCANNERS" }));
    }
    return this.listing.promise;
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
    // The names (not Data) are UTF-8 in a binary frame too.
    const text = (value) => {
      if (typeof value !== "string") return undefined;
      if (!binary) return value;
      const bytes = charsToBytes(value);
      return bytes ? UTF8.decode(bytes) : undefined;
    };
    // (A daemon that serves one scanner a run may want a token too.)
    if (["SCANNER", "SCANNERS", "GAP"].includes(message?.type) ||
        (message?.type === "ERROR" && message.erro !== TOKEN_REFUSED)) {
      this.servesAll = true;
    }
    switch (message?.type) {
      case "BARCODE_GUN":
        return this.receiveScan(message, binary, text);
      case "SCANNER": {
        if (message.event !== "added" && message.event !== "removed") return;
        const scanner = { event: message.event, source: text(message.Source),
                          kind: text(message.Kind), device: text(message.Device) };
        // The daemon refused what the client told it before it opened before
        // this came; what it is told after finds it open.
        this.told = this.told.filter((name) => name !== scanner.source);
        if (message.event === "added") {
          Object.assign(scanner, abilities(message, text));
          // Plugged in again (it starts enabled), or opened after the page
          // disabled every scanner: off before its first scan where it can be.
          if (scanner.source !== undefined && this.wantsOff(scanner.source)) {
            this.order("DISABLE", scanner.source, true);
          }
        }
        return this.onScanner(scanner);
      }
      case "SCANNERS": {
        const listing = this.listing;
        this.listing = null;
        const list = Array.isArray(message.Scanners) ? message.Scanners : [];
        return listing?.resolve(list.map((s) => ({
          source: text(s?.Source), kind: text(s?.Kind), device: text(s?.Device),
          vendorId: text(s?.VendorId), productId: text(s?.ProductId), ...abilities(s ?? {}, text),
        })));
      }
      case "GAP": {
        const gap = { after: text(message.After),
                      reason: text(message.Data) ?? "scans may have been lost" };
        this.onGap(gap);
        return this.onStatus("gap", gap.reason);
      }
      case "ERROR": {
        const reason = text(message.Data) ?? "the daemon refused a request";
        if (message.erro === TOKEN_REFUSED) return this.tokenRefused(reason);
        const told = this.told.findIndex((name) => reason === `no scanner ${name} is open`);
        if (told >= 0) {
          this.told.splice(told, 1);
          return;
        }
        this.onStatus("refused", reason);
        // Its After was refused (an Id that this run of the daemon never
        // gave, from a tampered store, say), and the page is not registered.
        // Without it the page registers, and takes this run's scans from now
        // on. (Any other refusal, of an order say, leaves the Id as it is.)
        if (this.resuming && AFTER_REFUSED.includes(reason)) {
          this.remember(null);
          this.tellNext = true;
          this.register();
        }
      }
    }
  }

  // The daemon wants a valid token. Where the page's expired, it serves the
  // page nothing more (and let go of what the page disabled) until it shows a
  // fresh one: at once. Any other refusal is the page's to hear; a token
  // function is asked again a while later (a string would change nothing).
  tokenRefused(reason) {
    this.announce = true;
    if (reason === TOKEN_EXPIRED && this.#token !== undefined) {
      this.ready = false;
      this.tellNext = true;
      this.register();
      return;
    }
    this.onStatus("refused", reason);
    if (typeof this.#token === "function") this.retryRegistration();
  }

  receiveScan(message, binary, text) {
    if (message.erro === -2) {
      // No scanner open yet: a daemon that serves one scanner has not
      // registered the page, so it asks again in a moment. One that serves
      // every scanner registered it all the same, says so only once, and
      // tells it of each scanner as it opens: asked again once at most (in
      // case it is the other kind), it stays silent.
      this.onStatus("waiting for a scanner");
      clearTimeout(this.timer);
      this.retrying = false;
      if (!this.servesAll) this.timer = setTimeout(() => this.register(), this.registerRetryMs);
      return;
    }
    if (message.Source !== undefined) this.servesAll = true;
    if (message.erro !== 0 || typeof message.Data !== "string") return;
    // The Ids of one run grow: one not above the last delivered came again
    // (a resume, say). A new run starts afresh.
    const id = readScanId(text(message.Id));
    if (id && id.run === this.last?.run && id.seq <= this.last.seq) return;
    const scan = { data: message.Data, code: "", size: message.size, receivedAt: new Date(),
                   binary };
    if (binary) {
      scan.bytes = charsToBytes(message.Data);
      if (!scan.bytes) return;
      scan.data = this.decoder.decode(scan.bytes);
    }
    scan.code = withoutTerminator(scan.data);
    for (const [key, name] of [["source", "Source"], ["symbology", "Symbology"]]) {
      const value = text(message[name]);
      if (value !== undefined) scan[key] = value;
    }
    if (id) {
      scan.id = id.id;
      this.remember(id);
    }
    this.onStatus("receiving scans");
    this.onScan(scan);
  }
}
