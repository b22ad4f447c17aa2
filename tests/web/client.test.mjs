// The page-side client's reading of the daemon's frames, in node: text frames
// as they are, binary frames byte by byte; and what it sends, connection by
// connection, on a WebSocket of the test's. (The real thing, and the
// browser's refusals, are seen in Chromium by tests/system/test_browser.py.)
import assert from "node:assert/strict";
import { test } from "node:test";

import { TavittyClient } from "../../web/client/tavitty-client.mjs";

const HEAD = '{\n\t"type":\t"BARCODE_GUN",\n\t"erro":\t0,\n\t"size":\t%d,\n\t"Data":\t"';

// A binary frame as the daemon writes it: its JSON in ASCII around Data's
// bytes, given as ASCII text (escapes) and byte arrays (raw bytes).
function binaryFrame(size, ...data) {
  const parts = [HEAD.replace("%d", size), ...data, '"\n}'];
  const bytes = parts.flatMap((p) => (typeof p === "string" ? [...p].map((c) => c.charCodeAt(0)) : p));
  return new Uint8Array(bytes).buffer;
}

function scansOf(frame, options = {}) {
  const scans = [];
  new TavittyClient({ ...options, onScan: (scan) => scans.push(scan) }).receive(frame);
  return scans.map(({ receivedAt, ...scan }) => (assert.ok(receivedAt instanceof Date), scan));
}

test("scans in text and binary frames", () => {
  const cases = [
    // UTF-8 comes in text frames, as it is.
    [HEAD.replace("%d", 11) + '扫码-1\\r\\n"\n}', {},
     { data: "扫码-1\r\n", code: "扫码-1", size: 11, binary: false }],
    // The code without its terminator: CR LF above, CR or LF alone here.
    [HEAD.replace("%d", 3) + 'C1\\r"\n}', {}, { data: "C1\r", code: "C1", size: 3, binary: false }],
    [HEAD.replace("%d", 4) + 'L\\r1\\n"\n}', {},
     { data: "L\r1\n", code: "L\r1", size: 4, binary: false }],
    // GBK: the second byte of 0x81 0x5C is a backslash, doubled by the escape.
    [binaryFrame(6, [0xc4, 0xe3, 0x81], "\\\\\\r\\n"), {},
     { data: "你乗\r\n", code: "你乗", size: 6, binary: true,
       bytes: [0xc4, 0xe3, 0x81, 0x5c, 0x0d, 0x0a] }],
    // The scanner's bytes unchanged: escaped quote and control bytes, and a
    // byte that no encoding reads, all kept in bytes.
    [binaryFrame(5, '\\"', [0xff], "\\u0001\\t"), {},
     { data: '"\ufffd\u0001\t', code: '"\ufffd\u0001\t', size: 5, binary: true,
       bytes: [0x22, 0xff, 0x01, 0x09] }],
    // The same two bytes read as the page's encoding says.
    [binaryFrame(2, [0xa4, 0xa4]), {},
     { data: "い", code: "い", size: 2, binary: true, bytes: [0xa4, 0xa4] }],
    [binaryFrame(2, [0xa4, 0xa4]), { binaryEncoding: "big5" },
     { data: "中", code: "中", size: 2, binary: true, bytes: [0xa4, 0xa4] }],
    // Every scanner served at once: the scanner's name, and the symbology
    // where known; in a binary frame the name's bytes are UTF-8 all the same.
    [HEAD.replace("%d", 4) + 'G1\\r\\n",\n\t"Source":\t"goods"\n}', {},
     { data: "G1\r\n", code: "G1", size: 4, binary: false, source: "goods" }],
    [HEAD.replace("%d", 2) + 'P1",\n\t"Source":\t"payment",\n\t"Symbology":\t"]Q1"\n}', {},
     { data: "P1", code: "P1", size: 2, binary: false, source: "payment", symbology: "]Q1" }],
    [binaryFrame(2, [0xc4, 0xe3], '",\n\t"Source":\t"caiss', [0xc3, 0xa9], '",\n\t"Symbology":\t"]E0'),
     {},
     { data: "你", code: "你", size: 2, binary: true, bytes: [0xc4, 0xe3], source: "caissé",
       symbology: "]E0" }],
    // Not a scan: no Data, a character no byte stands for, not JSON.
    ['{"type": "BARCODE_GUN", "erro": 0, "size": 0}', {}, null],
    [binaryFrame(1, "\\u0100"), {}, null],
    [new Uint8Array([0x7b, 0x81]).buffer, {}, null],
  ];
  for (const [frame, options, expected] of cases) {
    const scans = scansOf(frame, options).map((s) => (s.bytes ? { ...s, bytes: [...s.bytes] } : s));
    assert.deepEqual(scans, expected ? [expected] : [], JSON.stringify(expected));
  }
});

