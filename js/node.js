// quarninterface in Node: as index.js, but the module is read from the file
// beside this one, and load({ wasm }) also takes a file: URL or a path, which
// Node's fetch does not reach.
import { readFile } from 'node:fs/promises';

import { loadModule } from './library.js';

export { MAX_CHUNK_SIZE } from './library.js';
export { readRecording, writeRecording } from './recording.js';

// A URL's scheme has two letters at least: C:\ starts a Windows path.
const URL_SCHEME = /^[a-z][a-z0-9+.-]+:/i;

// A file: URL to read, a path (a string that is no URL), or null for a URL
// that fetch reaches.
function localFile(source) {
  if (typeof source === 'string' && !URL_SCHEME.test(source)) {
    return source;
  }
  const url = new URL(source);
  return url.protocol === 'file:' ? url : null;
}

async function readLocal(source) {
  const file = localFile(source);
  if (file === null) {
    return null;
  }
  try {
    return await readFile(file);
  } catch (error) {
    throw new Error(`cannot load the QuarnInterface module: ${error.message}`, { cause: error });
  }
}

export function load(options = {}) {
  const wasm = options?.wasm ?? new URL('./QuarnInterface.wasm', import.meta.url);
  return loadModule(wasm, readLocal);
}
