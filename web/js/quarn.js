// The library, compiled to WebAssembly from its one C++ source, and the
// buffers the page lends it.
//
// The module imports nothing and allocates nothing. It exports the eight
// functions, its memory, and __heap_base: the end of its stack and static
// data. Everything from __heap_base on is memory the library never touches,
// so the page puts its buffers there, growing the memory if they do not fit
// in what the module starts with.
//
// Each QuarnInstance is a fresh copy of the library with its own static
// state: every source gets its own stream parser, so nothing a previous
// connection left half-received leaks into the next, and the SBUS output
// gets its own SBUS2 end-byte cycle.
import * as L from './layout.js';

// parse_port_data and the HID decoders take their length as an unsigned
// 8-bit value.
export const MAX_CHUNK = 255;

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

function alignUp(address) {
  return Math.ceil(address / ALIGNMENT) * ALIGNMENT;
}

// Loads and compiles the module once; instances are then made synchronously.
// The module is compiled from its bytes rather than streamed, so any static
// server works, whatever content type it gives .wasm files.
export async function loadLibrary(url = new URL('../QuarnInterface.wasm', import.meta.url)) {
  let response;
  try {
    response = await fetch(url);
  } catch (error) {
    throw new Error(`cannot load ${url}: ${error.message}`);
  }
  if (!response.ok) {
    throw new Error(`cannot load ${url}: HTTP ${response.status} ${response.statusText}`);
  }
  const module = await WebAssembly.compile(await response.arrayBuffer());
  const exported = new Set(WebAssembly.Module.exports(module).map((e) => e.name));
  const missing = [...FUNCTIONS, 'memory', '__heap_base'].filter((name) => !exported.has(name));
  if (missing.length > 0) {
    throw new Error(`${url} is not the QuarnInterface module: it lacks ${missing.join(', ')}`);
  }
  return { instance: () => new QuarnInstance(module) };
}

export class QuarnInstance {
  #fn;
  #memory;
  #input;
  #channels;
  #ports;
  #controller;
  #sbusSet;
  #sbusFrame;
  #command;

  constructor(module) {
    this.#fn = new WebAssembly.Instance(module, {}).exports;
    let next = alignUp(this.#fn.__heap_base.value);
    const take = (size) => {
      const at = next;
      next = alignUp(next + size);
      return at;
    };
    this.#input = take(MAX_CHUNK);
    this.#channels = take(L.QUARN_CHANNEL_COUNT * L.QUARN_VALUE_SIZE);
    this.#ports = take(L.QUARN_PORT_COUNT * L.QUARN_VALUE_SIZE);
    this.#controller = take(L.QUARN_CONTROLLER_VALUE_COUNT * L.QUARN_VALUE_SIZE);
    this.#sbusSet = take(L.QUARN_SBUS_CHANNEL_COUNT * L.QUARN_VALUE_SIZE);
    this.#sbusFrame = take(L.QUARN_SBUS_FRAME_SIZE);
    this.#command = take(L.QUARN_UPLOAD_REQUEST_SIZE);
    const memory = this.#fn.memory;
    if (next > memory.buffer.byteLength) {
      memory.grow(Math.ceil((next - memory.buffer.byteLength) / WASM_PAGE_SIZE));
    }
    // Only this constructor grows the memory, so these views stay valid.
    this.#memory = new DataView(memory.buffer);
  }

  #bytes(address, length) {
    return new Uint8Array(this.#memory.buffer, address, length);
  }

  #putInput(bytes) {
    if (bytes.length > MAX_CHUNK) {
      throw new RangeError(
        `the library takes at most ${MAX_CHUNK} bytes per call, not ${bytes.length}`,
      );
    }
    this.#bytes(this.#input, bytes.length).set(bytes);
  }

  // The wire and the module's memory are little-endian whatever the host is.
  #readValues(address, count) {
    const values = new Array(count);
    for (let k = 0; k < count; ++k) {
      values[k] = this.#memory.getUint16(address + k * L.QUARN_VALUE_SIZE, true);
    }
    return values;
  }

  #writeValues(address, values) {
    values.forEach((v, k) => this.#memory.setUint16(address + k * L.QUARN_VALUE_SIZE, v, true));
  }

  // The 7-byte upload request, as a new array.
  requestUpload(first, second) {
    this.#fn.request_upload_port_data(this.#command, first, second);
    return this.#bytes(this.#command, L.QUARN_UPLOAD_REQUEST_SIZE).slice();
  }

  // The 5-byte stop command, as a new array.
  stopUpload() {
    this.#fn.stop_upload_port_data(this.#command);
    return this.#bytes(this.#command, L.QUARN_UPLOAD_STOP_SIZE).slice();
  }

  // Feeds 1 to 255 received bytes; true when a data frame was decoded.
  // The decoded values stay in this instance's arrays, as in a host's.
  parsePortData(chunk) {
    this.#putInput(chunk);
    return this.#fn.parse_port_data(this.#input, chunk.length, this.#channels, this.#ports) !== 0;
  }

  get channels() {
    return this.#readValues(this.#channels, L.QUARN_CHANNEL_COUNT);
  }

  get ports() {
    return this.#readValues(this.#ports, L.QUARN_PORT_COUNT);
  }

  get controller() {
    return this.#readValues(this.#controller, L.QUARN_CONTROLLER_VALUE_COUNT);
  }

  // Both HID decoders return true when they took the report; a report of
  // more than 255 bytes can be neither, and is refused without a call.
  parseGameController(report) {
    if (report.length > MAX_CHUNK) {
      return false;
    }
    this.#putInput(report);
    const fn = this.#fn.parse_hid_game_controller_device;
    return fn(this.#controller, this.#input, report.length) !== 0;
  }

  // Fills the same channel array as parsePortData, as a host's would be.
  parseCompatible(report) {
    if (report.length > MAX_CHUNK) {
      return false;
    }
    this.#putInput(report);
    return this.#fn.parse_hid_compatible_device(this.#channels, this.#input, report.length) !== 0;
  }

  convertStdSbus(values) {
    this.#writeValues(this.#sbusSet, values);
    this.#fn.convert_std_sbus_data(this.#sbusSet, this.#sbusSet);
    return this.#readValues(this.#sbusSet, L.QUARN_SBUS_CHANNEL_COUNT);
  }

  // The whole 25-byte frame, start byte included, as a new array: a frame
  // handed to a port must not change under it when the next is encoded.
  encodeSbus(values, sbus2) {
    this.#writeValues(this.#sbusSet, values);
    const frame = this.#bytes(this.#sbusFrame, L.QUARN_SBUS_FRAME_SIZE);
    frame[0] = L.QUARN_SBUS_START_BYTE;
    if (sbus2) {
      this.#fn.encode_sbus_data_v2(this.#sbusFrame, this.#sbusSet);
    } else {
      this.#fn.encode_sbus_data_v1(this.#sbusFrame, this.#sbusSet);
    }
    return frame.slice();
  }
}