// A WebSocket that the test opens, and closes as the daemon would.
class FakeSocket {
  static OPEN = 1;
  static made = [];
  static last = () => FakeSocket.made.at(-1);
  sent = [];
  readyState = 0;
  constructor() { FakeSocket.made.push(this); }
  send(data) {
    assert.equal(this.readyState, FakeSocket.OPEN, `sent ${data} on a socket not open`);
    this.sent.push(data);
  }
  open() { this.readyState = FakeSocket.OPEN; this.onopen(); }
  close() { this.readyState = 3; this.onclose(); }
}
globalThis.WebSocket = FakeSocket;

// The other frames of a daemon that serves every scanner at once, and what
// the page hears of each (a scanners() call waiting for the answer): what
// each scanner can be told comes with "added" and with the list.
test("scanner events, the list of scanners and refusals", async () => {
  const scanner = '"Source":\t"payment",\n\t"Kind":\t"hid-pos",\n\t"Device":\t"/dev/hidraw1"';
  const payment = { source: "payment", kind: "hid-pos", device: "/dev/hidraw1" };
  const cases = [
    [['{\n\t"type":\t"SCANNER",\n\t"event":\t"added",\n\t' + scanner + ',\n\t"Signals":\t' +
      '["good", "error", "not-on-file"],\n\t"Disable":\ttrue\n}',
      '{\n\t"type":\t"SCANNER",\n\t"event":\t"removed",\n\t' + scanner + '\n}'],
     [["scanner", { event: "added", ...payment, signals: ["good", "error", "not-on-file"],
                    disable: true }],
      ["scanner", { event: "removed", ...payment }]]],
    [['{\n\t"type":\t"SCANNERS",\n\t"Scanners":\t[{\n\t\t\t"Source":\t"goods",\n\t\t\t"Kind":\t' +
      '"serial",\n\t\t\t"Device":\t"/dev/ttyUSB0",\n\t\t\t"VendorId":\t"1a86",\n\t\t\t' +
      '"ProductId":\t"7523",\n\t\t\t"Signals":\t["good"],\n\t\t\t"Disable":\tfalse\n\t\t}]\n}'],
     [["scanners", [{ source: "goods", kind: "serial", device: "/dev/ttyUSB0", vendorId: "1a86",
                      productId: "7523", signals: ["good"], disable: false }]]]],
    [['{"type":"SCANNERS","Scanners":[]}'], [["scanners", []]]],
    [['{\n\t"type":\t"ERROR",\n\t"erro":\t-3,\n\t"Data":\t"a scanner name is 1 to 64 bytes"\n}'],
     [["status", "refused", "a scanner name is 1 to 64 bytes"]]],
  ];
  for (const [frames, expected] of cases) {
    const heard = [];
    const client = new TavittyClient({
      onScanner: (event) => heard.push(["scanner", event]),
      onStatus: (...status) => heard.push(["status", ...status]),
    });
    client.start();
    FakeSocket.last().open();
    heard.length = 0;
    client.scanners().then((list) => heard.push(["scanners", list]), () => {});
    for (const frame of frames) client.receive(frame);
    await Promise.resolve();
    assert.deepEqual(heard, expected, frames[0]);
    client.stop();
  }
});

const NOT_OPEN = '{\n\t"type":\t"BARCODE_GUN",\n\t"erro":\t-2,\n\t"size":\t0,\n\t"Data":\t""\n}';
const PAYMENT = '{"type":"SUBSCRIBE","Sources":["payment"]}';

