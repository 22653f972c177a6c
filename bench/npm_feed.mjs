// The npm package's PortDataParser.feed against a direct call of the
// module's parse_port_data on bytes already in its memory, side by side in
// one run: what getting each chunk into the module costs.
//
//   cmake --preset web && cmake --build --preset web
//   node bench/npm_feed.mjs [PACKAGE_DIR]
//
// PACKAGE_DIR defaults to build/web/npm/quarninterface. For each chunk size
// it prints the median time per byte of three ways through the same stream:
//   feed        the package, each chunk a Uint8Array of its own, as a serial
//               port hands them over;
//   direct      parse_port_data on the stream, copied into the module's
//               memory once before the run;
//   copy+call   the least any wrapper must do: copy each chunk into the
//               module with TypedArray.prototype.set, then call.
// and judges feed / direct against 1.2, and feed / copy+call (what the
// wrapper adds to the copy) against 1.2 (docs/performance.md).
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '..');
const PACKAGE_DIR = process.argv[2] ?? join(ROOT, 'build/web/npm/quarninterface');
const { load, MAX_CHUNK_SIZE } = await import(pathToFileURL(join(PACKAGE_DIR, 'node.js')).href);

const FRAMES = 2000;
const TYPE2_PAYLOAD = 95;
const FRAME_SIZE = TYPE2_PAYLOAD + 5;
const CHANNELS = 12;
const PORTS = 32;
const VALUE_SIZE = 2;
const CHUNK_SIZES = [1, 16, 64, 255, 4096];
const WARM_UP_ROUNDS = 3;
const ROUNDS = 31;
const TARGET = 1.2;
const WASM_PAGE_SIZE = 65536;

// Type-2 frames of changing values: FA A5 5F 00, type 2, 12 channels, six
// unused bytes, 32 ports, 5F.
function stream() {
  const out = new Uint8Array(FRAMES * FRAME_SIZE);
  for (let n = 0; n < FRAMES; ++n) {
    const frame = out.subarray(n * FRAME_SIZE, (n + 1) * FRAME_SIZE);
    frame.set([0xfa, 0xa5, TYPE2_PAYLOAD, 0, 2]);
    for (let k = 5; k < FRAME_SIZE - 1; ++k) {
      frame[k] = (n * 7 + k) & 0x7f;
    }
    frame[FRAME_SIZE - 1] = 0x5f;
  }
  return out;
}

function chunksOf(bytes, size) {
  const chunks = [];
  for (let at = 0; at < bytes.length; at += size) {
    chunks.push(bytes.slice(at, at + size));
  }
  return chunks;
}

// A bare instance of the module with room for `size` input bytes.
function bare(module, size) {
  const fn = new WebAssembly.Instance(module, {}).exports;
  const channels = fn.__heap_base.value;
  const ports = channels + CHANNELS * VALUE_SIZE;
  const input = ports + PORTS * VALUE_SIZE;
  const missing = input + size - fn.memory.buffer.byteLength;
  if (missing > 0) {
    fn.memory.grow(Math.ceil(missing / WASM_PAGE_SIZE));
  }
  const heap = new Uint8Array(fn.memory.buffer);
  // Calls of at most MAX_CHUNK_SIZE over `length` bytes at `at`.
  const parse = (at, length) => {
    let decoded = 0;
    for (let p = at; p < at + length; p += MAX_CHUNK_SIZE) {
      const n = Math.min(MAX_CHUNK_SIZE, at + length - p);
      decoded += fn.parse_port_data(p, n, channels, ports);
    }
    return decoded;
  };
  return { heap, input, parse };
}

const ways = {
  feed(qi, bytes, size) {
    const chunks = chunksOf(bytes, size);
    const parser = qi.createParser();
    return () => chunks.reduce((decoded, chunk) => decoded + (parser.feed(chunk) ? 1 : 0), 0);
  },
  direct(qi, bytes, size) {
    const { heap, input, parse } = bare(qi.module, bytes.length);
    heap.set(bytes, input);
    return () => {
      let decoded = 0;
      for (let at = 0; at < bytes.length; at += size) {
        decoded += parse(input + at, Math.min(size, bytes.length - at));
      }
      return decoded;
    };
  },
  'copy+call'(qi, bytes, size) {
    const chunks = chunksOf(bytes, size);
    const { heap, input, parse } = bare(qi.module, size);
    return () =>
      chunks.reduce((decoded, chunk) => {
        heap.set(chunk, input);
        return decoded + parse(input, chunk.length);
      }, 0);
  },
};

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const column = (text, width) => String(text).padStart(width);

const qi = await load();
const bytes = stream();
console.log(`${FRAMES} type-2 frames, ${bytes.length} bytes; ns per byte, median of ${ROUNDS}`);
console.log('chunk       feed     direct  copy+call  feed/direct  feed/(copy+call)');
for (const size of CHUNK_SIZES) {
  const runs = Object.entries(ways).map(([name, make]) => [name, make(qi, bytes, size)]);
  const times = Object.fromEntries(runs.map(([name]) => [name, []]));
  // The three alternate, so that each sees the same machine.
  for (let round = -WARM_UP_ROUNDS; round < ROUNDS; ++round) {
    for (const [name, run] of runs) {
      const start = process.hrtime.bigint();
      if (run() === 0) {
        throw new Error(`${name} decoded nothing in chunks of ${size}`);
      }
      if (round >= 0) {
        times[name].push(Number(process.hrtime.bigint() - start) / bytes.length);
      }
    }
  }
  const [feed, direct, copy] = Object.keys(ways).map((name) => median(times[name]));
  const verdict = (ratio) => `${ratio.toFixed(2)} ${ratio <= TARGET ? 'met' : 'MISSED'}`;
  console.log(
    `${column(size, 5)} ${column(feed.toFixed(3), 10)} ${column(direct.toFixed(3), 10)} ` +
      `${column(copy.toFixed(3), 10)} ${column(verdict(feed / direct), 12)} ` +
      `${column(verdict(feed / copy), 17)}`,
  );
}
console.log(`targets: at most ${TARGET} for both ratios`);
