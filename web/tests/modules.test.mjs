// The web console's modules that need no browser, under Node: the recording and JSON lines a
// session keeps, the session, the simulated device and the SBUS output. Their clock
// (performance), their Workers and their ports are stand-ins that the test drives. Expected
// values come from the byte layouts and the formats of docs/web.md.
//
// The page is build/web/ (the web preset), or QUARN_WEB_DIR.
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

import {
  CHANNELS, CMD_REQUEST, CMD_STOP, HEAD, PORTS, ROOT, dataFrame, frame, qiPackage,
} from '../../js/test/support.mjs';

const WEB_DIR = process.env.QUARN_WEB_DIR ?? join(ROOT, 'build/web');
const page = (name) => import(pathToFileURL(join(WEB_DIR, 'js', name)).href);
const { RecordingWriter, channelsLine, controllerLine, portDataLine } = await page('recording.js');
const { JSON_LINE_LIMIT, Session } = await page('session.js');
const { CommandScanner, SimulatedPort, encodeDataFrame, valuesAt } = await page('simulator.js');
const { SbusForwarder } = await page('sbus.js');

// The clock the modules read, moved by the test; the Workers they start, ticked by the test.
const clock = { now: 0 };
globalThis.performance = { now: () => clock.now, timeOrigin: 1e12 };
const workers = [];
globalThis.Worker = class {
  constructor(url) {
    Object.assign(this, { url: String(url), posted: [], terminated: false });
    workers.push(this);
  }

  postMessage(message) {
    this.posted.push(message);
  }

  terminate() {
    this.terminated = true;
  }
};
const settle = () => new Promise((resolve) => setImmediate(resolve));

const qi = await qiPackage.load();
const range = (n, f) => Array.from({ length: n }, (_, k) => f(k));
const le = (value, size) => range(size, (k) => Number((BigInt(value) >> BigInt(8 * k)) & 0xffn));
const HEADER = [...new TextEncoder().encode('QUARNREC'), 1, 0, 16, 0, 0, 0, 0, 0];
const record = (timeUs, data) => [...le(timeUs, 8), ...le(data.length, 2), ...data];

test('JSON lines in the shape of quarn-monitor --json', () => {
  const [channels, ports, controller] = [12, 32, 11].map((n) => range(n, (k) => 100 + k));
  const rows = [
    [portDataLine(0.5124, channels, ports, 5120, 49),
      `{"t":0.512,"channels":[${channels}],"ports":[${ports}],"bytes":5120,"frames_decoded":49}`],
    [portDataLine(1, channels, ports, 1, 2, { framesSent: 31, failsafe: true }),
      `{"t":1.000,"channels":[${channels}],"ports":[${ports}],"bytes":1,"frames_decoded":2,` +
        '"sbus":{"frames_sent":31,"failsafe":true}}'],
    [controllerLine(1.0016, controller, 3), `{"t":1.002,"controller":[${controller}],"refused":3}`],
    [channelsLine(12.25, channels, 0), `{"t":12.250,"channels":[${channels}],"refused":0}`],
  ];
  for (const [line, want] of rows) {
    assert.equal(line, want);
  }
});

test('RecordingWriter: times never go back, records split at 65535 bytes, a limit', async () => {
  const writer = new RecordingWriter(1 << 20);
  assert.deepEqual([writer.holdsRecords, writer.size], [false, 16]);
  const big = new Uint8Array(70000).fill(9);
  // timeUs, bytes: rounded to whole microseconds, never before the time ahead.
  const adds = [[1000.4, [1, 2]], [999, [3]], [-5, [4]], [1500.5, []], [1500.5, big]];
  for (const [timeUs, bytes] of adds) {
    assert.equal(writer.add(Uint8Array.from(bytes), timeUs), true);
  }
  const want = [...HEADER, ...record(1000, [1, 2]), ...record(1000, [3]), ...record(1000, [4]),
    ...record(1501, big.subarray(0, 65535)), ...record(1501, big.subarray(65535))];
  const written = new Uint8Array(await writer.blob().arrayBuffer());
  assert.deepEqual([writer.holdsRecords, writer.size, written.length], [true, want.length,
    want.length]);
  assert.ok(written.every((b, k) => b === want[k]));
  assert.equal(writer.blob().type, 'application/octet-stream');

  // Room for the header and one record of 5 bytes, exactly.
  const small = new RecordingWriter(16 + 10 + 5);
  assert.deepEqual([small.add(new Uint8Array(5), 0), small.full], [true, false]);
  assert.deepEqual([small.add(new Uint8Array(1), 0), small.full, small.size], [false, true, 31]);
});

