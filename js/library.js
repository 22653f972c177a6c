// The QuarnInterface library, compiled to WebAssembly from its one C++ source,
// and the wrapper that lends it memory.
//
// The module imports nothing and allocates nothing. It exports the eight
// functions, its memory, and __heap_base: the end of its stack and static
// data. Everything from __heap_base on is memory the library never touches,
// so the wrapper puts its buffers there.
//
// Every instance of the module is a fresh copy of the library with its own
// static state. A QuarnInterface holds one for the commands, the HID
// decoders and the SBUS encoders (so its SBUS2 end-byte cycle is its own);
// every PortDataParser holds another, so each parser has its own reassembly
// buffer and starts empty.
import { asBytes, describe, isBytes } from './bytes.js';
import * as L from './layout.js';
import { readRecording, writeRecording } from './recording.js';

// parse_port_data and the HID decoders take their length as an unsigned
// 8-bit value.
export const MAX_CHUNK_SIZE = 255;
// feed copies this many calls' worth of bytes into the module at once, so a
// large input costs one copy per 64 calls rather than one per call.
const CHUNKS_PER_COPY = 64;
const FEED_BUFFER_SIZE = CHUNKS_PER_COPY * MAX_CHUNK_SIZE;
const BYTE_MAX = 0xff;
const VALUE_MAX = 0xffff;
const WASM_PAGE_SIZE = 65536;
const ALIGNMENT = 8;
const FUNCTIONS = [
  'request_upload_port_data',
  'stop_upload_port_data',
  'parse_port_data',
  'parse_hid_game_controller_device',
  'parse_hid_compatible_device',
  'convert_std_sbus_data',
  'encode_sbus_data_v1',
  'encode_sbus_data_v2',
];

// Checks a value set before anything is written: the library reads exactly
// `count` values, and a value outside 16 bits would be cut to its low bits.
function checkValues(values, count, what) {
  if (typeof values !== 'object' || values === null || typeof values.length !== 'number') {
    throw new TypeError(`${what} takes an array of ${count} values, not ${describe(values)}`);
  }
  if (values.length !== count) {
    throw new RangeError(`${what} takes ${count} values, not ${values.length}`);
  }
  for (let k = 0; k < count; ++k) {
    const v = values[k];
    if (!Number.isInteger(v) || v < 0 || v > VALUE_MAX) {
      throw new RangeError(
        `${what}: value ${k} is ${v}; values are whole numbers from 0 to ${VALUE_MAX}`,
      );
    }
  }
}

function checkByte(value, what) {
  if (!Number.isInteger(value) || value < 0 || value > BYTE_MAX) {
    throw new RangeError(`${what} is ${value}; it must be a whole number from 0 to ${BYTE_MAX}`);
  }
}

function alignUp(address) {
  return Math.ceil(address / ALIGNMENT) * ALIGNMENT;
}

// One instance of the module and the buffers placed behind its data.
// `sizes` names each buffer and its size in bytes.
class Instance {
  constructor(module, sizes) {
    this.fn = new WebAssembly.Instance(module, {}).exports;
    this.at = {};
    let next = alignUp(this.fn.__heap_base.value);
    for (const [name, size] of Object.entries(sizes)) {
      this.at[name] = next;
      next = alignUp(next + size);
    }
    const memory = this.fn.memory;
    if (next > memory.buffer.byteLength) {
      memory.grow(Math.ceil((next - memory.buffer.byteLength) / WASM_PAGE_SIZE));
    }
    // Only this constructor grows the memory, so these views stay valid.
    this.heap = new Uint8Array(memory.buffer);
    this.view = new DataView(memory.buffer);
  }

  // The module's memory is little-endian whatever the host is, so values
  // go through the DataView rather than a Uint16Array over it.
  readValues(address, count) {
    const values = new Uint16Array(count);
    for (let k = 0; k < count; ++k) {
      values[k] = this.view.getUint16(address + k * L.QUARN_VALUE_SIZE, true);
    }
    return values;
  }

  writeValues(address, values) {
    for (let k = 0; k < values.length; ++k) {
      this.view.setUint16(address + k * L.QUARN_VALUE_SIZE, values[k], true);
    }
  }

