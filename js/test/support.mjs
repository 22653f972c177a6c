// What the package's tests share: where the built package, the native
// library and the tools are, frames packed from the byte layouts (never by
// the library), a seeded random source, and the native parser as reference.
//
// The paths default to the build trees of the web and linux presets; the
// environment variables QUARN_NPM_PACKAGE, QUARN_INTERFACE_LIBRARY,
// QUARN_MONITOR and QUARN_SIM name others.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

export const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
export const PACKAGE_DIR =
  process.env.QUARN_NPM_PACKAGE ?? join(ROOT, 'build/web/npm/quarninterface');
export const MONITOR = process.env.QUARN_MONITOR ?? join(ROOT, 'build/linux/tools/quarn-monitor');
export const SIM = process.env.QUARN_SIM ?? join(ROOT, 'build/linux/tools/quarn-sim');
const NATIVE_LIBRARY =
  process.env.QUARN_INTERFACE_LIBRARY ?? join(ROOT, 'build/linux/libQuarnInterface.so');

for (const [path, preset] of [
  [PACKAGE_DIR, 'web'],
  [MONITOR, 'linux'],
  [SIM, 'linux'],
  [NATIVE_LIBRARY, 'linux'],
]) {
  if (!existsSync(path)) {
    const build = `cmake --preset ${preset} && cmake --build --preset ${preset}`;
    throw new Error(`${path} is missing; build it with ${build}`);
  }
}

// The package as Node imports it.
export const qiPackage = await import(pathToFileURL(join(PACKAGE_DIR, 'node.js')).href);

export const [HEAD, TAIL, CMD_DATA, CMD_REQUEST, CMD_STOP] = [0xfa, 0x5f, 0xa5, 0xe5, 0xe4];
export const [CHANNELS, PORTS, TYPE2_GAP] = [12, 32, 6];

export const le16 = (values) => values.flatMap((v) => [v & 0xff, v >> 8]);

export function frame(command, payload, trailer = TAIL) {
  const n = payload.length;
  return [HEAD, command, n & 0xff, n >> 8, ...payload, trailer];
}

// A data frame: the type byte, 12 channels for type 0, 32 ports for type 1,
// and for type 2 the channels, six unused bytes and the ports.
export function dataFrame(type, channels = [], ports = []) {
  const payloads = [le16(channels), le16(ports),
    [...le16(channels), ...new Array(TYPE2_GAP).fill(0), ...le16(ports)]];
  return frame(CMD_DATA, [type, ...payloads[type]]);
}

// mulberry32: a small seeded generator, so every run sees the same streams.
export function random(seed) {
  let a = seed >>> 0;
  const next = () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = Math.imul(a ^ (a >>> 15), 1 | a);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  const int = (n) => Math.floor(next() * n);
  return { next, int, pick: (items) => items[int(items.length)] };
}

export function values(rng, n) {
  return Array.from({ length: n }, () => rng.int(65536));
}

// Frames of every kind the parser meets, good and bad, and junk between.
export function randomStream(rng, pieces = 300) {
  const out = [];
  for (let k = 0; k < pieces; ++k) {
    const kind = rng.int(9);
    if (kind < 3) {
      out.push(...dataFrame(kind, values(rng, CHANNELS), values(rng, PORTS)));
    } else if (kind === 3) {
      const bad = dataFrame(rng.int(3), values(rng, CHANNELS), values(rng, PORTS));
      bad[bad.length - 1] = TAIL - 1;
      out.push(...bad);
    } else if (kind === 4) {
      // Unknown types, short layouts, request echoes.
      const payload = [rng.int(5), ...Array.from({ length: rng.int(100) }, () => rng.int(256))];
      out.push(...frame(rng.pick([CMD_DATA, CMD_REQUEST]), payload));
    } else if (kind === 5) {
      out.push(...frame(CMD_STOP, dataFrame(0, values(rng, CHANNELS))));
    } else if (kind === 6) {
      // Stray start bytes, and lengths no frame can have.
      out.push(HEAD, rng.int(256), rng.int(256), rng.pick([0, 1, 2, 0xff]));
    } else {
      out.push(...Array.from({ length: rng.int(40) }, () => rng.pick([HEAD, TAIL, rng.int(256)])));
    }
  }
  return out;
}

export function splitRandomly(data, rng, largest) {
  const chunks = [];
  for (let at = 0; at < data.length; ) {
    const n = 1 + rng.int(largest);
    chunks.push(data.slice(at, at + n));
    at += n;
  }
  return chunks;
}

export function run(command, args, options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', timeout: 60000, ...options });
  assert.ifError(result.error);
  return result;
}

// The native library's flag and values after each chunk, each stream in a
// fresh process: [[flag, channels, ports], ...].
export function nativeParse(chunks) {
  const result = run('/usr/bin/python3', [join(ROOT, 'js/test/native_parser.py')], {
    input: JSON.stringify(chunks),
    env: { ...process.env, QUARN_INTERFACE_LIBRARY: NATIVE_LIBRARY },
  });
  assert.equal(result.status, 0, `native_parser.py failed: ${result.stderr}`);
  return JSON.parse(result.stdout);
}
