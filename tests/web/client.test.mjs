// The page-side client's reading of the daemon's frames, in node: text frames
// as they are, binary frames byte by byte. (Connecting, registering and the
// browser's refusals are seen in Chromium by tests/system/test_browser.py.)
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
    [HEAD.replace("%d", 11) + '扫码-1\\r\\n"\n}', {}, { data: "扫码-1\r\n", size: 11, binary: false }],
    // GBK: the second byte of 0x81 0x5C is a backslash, doubled by the escape.
    [binaryFrame(6, [0xc4, 0xe3, 0x81], "\\\\\\r\\n"), {},
     { data: "你乗\r\n", size: 6, binary: true, bytes: [0xc4, 0xe3, 0x81, 0x5c, 0x0d, 0x0a] }],
    // The scanner's bytes unchanged: escaped quote and control bytes, and a
    // byte that no encoding reads, all kept in bytes.
    [binaryFrame(5, '\\"', [0xff], "\\u0001\\t"), {},
     { data: '"\ufffd\u0001\t', size: 5, binary: true, bytes: [0x22, 0xff, 0x01, 0x09] }],
    // The same two bytes read as the page's encoding says.
    [binaryFrame(2, [0xa4, 0xa4]), {}, { data: "い", size: 2, binary: true, bytes: [0xa4, 0xa4] }],
    [binaryFrame(2, [0xa4, 0xa4]), { binaryEncoding: "big5" },
     { data: "中", size: 2, binary: true, bytes: [0xa4, 0xa4] }],
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
