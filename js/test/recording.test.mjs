// Recordings round-tripped with quarn-monitor: written here and replayed
// there, recorded there and read here, and cut files read by both.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';

import {
  CHANNELS,
  MONITOR,
  PORTS,
  dataFrame,
  qiPackage,
  random,
  splitRandomly,
  values,
  run,
} from './support.mjs';

const { readRecording, writeRecording } = qiPackage;
const qi = await qiPackage.load();
const dir = mkdtempSync(join(tmpdir(), 'quarn-recording-'));
after(() => rmSync(dir, { recursive: true, force: true }));

function file(name, data) {
  const path = join(dir, name);
  writeFileSync(path, data);
  return path;
}

// quarn-monitor's JSON lines of a replay at full speed, one per frame.
function replayLines(path) {
  const result = run(MONITOR, ['--replay', path, '--replay-speed', '0', '--json',
    '--chunk-size', '1']);
  assert.equal(result.status, 0, result.stderr);
  return result.stdout.split('\n').filter(Boolean).map((line) => JSON.parse(line));
}

// The records of a timed recording, read from its layout: [timeUs, length].
function layoutRecords(data) {
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  assert.equal(new TextDecoder().decode(data.subarray(0, 8)), 'QUARNREC');
  assert.deepEqual([view.getUint16(8, true), view.getUint16(10, true), view.getUint32(12, true)],
    [1, 16, 0]);
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
  // Random chunks at rising times, one of them longer than a record holds.
  const chunks = [stream.slice(0, 70000), ...splitRandomly(stream.slice(70000), rng, 300)];
  const records = chunks.map((chunk, k) => ({ timeUs: 1000 * k, data: Uint8Array.from(chunk) }));
  const data = writeRecording(records);
  assert.deepEqual(layoutRecords(data), [[0, 65535], [0, 70000 - 65535],
    ...chunks.slice(1).map((chunk, k) => [1000 * (k + 1), chunk.length])]);
  const lines = replayLines(file('written.qrec', data));
  assert.deepEqual(lines.map((line) => [line.channels, line.ports]), sent);
  assert.equal(lines.at(-1).bytes, stream.length);
  assert.throws(() => writeRecording([{ timeUs: 5, data }, { timeUs: 4, data }]), RangeError);
});

test('recorded by quarn-monitor, read here', () => {
  const path = join(dir, 'recorded.qrec');
  const result = run(MONITOR, ['--simulate', '--record', path, '--json', '--chunk-size', '1',
    '--duration', '0.5']);
  assert.equal(result.status, 0, result.stderr);
  const lines = result.stdout.split('\n').filter(Boolean).map((line) => JSON.parse(line));
  const recording = readRecording(readFileSync(path));
  assert.deepEqual([recording.timed, recording.truncated, recording.error], [true, false, null]);
  const times = recording.records.map((record) => record.timeUs);
  assert.deepEqual(times, [...times].sort((a, b) => a - b));
  // Fed one byte at a time, the bytes read give the values the monitor
  // printed, frame by frame.
  const parser = qi.createParser();
  const decoded = [];
  for (const { data } of recording.records) {
    for (const byte of data) {
      if (parser.feed(Uint8Array.of(byte))) {
        decoded.push([[...parser.channels], [...parser.ports]]);
      }
    }
  }
  assert.ok(lines.length > 10);
  assert.deepEqual(decoded, lines.map((line) => [line.channels, line.ports]));
});

test('cut and damaged files: the records before the cut, as quarn-monitor replays them', () => {
  const frames = [1, 2, 3].map((v) => Uint8Array.from(dataFrame(0, new Array(CHANNELS).fill(v))));
  const whole = writeRecording(frames.map((data, k) => ({ timeUs: 400000 * k, data })));
  const third = 16 + 2 * (10 + 30); // where the third record starts
  const longerHeader = Uint8Array.from([...whole.subarray(0, 16), 1, 2, 3, 4,
    ...whole.subarray(16)]);
  longerHeader[10] = 20;
  const version2 = Uint8Array.from(whole);
  version2[8] = 2;
  const zeroLength = writeRecording([]);
  const rows = [
    // name, bytes, [timeUs, length] of the records, truncated, error
    ['whole', whole, [[0, 30], [400000, 30], [800000, 30]], false, null],
    ['a longer header', longerHeader, [[0, 30], [400000, 30], [800000, 30]], false, null],
    ['cut inside the file header', whole.subarray(0, 12), [], true,
      'the recording is cut at byte 12, inside its 16-byte file header'],
    ['cut inside a record header', whole.subarray(0, third + 4), [[0, 30], [400000, 30]], true,
      `the recording is cut at byte ${third + 4}, inside record 3, which starts at byte ${third}`],
    ['cut inside a chunk', whole.subarray(0, third + 10 + 21),
      [[0, 30], [400000, 30], [800000, 21]], true,
      `the recording is cut at byte ${third + 31}, inside record 3, which starts at byte ` +
        `${third}: 21 of its 30 bytes are present`],
    ['version 2', version2, [], false, 'the recording is version 2; this reader reads version 1'],
    ['a record of length 0', Uint8Array.from([...zeroLength, ...new Array(10).fill(0),
      ...whole.subarray(16)]), [[0, 30], [400000, 30], [800000, 30]], false, null],
    ['raw bytes', frames[0], [[0, 30]], false, null],
  ];
  for (const [name, data, records, truncated, error] of rows) {
    const got = readRecording(data);
    assert.deepEqual(got.records.map((r) => [r.timeUs, r.data.length]), records, name);
    assert.deepEqual([got.truncated, got.error], [truncated, error], name);
    assert.deepEqual(got.records.map((r) => r.data[4 + 1]), records.map((_, k) => k + 1), name);
    // quarn-monitor takes the same bytes from it (its plain line counts them).
    const replay = run(MONITOR, ['--replay', file('cut.qrec', data), '--replay-speed', '0']);
    const total = records.reduce((sum, [, length]) => sum + length, 0);
    assert.equal(replay.status, name === 'version 2' ? 3 : 0, name);
    if (replay.status === 0) {
      assert.match(replay.stdout, new RegExp(`bytes=${total} `), name);
    }
  }
});
