// Commands, HID reports, SBUS and load(), as table rows whose expected values
// come from the byte layouts.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { join } from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { HEAD, PACKAGE_DIR, qiPackage } from './support.mjs';

const { load } = qiPackage;
const qi = await load();
const bytes = (n, fill = 0) => new Uint8Array(n).fill(fill);
const withBytes = (report, at) => Object.assign(Uint8Array.from(report), at);

test('the commands', () => {
  assert.deepEqual([...qi.requestUploadPortData(0xfa, 0x5f)], [0xfa, 0xe5, 2, 0, 0xfa, 0x5f, 0x5f]);
  assert.deepEqual([...qi.requestUploadPortData()], [0xfa, 0xe5, 2, 0, 0, 0, 0x5f]);
  assert.deepEqual([...qi.stopUploadPortData()], [0xfa, 0xe4, 0, 0, 0x5f]);
  for (const bad of [256, -1, 1.5, '7']) {
    assert.throws(() => qi.requestUploadPortData(bad, 0), RangeError, String(bad));
  }
});

test('HID reports: values from the report layouts, refused ones null', () => {
  const zeros = new Array(11).fill(0);
  const compatible = withBytes(bytes(29, 0xee), { 0: HEAD, 4: 0x34, 5: 0x12, 27: 0x80 });
  const channels = [0x1234, ...new Array(10).fill(0xeeee), 0x80ee];
  const [game, compat] = [(r) => qi.parseHidGameController(r), (r) => qi.parseHidCompatible(r)];
  const rows = [
    // decoder, name, report, the values or null
    [game, '16-bit values, low byte first', withBytes(bytes(19), { 0: 0x34, 1: 0x12, 17: 0xab }),
      [0x1234, ...zeros.slice(1, 10), 0xab00]],
    [game, '12-bit values share byte 7', withBytes(bytes(19), { 6: 0x21, 7: 0x43, 8: 0x65 }),
      [0, 0, 0, 0x321, 0x654, ...zeros.slice(5)]],
    [game, 'bytes 6 to 13 all ones', Uint8Array.from([...bytes(6), ...bytes(8, 255), ...bytes(5)]),
      [0, 0, 0, 4095, 4095, 4095, 4095, 4095, 15, 0, 0]],
    [game, 'byte 18 is not read', withBytes(bytes(19), { 18: 0xff }), zeros],
    [game, '18 bytes', bytes(18), null],
    [game, '20 bytes', bytes(20), null],
    // The library takes an 8-bit length: 275 must not pass for 19, nor 285 for 29.
    [game, '275 bytes', bytes(275), null],
    [compat, 'start byte 0xFA; bytes 1 to 3 and 28 not read', compatible, channels],
    [compat, 'a DataView inside a larger buffer',
      new DataView(Uint8Array.from([1, ...compatible, 2]).buffer, 1, 29), channels],
    [compat, 'start byte 0xFB', withBytes(compatible, { 0: 0xfb }), null],
    [compat, '28 bytes', compatible.subarray(0, 28), null],
    [compat, '285 bytes', Uint8Array.from([...compatible, ...bytes(256)]), null],
  ];
  for (const [decode, name, report, want] of rows) {
    const got = decode(report);
    assert.deepEqual(got && [...got], want, name);
  }
});

test('SBUS frames from the frame layout, and the conversion', () => {
  const frame = (channelBytes, end = 0) => [0x0f, ...channelBytes, 0, end];
  const quarter = [0x00, 0x04, 0x20, 0x00, 0x01, 0x08, 0x40, 0x00, 0x02, 0x10, 0x80];
  const alone = (k, v) => Object.assign(new Array(16).fill(0), { [k]: v });
  const rows = [
    ['all 0', new Array(16).fill(0), new Array(22).fill(0)],
    ['all 2047', new Array(16).fill(2047), new Array(22).fill(0xff)],
    ['channel 0 = 0x7FF', alone(0, 0x7ff), [0xff, 0x07, ...new Array(20).fill(0)]],
    ['channel 1 = 1', alone(1, 1), [0, 0x08, ...new Array(20).fill(0)]],
    ['channel 15 = 0x400', alone(15, 0x400), [...new Array(21).fill(0), 0x80]],
    ['all 0x400', new Array(16).fill(0x400), [...quarter, ...quarter]],
    ['0x555, 0x2AA alternating', Array.from({ length: 16 }, (_, k) => (k % 2 ? 0x2aa : 0x555)),
      new Array(22).fill(0x55)],
    ['channel 0 = 0xFFFF saturates', alone(0, 0xffff), [0xff, 0x07, ...new Array(20).fill(0)]],
  ];
  for (const [name, channels, packed] of rows) {
    assert.deepEqual([...qi.encodeSbusV1(channels)], frame(packed), name);
    assert.deepEqual([...qi.encodeSbusV1(Uint16Array.from(channels))], frame(packed), name);
  }
  const inputs = [0, 1, 600, 1199, 1200, 1201, 38416, 65535, 0, 0, 0, 0, 0, 0, 0, 7];
  const scaled = [0, 1, 1023, 2045, 2047, 2047, 2047, 2047, 0, 0, 0, 0, 0, 0, 0, 11];
  assert.deepEqual([...qi.convertStdSbus(inputs)], scaled);
});

test('SBUS2 end bytes cycle per load(), and a refused channel set advances nothing', async () => {
  const mine = await load({ wasm: qi.module });
  const channels = new Array(16).fill(1000);
  const bad = [new Array(15).fill(0), [...new Array(15).fill(0), 65536], [...channels, 0]];
  for (const set of bad) {
    assert.throws(() => mine.encodeSbusV2(set), (error) =>
      error instanceof RangeError && /16 values|0 to 65535/.test(error.message));
  }
  assert.throws(() => mine.convertStdSbus(7), TypeError);
  const ends = [];
  for (let k = 0; k < 6; ++k) {
    ends.push(mine.encodeSbusV2(channels)[24]);
    assert.equal(mine.encodeSbusV1(channels)[24], 0);
  }
  assert.deepEqual(ends, [0x04, 0x14, 0x24, 0x34, 0x04, 0x14]);
  mine.createParser();
  assert.equal((await load({ wasm: qi.module })).encodeSbusV2(channels)[24], 0x04);
  assert.equal(mine.encodeSbusV2(channels)[24], 0x24);
});

test('load() takes the module in every form, and says what is wrong with a bad one', async () => {
  const path = join(PACKAGE_DIR, 'QuarnInterface.wasm');
  const wasm = await readFile(path);
  const good = [undefined, { wasm }, { wasm: wasm.buffer.slice(0) }, { wasm: path },
    { wasm: pathToFileURL(path) }, { wasm: new Response(wasm) },
    { wasm: Promise.resolve(new Response(wasm)) }, { wasm: qi.module }];
  for (const options of good) {
    assert.deepEqual([...(await load(options)).stopUploadPortData()], [0xfa, 0xe4, 0, 0, 0x5f]);
  }
  const bad = [
    [Uint8Array.from([1, 2, 3]), /the bytes given: it is not a WebAssembly module/],
    [Uint8Array.from([0, 0x61, 0x73, 0x6d, 1, 0, 0, 0]), /not the QuarnInterface module; it lacks/],
    ['/no/such/QuarnInterface.wasm', /cannot load the .* module: ENOENT/],
    [new Response('', { status: 404, statusText: 'Not Found' }), /HTTP 404 Not Found/],
    [42, /load: wasm takes .* not number/],
  ];
  for (const [wasm, message] of bad) {
    await assert.rejects(load({ wasm }), message);
  }
});