  copyOut(address, length) {
    return this.heap.slice(address, address + length);
  }
}

export class PortDataParser {
  #instance;
  #parse;
  #heap;
  #input;
  #channels;
  #ports;

  constructor(module) {
    this.#instance = new Instance(module, {
      input: FEED_BUFFER_SIZE,
      channels: L.QUARN_CHANNEL_COUNT * L.QUARN_VALUE_SIZE,
      ports: L.QUARN_PORT_COUNT * L.QUARN_VALUE_SIZE,
    });
    const { at, fn, heap } = this.#instance;
    this.#parse = fn.parse_port_data;
    this.#heap = heap;
    this.#input = at.input;
    this.#channels = at.channels;
    this.#ports = at.ports;
  }

  // Hands the bytes on in calls of at most MAX_CHUNK_SIZE; true when at
  // least one data frame was decoded during this call.
  feed(bytes) {
    const data = asBytes(bytes, 'feed');
    const parse = this.#parse;
    let decoded = 0;
    for (let at = 0; at < data.length; at += FEED_BUFFER_SIZE) {
      const whole = data.length <= FEED_BUFFER_SIZE;
      const piece = whole ? data : data.subarray(at, at + FEED_BUFFER_SIZE);
      this.#heap.set(piece, this.#input);
      const end = this.#input + piece.length;
      for (let p = this.#input; p < end; p += MAX_CHUNK_SIZE) {
        decoded |= parse(p, Math.min(MAX_CHUNK_SIZE, end - p), this.#channels, this.#ports);
      }
    }
    return decoded !== 0;
  }

  get channels() {
    return this.#instance.readValues(this.#channels, L.QUARN_CHANNEL_COUNT);
  }

  get ports() {
    return this.#instance.readValues(this.#ports, L.QUARN_PORT_COUNT);
  }
}

export class QuarnInterface {
  #module;
  #instance;

  constructor(module) {
    this.#module = module;
    this.#instance = new Instance(module, {
      report: MAX_CHUNK_SIZE,
      values: Math.max(L.QUARN_CHANNEL_COUNT, L.QUARN_CONTROLLER_VALUE_COUNT) * L.QUARN_VALUE_SIZE,
      sbusSet: L.QUARN_SBUS_CHANNEL_COUNT * L.QUARN_VALUE_SIZE,
      sbusFrame: L.QUARN_SBUS_FRAME_SIZE,
      command: L.QUARN_UPLOAD_REQUEST_SIZE,
    });
  }

  // The compiled module: load({ wasm: qi.module }) makes another
  // QuarnInterface without fetching or compiling again.
  get module() {
    return this.#module;
  }

  requestUploadPortData(first = 0, second = 0) {
    checkByte(first, 'requestUploadPortData: the first request byte');
    checkByte(second, 'requestUploadPortData: the second request byte');
    const { fn, at } = this.#instance;
    fn.request_upload_port_data(at.command, first, second);
    return this.#instance.copyOut(at.command, L.QUARN_UPLOAD_REQUEST_SIZE);
  }

  stopUploadPortData() {
    const { fn, at } = this.#instance;
    fn.stop_upload_port_data(at.command);
    return this.#instance.copyOut(at.command, L.QUARN_UPLOAD_STOP_SIZE);
  }

  createParser() {
    return new PortDataParser(this.#module);
  }

  parseHidGameController(report) {
    return this.#decodeReport(
      report,
      'parseHidGameController',
      'parse_hid_game_controller_device',
      L.QUARN_CONTROLLER_VALUE_COUNT,
    );
  }

  parseHidCompatible(report) {
    return this.#decodeReport(
      report,
      'parseHidCompatible',
      'parse_hid_compatible_device',
      L.QUARN_CHANNEL_COUNT,
    );
  }

  // A report longer than the 8-bit length can be neither report, and is
  // refused without a call: its length would be cut to its low byte.
  #decodeReport(report, what, name, count) {
    const bytes = asBytes(report, what);
    if (bytes.length > MAX_CHUNK_SIZE) {
      return null;
    }
    const { fn, at, heap } = this.#instance;
    heap.set(bytes, at.report);
    if (fn[name](at.values, at.report, bytes.length) === 0) {
      return null;
    }
    return this.#instance.readValues(at.values, count);
  }

  convertStdSbus(values) {
    checkValues(values, L.QUARN_SBUS_CHANNEL_COUNT, 'convertStdSbus');
    const { fn, at } = this.#instance;
    this.#instance.writeValues(at.sbusSet, values);
    fn.convert_std_sbus_data(at.sbusSet, at.sbusSet);
    return this.#instance.readValues(at.sbusSet, L.QUARN_SBUS_CHANNEL_COUNT);
  }

  encodeSbusV1(channels) {
    return this.#encodeSbus(channels, 'encodeSbusV1', 'encode_sbus_data_v1');
  }

  encodeSbusV2(channels) {
    return this.#encodeSbus(channels, 'encodeSbusV2', 'encode_sbus_data_v2');
  }

  // The whole frame, start byte included, as a new array.
  #encodeSbus(channels, what, name) {
    checkValues(channels, L.QUARN_SBUS_CHANNEL_COUNT, what);
    const { fn, at, heap } = this.#instance;
    this.#instance.writeValues(at.sbusSet, channels);
    heap[at.sbusFrame] = L.QUARN_SBUS_START_BYTE;
    fn[name](at.sbusFrame, at.sbusSet);
    return this.#instance.copyOut(at.sbusFrame, L.QUARN_SBUS_FRAME_SIZE);
  }

  readRecording(bytes) {
    return readRecording(bytes);
  }

  writeRecording(records) {
    return writeRecording(records);
  }
}

