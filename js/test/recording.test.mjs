// Recordings round-tripped with quarn-monitor: written here and replayed
// there, recorded there and read here, and cut files read by both.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';

import {
  CHANNELS, MONITOR, PORTS, dataFrame, qiPackage, random, run, splitRandomly, values,
} from './support.mjs';

const { readRecording, writeRecording } = qiPackage;
const qi = await qiPackage.load();
const dir = mkdtempSync(join(tmpdir(), 'quarn-recording-'));
after(() => rmSync(dir, { recursive: true, force: true }));
const path = join(dir, 'r.qrec');

// quarn-monitor's exit code and output; with --json its lines, parsed.
function monitor(...args) {
  const { status, stdout, stderr } = run(MONITOR, args);
  const lines = args.includes('--json') ? stdout.split('\n').filter(Boolean).map(JSON.parse) : [];
  return { status, stdout, stderr, lines };
}

// [timeUs, length] of each record of a timed recording, from its layout.
function layoutRecords(data) {
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  assert.equal(new TextDecoder().decode(data.subarray(0, 8)), 'QUARNREC');
  assert.deepEqual([view.getUint16(8, true), view.getUint16(10, true)], [1, 16]);
  const records = [];
  for (let at = 16; at < data.length; at += 10 + view.getUint16(at + 8, true)) {
    records.push([Number(view.getBigUint64(at, true)), view.getUint16(at + 8, true)]);
  }
  return records;
}

test('written here, replayed by quarn-monitor', () => {
  const rng = random(31);
  const sent = Array.from({ length: 800 }, () => [values(rng, CHANNELS), values(rng, PORTS)]);
  const stream = sent.flatMap(([channels, ports]) => dataFrame(2, channels, ports));
  // Random chunks at rising times, the first longer than a record holds.
  const chunks = [stream.slice(0, 70000), ...splitRandomly(stream.slice(70000), rng, 300)];
  const records = chunks.map((chunk, k) => ({ timeUs: 1000 * k, data: Uint8Array.from(chunk) }));
  const data = writeRecording(records);
  assert.deepEqual(layoutRecords(data), [[0, 65535], [0, 70000 - 65535],
    ...chunks.slice(1).map((chunk, k) => [1000 * (k + 1), chunk.length])]);
  writeFileSync(path, data);
  const { lines } = monitor('--replay', path, '--replay-speed', '0', '--json', '--chunk-size', '1');
  assert.deepEqual(lines.map((line) => [line.channels, line.ports]), sent);
  assert.equal(lines.at(-1).bytes, stream.length);
  assert.throws(() => writeRecording([{ timeUs: 5, data }, { timeUs: 4, data }]), RangeError);
});

test('recorded by quarn-monitor, read here', () => {
  const { status, stderr, lines } = monitor('--simulate', '--record', path, '--overwrite',
    '--json', '--chunk-size', '1', '--duration', '0.5');
  assert.deepEqual([status, stderr], [0, '']);
  const recording = readRecording(readFileSync(path));
  assert.deepEqual([recording.timed, recording.truncated, recording.error], [true, false, null]);
  const times = recording.records.map((record) => record.timeUs);
  assert.deepEqual(times, [...times].sort((a, b) => a - b));
  // Fed one byte at a time, the bytes read give the values the monitor
  // printed, frame by frame.
  const parser = qi.createParser();
  const decoded = [];
  for (const byte of recording.records.flatMap((record) => [...record.data])) {
    if (parser.feed(Uint8Array.of(byte))) {
      decoded.push([[...parser.channels], [...parser.ports]]);
    }
  }
  assert.ok(lines.length > 10);
  assert.deepEqual(decoded, lines.map((line) => [line.channels, line.ports]));
});