test('Session: the stream in chunks, the counters, the JSON lines and the recording', async () => {
  const values = (v) => [range(CHANNELS, (k) => v + k), range(PORTS, (k) => v + k)];
  const [a, b] = [values(1000), values(3000)];
  const stream = Uint8Array.from([...dataFrame(2, ...a), ...dataFrame(2, ...b)]);
  const sbus = { framesSent: 7, failsafe: false };
  const rows = [
    // chunk size, [bytes, frames decoded, values] at each update
    [undefined, [[200, 1, b]]],
    [1, [[100, 1, a], [200, 2, b]]],
    [150, [[150, 1, a], [200, 2, b]]],
  ];
  for (const [chunkSize, updates] of rows) {
    clock.now = 100;
    const session = new Session(qi, { kind: 'serial', name: 'port', records: true, chunkSize });
    const seen = [];
    session.onUpdate = (t) => seen.push(t);
    session.sbus = { told: 0, onData() { this.told += 1; }, status: () => sbus };
    // Nothing to record, nor its time.
    session.feedBytes(new Uint8Array(0), 9e6);
    clock.now = 350; // 250 ms after the start
    session.feedBytes(stream);
    const lines = updates.map(([bytes, decoded, [channels, ports]]) =>
      portDataLine(0.25, channels, ports, bytes, decoded, sbus));
    const n = updates.length;
    assert.deepEqual(session.lines, lines, `chunk size ${chunkSize}`);
    assert.deepEqual([session.bytes, session.framesDecoded, session.updates, session.sbus.told,
      seen, session.lastUpdateAt], [200, n, n, n, new Array(n).fill(0.25), 350]);
    assert.deepEqual([[...session.channels], [...session.ports]], b);
    const recorded = new Uint8Array(await session.recording.blob().arrayBuffer());
    assert.deepEqual([...recorded], [...HEADER, ...record(250000, stream)]);
  }
  const lines = new Session(qi, { kind: 'serial', name: 'port' }).jsonBlob();
  assert.equal(lines.type, 'application/x-ndjson');
});

test('Session: HID reports by their length, refused ones counted', async () => {
  clock.now = 0;
  const session = new Session(qi, { kind: 'hid', name: 'HID device', records: false });
  const game = Object.assign(new Uint8Array(19), { 0: 0x34, 1: 0x12 }); // value 0: 0x1234
  const compatible = Object.assign(new Uint8Array(29), { 0: HEAD, 4: 0xcd, 5: 0xab });
  const refused = [new Uint8Array(20), Object.assign(Uint8Array.from(compatible), { 0: 0xfb })];
  const controller = [0x1234, ...new Array(10).fill(0)];
  const channels = [0xabcd, ...new Array(11).fill(0)];
  for (const [report, timeUs] of [[game, 1e6], [refused[0], 2e6], [compatible, 3e6],
    [refused[1], 4e6], [game, 5e6]]) {
    session.feedHidReport(report, timeUs);
  }
  assert.deepEqual(session.lines, [controllerLine(1, controller, 0),
    channelsLine(3, channels, 1), controllerLine(5, controller, 2)]);
  assert.deepEqual([session.bytes, session.updates, session.refused, session.recording],
    [19 + 20 + 29 + 29 + 19, 3, 2, null]);
  assert.deepEqual([[...session.controller], [...session.channels]], [controller, channels]);
  const text = await session.jsonBlob().text();
  assert.equal(text, session.lines.map((line) => `${line}\n`).join(''));
});

