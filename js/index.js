// quarninterface: the QuarnInterface library for JavaScript, in browsers and
// bundlers. Node takes node.js instead (package.json's "exports"), which
// reads the module from a file.
import { loadModule } from './library.js';

export { MAX_CHUNK_SIZE } from './library.js';
export { readRecording, writeRecording } from './recording.js';

// Loads the module, fetched from beside this file unless options.wasm says
// otherwise: its bytes, a Response (or the promise of one), a URL or a
// compiled WebAssembly.Module.
export function load(options = {}) {
  return loadModule(options?.wasm ?? new URL('./QuarnInterface.wasm', import.meta.url));
}