function checkModule(module, name) {
  const exported = new Set(WebAssembly.Module.exports(module).map((e) => e.name));
  const missing = [...FUNCTIONS, 'memory', '__heap_base'].filter((n) => !exported.has(n));
  if (missing.length > 0) {
    throw new Error(
      `cannot load ${name}: it is not the QuarnInterface module; it lacks ${missing.join(', ')}`,
    );
  }
  return module;
}

async function compile(bytes, name) {
  let module;
  try {
    module = await WebAssembly.compile(bytes);
  } catch (error) {
    throw new Error(`cannot load ${name}: it is not a WebAssembly module (${error.message})`, {
      cause: error,
    });
  }
  return checkModule(module, name);
}

// The module is compiled from its bytes rather than streamed, so any static
// server works, whatever content type it gives .wasm files.
async function responseBytes(response, name) {
  if (!response.ok) {
    throw new Error(`cannot load ${name}: HTTP ${response.status} ${response.statusText}`.trim());
  }
  return response.arrayBuffer();
}

async function fetchBytes(url) {
  let response;
  try {
    response = await fetch(url);
  } catch (error) {
    throw new Error(`cannot load ${url}: ${error.message}`, { cause: error });
  }
  return responseBytes(response, String(url));
}

// A Response, or anything shaped like one; a Blob has arrayBuffer() too, but
// no status.
function isResponse(value) {
  return typeof value?.arrayBuffer === 'function' && typeof value.ok === 'boolean';
}

// load() for every platform: `source` is the `wasm` option, or its default.
// readLocal(url) gives the bytes of a URL or path that fetch cannot reach
// (Node's files), or null for one that it can.
export async function loadModule(source, readLocal = () => null) {
  const wasm = await source;
  if (wasm instanceof WebAssembly.Module) {
    return new QuarnInterface(checkModule(wasm, 'the module given'));
  }
  if (isBytes(wasm)) {
    return new QuarnInterface(await compile(wasm, 'the bytes given'));
  }
  if (isResponse(wasm)) {
    const name = wasm.url || 'the response given';
    return new QuarnInterface(await compile(await responseBytes(wasm, name), name));
  }
  if (wasm instanceof URL || typeof wasm === 'string') {
    const bytes = (await readLocal(wasm)) ?? (await fetchBytes(wasm));
    return new QuarnInterface(await compile(bytes, String(wasm)));
  }
  throw new TypeError(
    `load: wasm takes the module's bytes, a Response, a URL or a WebAssembly.Module, ` +
      `not ${describe(wasm)}`,
  );
}
