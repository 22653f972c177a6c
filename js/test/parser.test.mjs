// The package's parser against the native library, and a parser per
// instance: two streams at once, and a new parser that starts clean.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  dataFrame, nativeParse, qiPackage, random, randomStream, splitRandomly,
} from './support.mjs';

const qi = await qiPackage.load();

// Every third chunk comes as a DataView and every third as a Node Buffer,
// each inside a larger buffer: only the view's own bytes may count.
function feedAll(parser, chunks) {
  return chunks.map((chunk, k) => {
    const padded = Uint8Array.from([0xfa, 0xa5, ...chunk, 0x5f]).buffer;
    const views = [Uint8Array.from(chunk), new DataView(padded, 2, chunk.length),
      Buffer.from(padded, 2, chunk.length)];
    const decoded = parser.feed(views[k % 3]) ? 1 : 0;
    return [decoded, [...parser.channels], [...parser.ports]];
  });
}

test('random streams in random chunks of up to 700 bytes decode as the native library', () => {
  const rng = random(1717);
  const chunks = splitRandomly(randomStream(rng, 1200), rng, 700);
  const want = nativeParse(chunks);
  assert.deepEqual(feedAll(qi.createParser(), chunks), want);
  assert.ok(want.filter(([flag]) => flag).length > 100);
});

test('one call takes a stream larger than the module memory, from any kind of buffer', () => {
  const stream = Uint8Array.from(randomStream(random(4545), 3000));
  assert.ok(stream.length > 100000);
  const [want] = nativeParse([[...stream]]);
  const shared = new SharedArrayBuffer(stream.length);
  new Uint8Array(shared).set(stream);
  for (const input of [stream, stream.buffer, shared]) {
    const parser = qi.createParser();
    const decoded = parser.feed(input) ? 1 : 0;
    assert.deepEqual([decoded, [...parser.channels], [...parser.ports]], want);
  }
  assert.equal(qi.createParser().feed(new ArrayBuffer(0)), false);
  // Pages that are not cross-origin isolated have no SharedArrayBuffer.
  const { SharedArrayBuffer: kept } = globalThis;
  delete globalThis.SharedArrayBuffer;
  try {
    assert.equal(qi.createParser().feed(stream.buffer), true);
    assert.throws(() => qi.createParser().feed(7), { name: 'TypeError', message: 'feed takes a ' +
      'Uint8Array, another ArrayBufferView or an ArrayBuffer, not number' });
  } finally {
    globalThis.SharedArrayBuffer = kept;
  }
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
  const whole = Uint8Array.from(dataFrame(0, channels));
  for (const cut of [1, 4, 14, 15, 29]) {
    assert.equal(qi.createParser().feed(whole.subarray(0, cut)), false, `cut after ${cut}`);
    const parser = qi.createParser();
    assert.equal(parser.feed(whole), true, `cut after ${cut}`);
    parser.channels[5] = 0; // a copy: the parser's values stay
    assert.deepEqual([[...parser.channels], parser.ports.some(Boolean)], [channels, false]);
  }
});