test('Session: past the limits of the recording and the JSON lines, decoding goes on', () => {
  const session = new Session(qi, { kind: 'replay', name: 'replay', records: true });
  assert.equal(session.recording.limitBytes, 256 * 1024 * 1024);
  const said = [];
  session.onLimit = (message) => said.push(message);
  // Full: a writer with room for its header alone, and as many lines as are kept.
  session.recording = new RecordingWriter(16);
  session.lines = new Array(JSON_LINE_LIMIT);
  const frame0 = Uint8Array.from(dataFrame(0, new Array(CHANNELS).fill(5)));
  for (let k = 0; k < 3; ++k) {
    session.feedBytes(frame0, k);
  }
  assert.deepEqual([session.updates, session.lines.length, session.recording.size], [3,
    2_000_000, 16]);
  assert.deepEqual(said, [
    'the recording reached its limit of 256 MiB; bytes received from now on are decoded but ' +
      'not kept for download',
    'the JSON Lines export reached its limit of 2000000 lines; later updates are shown but not ' +
      'kept for export',
  ]);
});

test('the simulated device: its frames from the layout, its values in the standard range', () => {
  for (const n of [0, 1, 777, 6000]) {
    const { channels, ports } = valuesAt(n);
    assert.deepEqual([...encodeDataFrame({ channels, ports })], dataFrame(2, channels, ports));
  }
  // A minute: every value swings slowly through most of 0..1200, each in a wave of its own.
  const series = range(6000, valuesAt).map(({ channels, ports }) => [...channels, ...ports]);
  const waves = range(CHANNELS + PORTS, (k) => series.map((values) => values[k]));
  waves.forEach((wave, k) => {
    const steps = wave.slice(1).map((v, n) => Math.abs(v - wave[n]));
    const amplitude = k < CHANNELS ? 450 : 500;
    assert.deepEqual([Math.min(...wave), Math.max(...wave)], [600 - amplitude, 600 + amplitude]);
    assert.ok(Math.max(...steps) <= 25, `value ${k}`);
  });
  assert.equal(new Set(waves.map(String)).size, CHANNELS + PORTS);
});

test('the simulated device finds the host commands in any bytes, however they arrive', () => {
  const request = frame(CMD_REQUEST, [HEAD, 0x5f]); // request bytes FA 5F, as sent
  const stop = frame(CMD_STOP, []);
  const rows = [
    // name, the pieces fed, commands after each
    ['request and stop', [[...request, ...stop]], [['request', 'stop']]],
    ['cut anywhere', [request.slice(0, 1), request.slice(1, 3), request.slice(3), stop.slice(0, 4),
      stop.slice(4)], [[], [], ['request'], [], ['stop']]],
    ['junk and a stray start byte before', [[0, 0x5f, HEAD, 7, ...request]], [['request']]],
    ['a stop without its start byte', [[0, CMD_STOP, 0, 0, 0x5f]], [[]]],
    ['a command cut after junk', [[1, 2, 3, ...stop.slice(0, 4)], stop.slice(4)], [[], ['stop']]],
    ['a length above 16 is noise', [[HEAD, CMD_REQUEST, 17, 0, ...stop]], [['stop']]],
    ['a length of 16 is a command', [frame(0x33, new Array(16).fill(1))], [['other']]],
    ['a bad trailer', [[...request.slice(0, 6), 0x5e, ...stop]], [['stop']]],
    ['other sizes and commands', [[...frame(CMD_REQUEST, []), ...frame(CMD_STOP, [1, 2]),
      ...frame(0xa5, [2])]], [['other', 'other', 'other']]],
  ];
  for (const [name, pieces, want] of rows) {
    const scanner = new CommandScanner();
    assert.deepEqual(pieces.map((piece) => scanner.feed(piece)), want, name);
  }
});

// Opens the port and gives its clock, what it has sent since the last call
// to tick(now), and a writer of host commands.
async function openSimulated(port) {
  await port.open();
  const clockWorker = workers.at(-1);
  const chunks = [];
  const reader = port.readable.getReader();
  (async () => {
    for (let r = await reader.read(); !r.done; r = await reader.read()) {
      chunks.push([...r.value]);
    }
  })().catch(() => {});
  const writer = port.writable.getWriter();
  const tick = async (now) => {
    clock.now = now;
    clockWorker.onmessage();
    await settle();
    return chunks.splice(0);
  };
  const send = (now, command) => {
    clock.now = now;
    return writer.write(Uint8Array.from(command));
  };
  const release = () => [reader, writer].forEach((side) => side.releaseLock());
  return { clockWorker, tick, send, release };
}

