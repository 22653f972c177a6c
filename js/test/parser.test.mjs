// The package's parser against the native library, and a parser per
// instance: two streams at once, and a new parser that starts clean.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  CHANNELS,
  PORTS,
  dataFrame,
  nativeParse,
  qiPackage,
  random,
  randomStream,
  splitRandomly,
  values,
} from './support.mjs';

const qi = await qiPackage.load();

// The chunk as feed gets it: now and then as a DataView or a Node Buffer
// inside a larger buffer, so only the view's own bytes may count.
function asInput(chunk, k) {
  const padded = Uint8Array.from([0xfa, 0xa5, ...chunk, 0x5f]);
  if (k % 3 === 1) {
    return new DataView(padded.buffer, 2, chunk.length);
  }
  return k % 3 === 2 ? Buffer.from(padded.buffer, 2, chunk.length) : Uint8Array.from(chunk);
}

function feedAll(parser, chunks) {
  return chunks.map((chunk, k) => [
    parser.feed(asInput(chunk, k)) ? 1 : 0,
    [...parser.channels],
    [...parser.ports],
  ]);
}

test('random streams in random chunks of up to 700 bytes decode as the native library', () => {
  const rng = random(1717);
  const chunks = splitRandomly(randomStream(rng, 1200), rng, 700);
  const want = nativeParse(chunks);
  assert.deepEqual(feedAll(qi.createParser(), chunks), want);
  assert.ok(want.filter(([flag]) => flag).length > 100);
});

test('two parsers fed interleaved streams each decode their own', () => {
  const rng = random(2323);
  const streams = [0, 1].map(() => splitRandomly(randomStream(rng), rng, 255));
  const parsers = [qi.createParser(), qi.createParser()];
  const got = [[], []];
  const next = [0, 0];
  while (next[0] < streams[0].length || next[1] < streams[1].length) {
    const s = next[0] < streams[0].length && (next[1] >= streams[1].length || rng.int(2)) ? 0 : 1;
    got[s].push(...feedAll(parsers[s], [streams[s][next[s]++]]));
  }
  assert.deepEqual(got, streams.map(nativeParse));
});

test('a new parser starts clean: a cut frame never completes the next stream', () => {
  // A type-0 frame whose channel 5 is 863 (0x035F): cut after 14 bytes, its
  // byte at the old trailer position is 0x5F, and the remains of a shared
  // parser would take the new stream's frame as the end of the old one.
  const channels = [1000, 1000, 1000, 1000, 1000, 863, ...new Array(6).fill(1000)];
  const whole = dataFrame(0, channels);
  for (const cut of [1, 4, 14, 15, 29]) {
    const old = qi.createParser();
    assert.equal(old.feed(Uint8Array.from(whole.slice(0, cut))), false, `cut after ${cut}`);
    const parser = qi.createParser();
    assert.equal(parser.feed(Uint8Array.from(whole)), true, `cut after ${cut}`);
    assert.deepEqual([...parser.channels], channels, `cut after ${cut}`);
    assert.deepEqual([...parser.ports], new Array(PORTS).fill(0), `cut after ${cut}`);
  }
});

test('values are copies, zeros before the first frame, and kept by frames without them', () => {
  const parser = qi.createParser();
  assert.deepEqual([...parser.channels], new Array(CHANNELS).fill(0));
  const rng = random(5);
  const channels = values(rng, CHANNELS);
  const ports = values(rng, PORTS);
  assert.equal(parser.feed(Uint8Array.from(dataFrame(2, channels, ports))), true);
  parser.channels[0] = channels[0] ^ 1;
  const other = values(rng, PORTS);
  assert.equal(parser.feed(Uint8Array.from(dataFrame(1, [], other))), true);
  assert.deepEqual([...parser.channels], channels);
  assert.deepEqual([...parser.ports], other);
  assert.equal(parser.feed(new Uint8Array(0)), false);
  assert.throws(() => parser.feed([0xfa]), TypeError);
});