// What the page sends, socket by socket: a page that never subscribes
// registers as it always did; one that did sends its list on every connection
// and every retry while no scanner is open, so its list is never lost.
test("registering and subscribing, after a reconnect and a -2 too", (t) => {
  t.mock.timers.enable({ apis: ["setTimeout"] });
  const open = () => FakeSocket.last().open();
  const notOpen = (client) => client.receive(NOT_OPEN);
  const retry = () => t.mock.timers.tick(1000);
  const reconnect = () => (FakeSocket.last().close(), retry(), open());
  // The sample page asks which scanners are open as soon as it is connected.
  const askWhenConnected = (client) => {
    client.onStatus = (status) => status === "connected" && client.scanners().catch(() => {});
  };
  const all = '{"type":"SUBSCRIBE","Sources":[]}';
  const cases = [
    [[open, notOpen, retry, reconnect], [["register", "register"], ["register"]]],
    [[(c) => c.subscribe(["payment"]), open, notOpen, retry, reconnect],
     [[PAYMENT, PAYMENT], [PAYMENT]]],
    [[open, (c) => c.subscribe(["payment"]), (c) => c.subscribe(), reconnect, notOpen, retry],
     [["register", PAYMENT, all], [all, all]]],
    // A daemon that serves every scanner at once (it answered SCANNERS)
    // registered the page with its first message: its -2 asks for nothing.
    [[open, (c) => c.receive('{"type":"SCANNERS","Scanners":[]}'), notOpen, retry, reconnect,
      notOpen, retry],
     [["register"], ["register", "register"]]],
    // Registered with its list before anything else: never, even for a
    // moment, for every scanner.
    [[(c) => c.subscribe(["payment"]), askWhenConnected, open, reconnect],
     [[PAYMENT, '{"type":"SCANNERS"}'], [PAYMENT, '{"type":"SCANNERS"}']]],
  ];
  for (const [i, [steps, expected]] of cases.entries()) {
    FakeSocket.made = [];
    const client = new TavittyClient({ registerRetryMs: 1000, reconnectMinMs: 1000 });
    client.start();
    for (const step of steps) step(client);
    client.stop();
    assert.deepEqual(FakeSocket.made.map((socket) => socket.sent), expected, `case ${i}`);
  }
});

