// Commands, HID reports, SBUS and load(), as table rows whose expected values
// come from the byte layouts.
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
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
  assert.deepEqual([...qi.requestUploadPortData(255, 255)], [0xfa, 0xe5, 2, 0, 0xff, 0xff, 0x5f]);
  assert.deepEqual([...qi.stopUploadPortData()], [0xfa, 0xe4, 0, 0, 0x5f]);
  const refused = (which, bad) => ({ name: 'RangeError', message: `requestUploadPortData: the ` +
    `${which} request byte is ${bad}; it must be a whole number from 0 to 255` });
  for (const bad of [256, -1, 1.5, '7']) {
    assert.throws(() => qi.requestUploadPortData(bad, 0), refused('first', bad));
    assert.throws(() => qi.requestUploadPortData(0, bad), refused('second', bad));
  }
});

test('what the functions refuse, each error naming the function and what it was given', () => {
  const takes = 'takes a Uint8Array, another ArrayBufferView or an ArrayBuffer, not';
  const sixteen = (k, v) => Object.assign(new Array(16).fill(0), { [k]: v });
  const anArray = 'takes an array of 16 values, not';
  const wholeNumbers = 'values are whole numbers from 0 to 65535';
  const rows = [
    // call, error, message
    [() => qi.createParser().feed(null), TypeError, `feed ${takes} null`],
    [() => qi.createParser().feed(undefined), TypeError, `feed ${takes} undefined`],
    [() => qi.createParser().feed([0xfa]), TypeError, `feed ${takes} Array`],
    [() => qi.createParser().feed(Object.create(null)), TypeError, `feed ${takes} an object`],
    [() => qi.parseHidGameController(19), TypeError, `parseHidGameController ${takes} number`],
    [() => qi.parseHidCompatible('report'), TypeError, `parseHidCompatible ${takes} string`],
    [() => qi.convertStdSbus(null), TypeError, `convertStdSbus ${anArray} null`],
    // A string of 16 characters, and an object whose length is no number.
    [() => qi.convertStdSbus('0123456789abcdef'), TypeError, `convertStdSbus ${anArray} string`],
    [() => qi.encodeSbusV1({ length: '16' }), TypeError, `encodeSbusV1 ${anArray} Object`],
    [() => qi.encodeSbusV1(new Array(12).fill(0)), RangeError,
      'encodeSbusV1 takes 16 values, not 12'],
    [() => qi.encodeSbusV2(sixteen(3, -1)), RangeError,
      `encodeSbusV2: value 3 is -1; ${wholeNumbers}`],
    [() => qi.convertStdSbus(sixteen(0, 1.5)), RangeError,
      `convertStdSbus: value 0 is 1.5; ${wholeNumbers}`],
    [() => qi.encodeSbusV1(sixteen(15, 65536)), RangeError,
      `encodeSbusV1: value 15 is 65536; ${wholeNumbers}`],
    [() => qi.readRecording(7), TypeError, `readRecording ${takes} number`],
    [() => qi.writeRecording([{ timeUs: 0, data: 'bytes' }]), TypeError,
      `writeRecording: record 0's data ${takes} string`],
  ];
  for (const [call, error, message] of rows) {
    assert.throws(call, { name: error.name, message });
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
    [game, 'more bytes than the module has memory', bytes(70000), null],
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
  assert.ok(qi.module instanceof WebAssembly.Module);
  const stop = [0xfa, 0xe4, 0, 0, 0x5f];
  // A path is no URL, though a colon in it may look like a scheme's.
  const dir = mkdtempSync(join(tmpdir(), 'quarn-wasm-'));
  const colon = join(dir, 'a1:b', 'QuarnInterface.wasm');
  mkdirSync(dirname(colon));
  copyFileSync(path, colon);
  const good = [undefined, null, { wasm }, { wasm: wasm.buffer.slice(0) }, { wasm: path },
    { wasm: colon },
    { wasm: pathToFileURL(path) }, { wasm: new Response(wasm) },
    { wasm: Promise.resolve(new Response(wasm)) }, { wasm: qi.module },
    { wasm: `data:application/wasm;base64,${wasm.toString('base64')}` }];
  for (const options of good) {
    assert.deepEqual([...(await load(options)).stopUploadPortData()], stop);
  }
  rmSync(dir, { recursive: true });
  // The browsers' entry point takes the same sources; by default it fetches the module from
  // beside itself, which Node's fetch cannot read.
  const browser = await import(pathToFileURL(join(PACKAGE_DIR, 'index.js')).href);
  assert.deepEqual([...(await browser.load({ wasm })).stopUploadPortData()], stop);
  for (const options of [undefined, null]) {
    await assert.rejects(browser.load(options), (error) =>
      error.message.startsWith(`cannot load ${pathToFileURL(path).href}: `));
  }
  const empty = Uint8Array.from([0, 0x61, 0x73, 0x6d, 1, 0, 0, 0]);
  const lacks = 'it is not the QuarnInterface module; it lacks request_upload_port_data, ' +
    'stop_upload_port_data, parse_port_data, parse_hid_game_controller_device, ' +
    'parse_hid_compatible_device, convert_std_sbus_data, encode_sbus_data_v1, ' +
    'encode_sbus_data_v2, memory, __heap_base';
  const takes =
    "load: wasm takes the module's bytes, a Response, a URL or a WebAssembly.Module, not";
  // Nothing listens on the discard port.
  const unreachable = 'http://127.0.0.1:9/QuarnInterface.wasm';
  const notFound = { status: 404, statusText: 'Not Found' };
  const bad = [
    // wasm, the message, whether the error carries the one it stems from
    [Uint8Array.from([1, 2, 3]), /^cannot load the bytes given: it is not a WebAssembly module \(/,
      true],
    [empty, `cannot load the bytes given: ${lacks}`, false],
    [await WebAssembly.compile(empty), `cannot load the module given: ${lacks}`, false],
    ['/no/such/QuarnInterface.wasm', /^cannot load the QuarnInterface module: ENOENT/, true],
    [unreachable, new RegExp(`^cannot load ${unreachable}: `), true],
    [new Response('', notFound), 'cannot load the response given: HTTP 404 Not Found', false],
    [new Response('', { status: 500 }), 'cannot load the response given: HTTP 500', false],
    [{ ...notFound, ok: false, url: 'https://quarn.test/q.wasm', arrayBuffer: () => wasm },
      'cannot load https://quarn.test/q.wasm: HTTP 404 Not Found', false],
    // A Blob has arrayBuffer() too, but it is no Response, and neither is an object with ok.
    [new Blob([wasm]), `${takes} Blob`, false],
    [{ ok: true }, `${takes} Object`, false],
    [42, `${takes} number`, false],
  ];
  for (const [source, message, caused] of bad) {
    await assert.rejects(load({ wasm: source }), (error) => {
      const { message: got } = error;
      assert.ok(message instanceof RegExp ? message.test(got) : got === message, got);
      assert.equal(error.cause !== undefined, caused, error.message);
      return true;
    });
  }
});

// A module with the eight functions (each returns 0 and writes nothing), two 64 KiB pages of
// memory and __heap_base 16 KiB before their end, packed from the WebAssembly binary layout. A
// QuarnInterface's buffers fit behind it; a parser's (16320 bytes of input, 24 of channels, 64
// of ports) end 24 bytes past it.
function stubModule(heapBase, pages) {
  const leb = (n, signed) => {
    const out = [];
    for (;;) {
      const low = n & 0x7f;
      n = Math.floor(n / 128);
      if (n === 0 && !(signed && low & 0x40)) {
        return [...out, low];
      }
      out.push(low | 0x80);
    }
  };
  const section = (id, body) => [id, ...leb(body.length), ...body];
  const name = (text) => [...leb(text.length), ...new TextEncoder().encode(text)];
  const functions = ['request_upload_port_data', 'stop_upload_port_data', 'parse_port_data',
    'parse_hid_game_controller_device', 'parse_hid_compatible_device', 'convert_std_sbus_data',
    'encode_sbus_data_v1', 'encode_sbus_data_v2'];
  const [FUNC, MEMORY, GLOBAL, I32, I32_CONST, END] = [0, 2, 3, 0x7f, 0x41, 0x0b];
  return Uint8Array.from([0, 0x61, 0x73, 0x6d, 1, 0, 0, 0,
    ...section(1, [1, 0x60, 0, 1, I32]), // one type: () -> i32
    ...section(3, [8, ...new Array(8).fill(0)]),
    ...section(5, [1, 0, pages]), // one memory: its size in pages, no maximum
    ...section(6, [1, I32, 0, I32_CONST, ...leb(heapBase, true), END]),
    ...section(7, [10, ...functions.flatMap((f, k) => [...name(f), FUNC, k]),
      ...name('memory'), MEMORY, 0, ...name('__heap_base'), GLOBAL, 0]),
    ...section(10, [8, ...new Array(8).fill([4, 0, I32_CONST, 0, END]).flat()]),
  ]);
}

test('the buffers that do not fit in the module memory get pages added', async () => {
  const stub = await load({ wasm: stubModule(0x1c000, 2) });
  assert.deepEqual([...stub.encodeSbusV1(new Array(16).fill(0))], [0x0f, ...new Array(24).fill(0)]);
  const parser = stub.createParser();
  assert.equal(parser.feed(new Uint8Array(20000)), false);
  assert.deepEqual([...parser.channels, ...parser.ports], new Array(44).fill(0));
});