test('the simulated device sends 100 frames a second from the request to the stop', async () => {
  const port = new SimulatedPort();
  assert.deepEqual(port.getInfo(), {});
  const { clockWorker, tick, send, release } = await openSimulated(port);
  await assert.rejects(port.open(),
    { name: 'InvalidStateError', message: 'The port is already open.' });
  assert.ok(clockWorker.url.endsWith('/js/clock-worker.js'), clockWorker.url);
  assert.deepEqual(clockWorker.posted, [{ period: 10 }]);
  const frames = (first, count) => range(count, (k) => {
    const { channels, ports } = valuesAt(first + k);
    return dataFrame(2, channels, ports);
  }).flat();
  const request = frame(CMD_REQUEST, [0, 0]);
  assert.deepEqual(await tick(0), []); // nothing before the request, nor after a stop
  await send(500, frame(CMD_STOP, []));
  assert.deepEqual(await tick(500), []);
  await send(1000, request);
  assert.deepEqual(await tick(1000), [frames(0, 1)]);
  assert.deepEqual(await tick(1005), []);
  // A second request changes nothing: the next frame is still due at 1010.
  await send(1009, request);
  assert.deepEqual(await tick(1019), [frames(1, 1)]);
  // Every frame due, in one chunk.
  assert.deepEqual(await tick(1040), [frames(2, 3)]);
  // Up to a second late, every frame due; after a longer stall it goes on from now.
  assert.deepEqual(await tick(2050), [frames(5, 101)]);
  assert.deepEqual(await tick(3061), [frames(106, 1)]);
  assert.deepEqual(await tick(3071), [frames(107, 1)]);
  await send(3072, frame(CMD_STOP, []));
  assert.deepEqual(await tick(4000), []);
  release();
  await port.close();
  assert.deepEqual([clockWorker.terminated, port.readable, port.writable], [true, null, null]);
  await port.close();
  // Opened again, it waits for a request again.
  const again = await openSimulated(port);
  assert.deepEqual(await again.tick(5000), []);
  again.release();
  await port.close();
});

// An SBUS frame from its layout: the start byte 0x0F, 16 channels of 11 bits, least significant
// bit first, from byte 1 on, the flags (0) and the end byte.
function sbusFrame(values, end) {
  const out = [0x0f, ...new Array(24).fill(0)];
  values.forEach((v, k) => {
    for (let b = 0; b < 11; ++b) {
      const bit = 11 * k + b;
      out[1 + (bit >> 3)] |= ((v >> b) & 1) << (bit & 7);
    }
  });
  out[24] = end;
  return out;
}

// A serial port whose writes the test completes or fails.
function sbusPort({ openError = null, closeError = null } = {}) {
  const port = { writes: [], pending: [], released: false, closed: false };
  const writer = {
    write: (bytes) => {
      port.writes.push([...bytes]);
      return new Promise((resolve, reject) => port.pending.push({ resolve, reject }));
    },
    releaseLock: () => (port.released = true),
  };
  return Object.assign(port, {
    writable: { getWriter: () => writer },
    open: async (options) => {
      port.options = options;
      if (openError) {
        throw new Error(openError);
      }
    },
    close: async () => {
      if (closeError) {
        throw new Error(closeError);
      }
      port.closed = true;
    },
  });
}