// Orders, socket by socket: what each call sends; the scanners that the page
// wants off told again on every connection (after it registered) and when
// one of them opens again; and the refusals the page hears: its own orders',
// not those of what the client told again by itself, of a scanner not open.
test("signals, disable and enable: sent, told again, refusals heard", (t) => {
  t.mock.timers.enable({ apis: ["setTimeout"] });
  const open = () => FakeSocket.last().open();
  const reconnect = () => (FakeSocket.last().close(), t.mock.timers.tick(1000), open());
  const receive = (message) => (c) => c.receive(JSON.stringify(message));
  const opened = (name, event = "added") => receive({ type: "SCANNER", event, Source: name,
    Kind: "serial", Device: "/dev/ttyUSB0", Signals: [], Disable: true });
  const refused = (name) =>
    receive({ type: "ERROR", erro: -3, Data: `no scanner ${name} is open` });
  const heardRefused = (name) => ["refused", `no scanner ${name} is open`];
  const [D, E] = ["DISABLE", "ENABLE"].map((type) => (name) =>
    JSON.stringify(name ? { type, Sources: [name] } : { type }));
  const signal = (name, kind) => JSON.stringify({ type: "SIGNAL", Source: name, Signal: kind });
  const list = '{"type":"SUBSCRIBE","Sources":["goods","payment"]}';
  const cases = [
    ["a signal now, or never",
     [(c) => assert.equal(c.signal("goods", "good"), false), open,
      (c) => assert.equal(c.signal("goods", "not-on-file"), true), reconnect],
     [["register", signal("goods", "not-on-file")], ["register"]], []],
    ["off by name: one DISABLE a name, after the list",
     [(c) => c.subscribe(["goods", "payment"]), (c) => c.disable(["goods", "payment", "goods"]),
      open, reconnect, (c) => c.enable(["goods"]), reconnect],
     [[list, D("goods"), D("payment")], [list, D("goods"), D("payment"), E("goods")],
      [list, D("payment")]], []],
    ["every scanner off, but those enabled since",
     [open, (c) => c.disable(), (c) => c.enable(["goods"]), reconnect, (c) => c.disable(["goods"]),
      reconnect, (c) => c.enable(), reconnect],
     [["register", D(), E("goods")], ["register", D(), E("goods"), D("goods")],
      ["register", D(), E()], ["register"]], []],
    ["open again (replugged, or opened after disable()): off again",
     [(c) => c.disable(["goods"]), open, opened("goods"), opened("payment"),
      (c) => c.enable(["goods"]), opened("goods"), (c) => c.disable(), opened("payment")],
     [["register", D("goods"), D("goods"), E("goods"), D(), D("payment")]], []],
    ["an empty list names none",
     [open, (c) => c.disable([]), (c) => c.enable([]), reconnect], [["register"], ["register"]],
     []],
    ["told again while not open: not heard, told when it opens",
     [open, (c) => c.disable(["goods"]), refused("goods"), reconnect, refused("goods"),
      opened("goods")],
     [["register", D("goods")], ["register", D("goods"), D("goods")]], [heardRefused("goods")]],
    ["a refusal after it opened or went is heard",
     [open, (c) => c.disable(["goods"]), reconnect, opened("goods", "removed"),
      (c) => c.signal("goods", "good"), refused("goods")],
     [["register", D("goods")], ["register", D("goods"), signal("goods", "good")]],
     [heardRefused("goods")]],
    // Not a refused After: the page still resumes from its last scan.
    ["a refused order keeps the Id",
     [open, receive({ type: "BARCODE_GUN", erro: 0, size: 2, Data: "S\r", Source: "goods",
                      Id: "0123456789abcdef:1" }),
      reconnect, (c) => c.signal("gone", "good"), refused("gone"), reconnect],
     [["register"], ['{"type":"SUBSCRIBE","After":"0123456789abcdef:1"}', signal("gone", "good")],
      ['{"type":"SUBSCRIBE","After":"0123456789abcdef:1"}']], [heardRefused("gone")]],
  ];
  for (const [name, steps, sent, heard] of cases) {
    FakeSocket.made = [];
    const got = [];
    const client = new TavittyClient({
      reconnectMinMs: 1000,
      onStatus: (status, hint) => status === "refused" && got.push([status, hint]),
    });
    client.start();
    for (const step of steps) step(client);
    client.stop();
    assert.deepEqual(FakeSocket.made.map((socket) => socket.sent), sent, name);
    assert.deepEqual(got, heard, name);
  }
});

// What the daemon would refuse throws before anything is sent or kept: the
// next connection sends no more than the first.
test("scanners() settles once the socket closes; subscribe(), disable(), enable() and signal() " +
  "refuse what the daemon would", async () => {
  const client = new TavittyClient();
  await assert.rejects(client.scanners(), /not connected/);
  client.start();
  FakeSocket.last().open();
  const listing = client.scanners();
  assert.equal(client.scanners(), listing);  // one question, one answer for both
  FakeSocket.last().close();
  await assert.rejects(listing, /closed/);
  client.stop();
  client.start();
  FakeSocket.last().open();
  const lists = [[new Array(17).fill("a"), RangeError], [["é".repeat(33)], RangeError],
                 [["a", ""], RangeError], [["a", 1], TypeError], [["a\0"], RangeError],
                 ["payment", TypeError], [null, TypeError]];
  const calls = [
    ...lists.flatMap(([sources, error]) => ["subscribe", "disable", "enable"].map((method) =>
      [`${method}(${JSON.stringify(sources)})`, (c) => c[method](sources), error])),
    ...[[["a\0", "good"], RangeError], [["é".repeat(33), "good"], RangeError],
        [[["goods"], "good"], TypeError], [["goods", "beep"], RangeError],
        [["goods"], RangeError]].map(([args, error]) =>
      [`signal(${JSON.stringify(args)})`, (c) => c.signal(...args), error]),
  ];
  for (const [call, throwing, error] of calls) assert.throws(() => throwing(client), error, call);
  client.stop();
  client.start();
  FakeSocket.last().open();
  client.stop();
  assert.deepEqual(FakeSocket.made.slice(-2).map((socket) => socket.sent),
                   [["register"], ["register"]]);
});