test('cut and damaged files: the records before the cut, as quarn-monitor replays them', () => {
  const frames = [1, 2, 3].map((v) => Uint8Array.from(dataFrame(0, new Array(CHANNELS).fill(v))));
  const whole = writeRecording(frames.map((data, k) => ({ timeUs: 400000 * k, data })));
  const all = [[0, 30], [400000, 30], [800000, 30]];
  const third = 16 + 2 * (10 + 30); // where the third record starts
  const cutAt = (n) => `the recording is cut at byte ${n}, inside `;
  const rows = [
    // name, bytes, [timeUs, length] of the records, truncated, error
    ['whole', whole, all, false, null],
    ['a longer header', Uint8Array.from([...whole.subarray(0, 10), 20, 0, 0, 0, 0, 0, 1, 2, 3, 4,
      ...whole.subarray(16)]), all, false, null],
    ['cut inside the file header', whole.subarray(0, 12), [], true,
      `${cutAt(12)}its 16-byte file header`],
    ['cut inside a record header', whole.subarray(0, third + 4), all.slice(0, 2), true,
      `${cutAt(third + 4)}record 3, which starts at byte ${third}`],
    ['cut inside a chunk', whole.subarray(0, third + 31), [...all.slice(0, 2), [800000, 21]], true,
      `${cutAt(third + 31)}record 3, which starts at byte ${third}: 21 of its 30 bytes are ` +
        'present'],
    ['version 2', Object.assign(Uint8Array.from(whole), { 8: 2 }), [], false,
      'the recording is version 2; this reader reads version 1'],
    ['a record of length 0', Uint8Array.from([...whole.subarray(0, 16), ...new Array(10).fill(0),
      ...whole.subarray(16)]), all, false, null],
    ['raw bytes', frames[0], [[0, 30]], false, null],
    ['raw bytes whose first byte is the magic\'s',
      Uint8Array.from([0x51, ...frames[0].subarray(1)]), [[0, 30]], false, null],
    ['an empty file', new Uint8Array(0), [], false, null],
    ['just the magic', whole.subarray(0, 8), [], true, `${cutAt(8)}its 16-byte file header`],
    ['the file header alone', whole.subarray(0, 16), [], false, null],
    ['a header that claims 15 bytes', Object.assign(Uint8Array.from(whole), { 10: 15 }), [], false,
      "the recording's header claims 15 bytes; a header has at least 16"],
    ['a header that claims 200 bytes', Object.assign(Uint8Array.from(whole), { 10: 200 }), [],
      true, `${cutAt(whole.length)}its 200-byte file header`],
    ['a 20-byte header alone',
      Uint8Array.from([...whole.subarray(0, 10), 20, 0, 0, 0, 0, 0, 1, 2, 3, 4]), [], false, null],
    ['a record of length 0 last', Uint8Array.from([...whole, ...new Array(10).fill(0)]), all, false,
      null],
  ];
  for (const [name, data, records, truncated, error] of rows) {
    const got = readRecording(data);
    assert.deepEqual(got.records.map((r) => [r.timeUs, r.data.length]), records, name);
    const timed = new TextDecoder().decode(data.subarray(0, 8)) === 'QUARNREC';
    assert.deepEqual([got.timed, got.truncated, got.error], [timed, truncated, error], name);
    // Byte 5 of each frame is its first channel's low byte: 1, 2, 3.
    assert.deepEqual(got.records.map((r) => r.data[5]), records.map((_, k) => k + 1), name);
    // quarn-monitor takes the same bytes from it (its plain line counts them).
    writeFileSync(path, data);
    const replay = monitor('--replay', path, '--replay-speed', '0');
    const total = records.reduce((sum, [, length]) => sum + length, 0);
    // A header it cannot read stops the replay with exit 3; a cut one does not.
    assert.equal(replay.status, error && !truncated ? 3 : 0, name);
    assert.ok(replay.status !== 0 || replay.stdout.includes(`bytes=${total} `), name);
  }
});

test('writeRecording: times and lengths from the layout, and the times it refuses', () => {
  const data = (n) => new Uint8Array(n).fill(7);
  const most = 2n ** 64n - 1n;
  const rows = [
    // name, records, [timeUs, length] of each record written
    ['empty data takes no record', [{ timeUs: 5, data: data(0) }], []],
    ['65535 bytes take one record', [{ timeUs: 5, data: data(65535) }], [[5, 65535]]],
    ['65536 bytes take two', [{ timeUs: 5, data: data(65536) }], [[5, 65535], [5, 1]]],
    ['the same time twice', [{ timeUs: 5, data: data(1) }, { timeUs: 5n, data: data(2) }],
      [[5, 1], [5, 2]]],
    ['time 0 as a bigint', [{ timeUs: 0n, data: data(1) }], [[0, 1]]],
  ];
  for (const [name, records, want] of rows) {
    assert.deepEqual(layoutRecords(writeRecording(records)), want, name);
  }
  // The largest time, all 8 bytes 0xFF.
  const last = writeRecording([{ timeUs: most, data: data(1) }]);
  assert.deepEqual([...last.subarray(16, 26)], [...new Array(8).fill(0xff), 1, 0]);
  const refused = (time) => 'writeRecording: record 1 has timeUs ' +
    `${time}; a time is a whole number of microseconds from 0`;
  const bad = [
    // the second record, the message
    [{ timeUs: -1, data: data(1) }, refused(-1)],
    [{ timeUs: 1.5, data: data(1) }, refused(1.5)],
    [{ timeUs: 2 ** 53, data: data(1) }, refused(2 ** 53)],
    [{ timeUs: '5', data: data(1) }, refused(5)],
    [{ timeUs: -1n, data: data(1) }, refused(-1)],
    [{ timeUs: most + 1n, data: data(1) }, refused(most + 1n)],
    [null, refused(undefined)],
    [{ timeUs: 4, data: data(1) }, 'writeRecording: record 1 has timeUs 4, before the 5 of the ' +
      'record ahead of it; times in a recording never go back'],
  ];
  for (const [record, message] of bad) {
    const records = [{ timeUs: 5, data: data(1) }, record];
    assert.throws(() => writeRecording(records), { name: 'RangeError', message });
  }
});