test('the SBUS output: frames on the clock, failsafe, ticks too late or too close, a busy port',
  async () => {
    const ports = range(PORTS, (k) => 60 * k);
    const scaled = ports.slice(0, 16).map((v) => Math.min(2047, Math.floor((v * 1706) / 1000)));
    const options = { portsHigh: false, raw: false, sbus2: true, periodMs: 14, failsafeMs: 100 };
    const port = sbusPort();
    const errors = [];
    const sbus = new SbusForwarder(port, 'port B', qi, options, () => ports, (e) => errors.push(e));
    qi.encodeSbusV2(new Array(16).fill(0)); // the page's own SBUS2 cycle, not the output's
    clock.now = 0;
    await sbus.start();
    assert.deepEqual(port.options, { baudRate: 100000, dataBits: 8, parity: 'even', stopBits: 2 });
    const clockWorker = workers.at(-1);
    assert.ok(clockWorker.url.endsWith('/js/clock-worker.js'), clockWorker.url);
    assert.deepEqual(clockWorker.posted, [{ period: 14 }]);
    assert.deepEqual(sbus.status(), { framesSent: 0, failsafe: true });
    const name = 'SBUS → port B: ';
    const steps = [
      // what happens at `now`: data arrives, a tick (`late` ms after its deadline), or the
      // port takes the pending frame; then the frames written, and the status line
      [0, 'tick', [], `${name}0 frames, waiting for data`],
      [20, 'data', [], null],
      [28, 'tick', [4], `${name}0 frames, sending`],
      [42, 'tick', [], `${name}0 frames, 1 dropped (port busy), sending`],
      [43, 'written', [], `${name}1 frames, 1 dropped (port busy), sending`],
      [48, 'tick', [0x14], null],
      [48, 'written', [], null],
      // Less than half a period after the last frame, and a tick whose successor is due.
      [54, 'tick', [], `${name}2 frames, 1 dropped (port busy), 1 skipped (page too busy to ` +
        'send on time), sending'],
      [55, 'tick', [0x24], null],
      [55, 'written', [], null],
      [70, { late: 14 }, [], null],
      [84, { late: 13 }, [0x34], null],
      [84, 'written', [], null],
      // 100 ms after the last data, and then past them: failsafe.
      [120, 'tick', [4], null],
      [120, 'written', [], null],
      [135, 'tick', [], `${name}5 frames, 1 dropped (port busy), 2 skipped (page too busy to ` +
        'send on time), FAILSAFE: no data for 0.1 s'],
      [140, 'data', [], null],
      [150, 'tick', [0x14], null],
      [151, 'fails', [], `${name}5 frames, 1 dropped (port busy), 2 skipped (page too busy to ` +
        'send on time), FAILED: unplugged'],
      [170, 'data', [], null],
      [180, 'tick', [], null],
    ];
    for (const [now, what, ends, status] of steps) {
      clock.now = now;
      if (what === 'data') {
        sbus.onData();
      } else if (what === 'written' || what === 'fails') {
        const { resolve, reject } = port.pending.shift();
        what === 'written' ? resolve() : reject(new Error('unplugged'));
      } else {
        clockWorker.onmessage({ data: performance.timeOrigin + now - (what.late ?? 0) });
      }
      await settle();
      const label = `${what} at ${now}`;
      assert.deepEqual(port.writes.splice(0), ends.map((end) => sbusFrame(scaled, end)), label);
      assert.ok(status === null || sbus.describe() === status, `${label}: ${sbus.describe()}`);
    }
    assert.deepEqual(errors, ['the SBUS output (port B) failed: unplugged']);
    assert.deepEqual(sbus.status(), { framesSent: 5, failsafe: false });
    await sbus.stop();
    assert.deepEqual([clockWorker.terminated, port.released, port.closed], [true, true, true]);
  });

test('the SBUS output: ports 17 to 32 raw as SBUS, and ports that fail to open or close',
  async () => {
    const ports = range(PORTS, (k) => 60 * k);
    const options = { portsHigh: true, raw: true, sbus2: false, periodMs: 7, failsafeMs: 50 };
    const port = sbusPort({ closeError: 'gone' });
    const sbus = new SbusForwarder(port, 'port C', qi, options, () => ports, () => {});
    // Its first frame, however soon after the page started.
    clock.now = 3;
    await sbus.start();
    const clockWorker = workers.at(-1);
    sbus.onData();
    clockWorker.onmessage({ data: performance.timeOrigin + 3 });
    assert.deepEqual(port.writes, [sbusFrame(ports.slice(16), 0)]);
    assert.deepEqual(sbus.status(), { framesSent: 0, failsafe: false });
    port.pending[0].resolve();
    await sbus.stop(); // the port's refusal to close is no error: it is gone either way
    assert.deepEqual([clockWorker.terminated, port.released, sbus.framesSent], [true, true, 1]);
    const held = new SbusForwarder(port, 'port C', qi, options, () => ports, () => {});
    await held.start();
    held.stopNow();
    assert.equal(workers.at(-1).terminated, true);

    const busy = new SbusForwarder(sbusPort({ openError: 'busy' }), 'port D', qi, options,
      () => ports, () => {});
    await assert.rejects(busy.start(), { message: 'cannot open the SBUS output (port D): busy' });
    // It has nothing to stop.
    busy.stopNow();
    await busy.stop();
  });