// Resuming from a daemon that numbers its scans: what the page sends, socket
// by socket (a reload is a new client object in the same tab), and what it
// hears, in a tab with sessionStorage, or where using it throws (a sandboxed
// frame).
test("the last scan delivered: After on every connection, no scan twice, GAPs", (t) => {
  t.mock.timers.enable({ apis: ["setTimeout"] });
  const [run, next] = ["0123456789abcdef", "fedcba9876543210"];
  const id = (seq, of = run) => `${of}:${seq}`;
  const after = (seq, of = run, sources) =>
    JSON.stringify({ type: "SUBSCRIBE", ...(sources && { Sources: sources }), After: id(seq, of) });
  let store;
  t.after(() => delete globalThis.sessionStorage);
  Object.defineProperty(globalThis, "sessionStorage", {
    configurable: true,
    get() {
      if (!store) throw new DOMException("not for this frame", "SecurityError");
      return store;
    },
  });
  // The tab's store, holding an Id under the default daemon's URL where given.
  const tab = (stored) => {
    const items = new Map(stored && [["tavitty-client last scan ws://localhost:9010/", stored]]);
    return { getItem: (key) => items.get(key) ?? null, removeItem: (key) => items.delete(key),
             setItem: (key, value) => items.set(key, value) };
  };
  const reason = "scans after it are no longer kept; those still kept follow";
  const open = () => FakeSocket.last().open();
  const scan = (seq, of) => ({ client }) => client.receive(JSON.stringify({
    type: "BARCODE_GUN", erro: 0, size: 2, Data: "S\r", Source: "goods", Id: id(seq, of) }));
  const reconnect = () => (FakeSocket.last().close(), t.mock.timers.tick(1000), open());
  const reload = (c) => (c.client.stop(), c.client = c.make(), c.client.start(), open());
  const receive = (message) => ({ client }) => client.receive(JSON.stringify(message));
  const refusal = "After names a scan that this run has not read";
  const cases = [
    ["After on every connection, and with the list", tab(),
     [open, scan(1), scan(2), reconnect, ({ client }) => client.subscribe(["payment"])],
     [["register"], [after(2), after(2, run, ["payment"])]], [id(1), id(2)]],
    ["a reload of the tab resumes", tab(), [open, scan(1), reload],
     [["register"], [after(1)]], [id(1)]],
    ["no storage: memory alone", null, [open, scan(1), reconnect, reload],
     [["register"], [after(1)], ["register"]], [id(1)]],
    ["no scan twice; a new run afresh", tab(),
     [open, scan(1), scan(2), reconnect, scan(2), scan(1), scan(3), scan(1, next), reconnect],
     [["register"], [after(2)], [after(1, next)]], [id(1), id(2), id(3), id(1, next)]],
    // A GAP shows a daemon that serves every scanner: its -2 asks for nothing.
    ["a GAP", tab(),
     [open, scan(5), reconnect, receive({ type: "GAP", erro: -4, After: id(5), Data: reason }),
      ({ client }) => client.receive(NOT_OPEN), () => t.mock.timers.tick(1000), scan(1, next)],
     [["register"], [after(5)]],
     [id(5), ["gap", { after: id(5), reason }], ["status", "gap", reason], id(1, next)]],
    // An Id that this run never gave (a tampered store): refused, and the
    // page registers without it and takes the run's scans.
    ["a refused After", tab(id(99)),
     [open, receive({ type: "ERROR", erro: -3, Data: refusal }), scan(1)],
     [[after(99), "register"]], [["status", "refused", refusal], id(1)]],
  ];
  for (const [name, storage, steps, sent, heard] of cases) {
    FakeSocket.made = [];
    store = storage;
    const got = [];
    const c = {
      make: () => new TavittyClient({
        reconnectMinMs: 1000,
        onScan: (s) => got.push(s.id),
        onGap: (gap) => got.push(["gap", gap]),
        onStatus: (status, hint) => ["gap", "refused"].includes(status) &&
          got.push(["status", status, hint]),
      }),
    };
    c.client = c.make();
    c.client.start();
    for (const step of steps) step(c);
    c.client.stop();
    assert.deepEqual(FakeSocket.made.map((socket) => socket.sent), sent, name);
    assert.deepEqual(got, heard, name);
  }
});

// A daemon with page tokens: what the page sends, socket by socket, with its
// token given as a string or by a function (a fetch from the POS's server),
// and the statuses it hears; the token in none of them.
test("page tokens: in every SUBSCRIBE, asked for again, failures and refusals heard", async (t) => {
  t.mock.timers.enable({ apis: ["setTimeout"] });
  const settled = () => new Promise((resolve) => setImmediate(resolve));
  const open = () => FakeSocket.last().open();
  const tick = (ms) => () => t.mock.timers.tick(ms);
  const reconnect = () => (FakeSocket.last().close(), t.mock.timers.tick(1000), open());
  const receive = (message) => (c) => c.receive(JSON.stringify(message));
  const refused = (why) => receive({ type: "ERROR", erro: -5, Data: why });
  const notOpen = (c) => c.receive(NOT_OPEN);
  const [T1, T2, T3] = ["eyJ.one.sig", "eyJ.two.sig", "eyJ.three.sig"];
  const subscribe = (Token, more) => JSON.stringify({ type: "SUBSCRIBE", ...more, Token });
  const goods = { Sources: ["goods"] };
  const resume = { ...goods, After: "0123456789abcdef:1" };
  const disable = '{"type":"DISABLE","Sources":["goods"]}';
  // A token function's answers, one a call: a token, a rejection, or a
  // function that throws.
  const given = (...answers) => {
    let call = 0;
    return () => {
      const answer = answers[call++];
      if (answer instanceof Error) return Promise.reject(answer);
      return typeof answer === "function" ? answer() : Promise.resolve(answer);
    };
  };
  const expired = "the token has expired";
  const connected = ["connected", undefined];
  const failed = (why) => ["token", `could not get the page's token: ${why}`];
  const cases = [
    ["a string: on every connection and retry, one scanner a run too", T1,
     [open, notOpen, tick(1000), reconnect],
     [[subscribe(T1), subscribe(T1)], [subscribe(T1)]], [connected, connected]],
    // The daemon let go of the page's DISABLE when its token expired.
    ["a function: asked on connecting, reconnecting and after 'token expired'",
     given(T1, `${T2}\n`, T3),
     [(c) => c.subscribe(["goods"]), (c) => c.disable(["goods"]), open,
      receive({ type: "BARCODE_GUN", erro: 0, size: 1, Data: "S", Source: "goods",
                Id: resume.After }),
      reconnect, refused("token expired")],
     [[subscribe(T1, goods), disable],
      [subscribe(T2, resume), disable, subscribe(T3, resume), disable]],
     [connected, connected, connected]],
    ["what the page asks meanwhile goes after its SUBSCRIBE", given(T1, T2),
     [open, (c) => (c.subscribe(["goods"]), c.disable(["goods"]))],
     [[subscribe(T1), subscribe(T2, goods), disable]], [connected]],
    ["a function that fails: asked again later, nothing sent without it",
     given(new Error("HTTP 503"), () => { throw new Error("no session"); }, " ", T1),
     [open, (c) => assert.equal(c.signal("goods", "good"), false), tick(1000), tick(2000),
      tick(4000)],
     [[subscribe(T1)]],
     [failed("HTTP 503"), failed("no session"),
      failed("the token function gave no token (a non-empty string)"), connected]],
    // A -5 shows no daemon that serves every scanner: its -2 is retried.
    ["refused: heard, and a function asked again", given(T1, T2, T3),
     [open, refused(expired), tick(1000), notOpen, tick(1000)],
     [[subscribe(T1), subscribe(T2), subscribe(T3)]], [connected, ["refused", expired], connected]],
    ["refused with a string: heard, nothing more", T1, [open, refused(expired), tick(10000)],
     [[subscribe(T1)]], [connected, ["refused", expired]]],
  ];
  for (const [name, token, steps, sent, heard] of cases) {
    FakeSocket.made = [];
    const got = [];
    const client = new TavittyClient({
      token, reconnectMinMs: 1000, registerRetryMs: 1000,
      onStatus: (status, hint) => ["connected", "token", "refused"].includes(status) &&
        got.push([status, hint]),
    });
    client.start();
    for (const step of steps) {
      step(client);
      await settled();
    }
    client.stop();
    assert.deepEqual(FakeSocket.made.map((socket) => socket.sent), sent, name);
    assert.deepEqual(got, heard, name);
  }
  for (const token of ["", " ", 42, {}]) {
    assert.throws(() => new TavittyClient({ token }), TypeError, JSON.stringify(token));
  }
});
