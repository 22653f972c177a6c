// A simulated device for a demo without hardware. It behaves like a serial
// port with the device behind it: it waits for the upload request, then
// streams data frames of payload type 2 at 100 frames per second with slowly
// swinging values, until the stop command.
//
// Its frame encoder and command scanner follow the byte layouts on their own
// and share nothing with the library, so what the page shows checks the
// library against an independent writer.
import * as L from './quarninterface/layout.js';

export const FRAME_RATE_HZ = 100;
// The device's standard range: SBUS conversion maps 0..1200 onto 0..2047.
export const STANDARD_MAX = 1200;
const CENTRE = STANDARD_MAX / 2;
const CHANNEL_AMPLITUDE = 450;
const PORT_AMPLITUDE = 500;
// Host commands carry at most the two request bytes: a longer length field
// is noise, not a command to wait for.
const MAX_HOST_PAYLOAD = 16;
// After a stall of more than this the device restarts its schedule instead
// of sending a burst of late frames.
const MAX_LAG_MS = 1000;
const TYPE2_GAP_SIZE = L.QUARN_TYPE2_PORTS_OFFSET - L.QUARN_TYPE0_PAYLOAD_SIZE;

function wave(amplitude, frequencyHz, phase, t) {
  return Math.round(CENTRE + amplitude * Math.sin(2 * Math.PI * frequencyHz * t + phase));
}

// The values of frame n: a different slow sine wave for every value.
export function valuesAt(n) {
  const t = n / FRAME_RATE_HZ;
  return {
    channels: Array.from({ length: L.QUARN_CHANNEL_COUNT }, (_, k) =>
      wave(CHANNEL_AMPLITUDE, 0.1 + 0.05 * k, 0.5 * k, t),
    ),
    ports: Array.from({ length: L.QUARN_PORT_COUNT }, (_, k) =>
      wave(PORT_AMPLITUDE, 0.05 + 0.02 * k, 0.3 * k, t),
    ),
  };
}

// A type-2 data frame: FA A5 length(2, low first), type, 12 channels,
// 6 unused bytes, 32 ports, 5F. Values are 16 bits, low byte first.
export function encodeDataFrame({ channels, ports }) {
  const payload = L.QUARN_TYPE2_PAYLOAD_SIZE;
  const frame = new Uint8Array(L.QUARN_FRAME_OVERHEAD + payload);
  frame[0] = L.QUARN_FRAME_HEAD;
  frame[1] = L.QUARN_CMD_PORT_DATA;
  frame[2] = payload & 0xff;
  frame[3] = payload >> 8;
  let at = L.QUARN_FRAME_HEADER_SIZE;
  frame[at++] = L.QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS;
  const put = (v) => {
    frame[at++] = v & 0xff;
    frame[at++] = v >> 8;
  };
  channels.forEach(put);
  at += TYPE2_GAP_SIZE;
  ports.forEach(put);
  frame[at] = L.QUARN_FRAME_TAIL;
  return frame;
}

// Finds the host's commands in the bytes the device receives.
export class CommandScanner {
  #pending = [];

  // Returns the commands completed by these bytes: 'request', 'stop' or
  // 'other'. Bytes that cannot start a command are dropped.
  feed(bytes) {
    this.#pending.push(...bytes);
    const commands = [];
    let at = 0;
    while (at < this.#pending.length) {
      const left = this.#pending.length - at;
      if (this.#pending[at] !== L.QUARN_FRAME_HEAD) {
        at += 1;
        continue;
      }
      if (left < L.QUARN_FRAME_HEADER_SIZE) {
        break;
      }
      const length = this.#pending[at + 2] | (this.#pending[at + 3] << 8);
      if (length > MAX_HOST_PAYLOAD) {
        at += 1;
        continue;
      }
      const size = length + L.QUARN_FRAME_OVERHEAD;
      if (left < size) {
        break;
      }
      if (this.#pending[at + size - 1] !== L.QUARN_FRAME_TAIL) {
        at += 1;
        continue;
      }
      const command = this.#pending[at + 1];
      if (command === L.QUARN_CMD_UPLOAD_REQUEST && size === L.QUARN_UPLOAD_REQUEST_SIZE) {
        commands.push('request');
      } else if (command === L.QUARN_CMD_UPLOAD_STOP && size === L.QUARN_UPLOAD_STOP_SIZE) {
        commands.push('stop');
      } else {
        commands.push('other');
      }
      at += size;
    }
    this.#pending.splice(0, at);
    return commands;
  }
}

// The simulated device behind a stand-in for a Web Serial port, so the page
// reaches it through the very code that talks to a real port. Its clock
// runs in a Worker, so it keeps streaming while the tab is in the
// background, as a real device would.
export class SimulatedPort extends EventTarget {
  readable = null;
  writable = null;
  #clock = null;
  #output = null;
  #scanner = new CommandScanner();
  #streaming = false;
  #n = 0;
  #nextFrameAt = 0;

  getInfo() {
    return {};
  }

  async open() {
    if (this.readable) {
      throw new DOMException('The port is already open.', 'InvalidStateError');
    }
    this.readable = new ReadableStream({
      start: (controller) => {
        this.#output = controller;
      },
    });
    this.writable = new WritableStream({
      write: (chunk) => this.#receive(chunk),
    });
    this.#clock = new Worker(new URL('./clock-worker.js', import.meta.url));
    this.#clock.onmessage = () => this.#tick(performance.now());
    this.#clock.postMessage({ period: 1000 / FRAME_RATE_HZ });
  }

  async close() {
    this.#clock?.terminate();
    this.#clock = null;
    this.#streaming = false;
    this.readable = null;
    this.writable = null;
  }

  #receive(bytes) {
    for (const command of this.#scanner.feed(bytes)) {
      if (command === 'request' && !this.#streaming) {
        this.#streaming = true;
        this.#nextFrameAt = performance.now();
      } else if (command === 'stop') {
        this.#streaming = false;
      }
    }
  }

  // Sends every frame due by now in one chunk, as a UART's buffer would
  // deliver them.
  #tick(now) {
    if (!this.#streaming) {
      return;
    }
    if (now - this.#nextFrameAt > MAX_LAG_MS) {
      this.#nextFrameAt = now;
    }
    const frames = [];
    while (this.#nextFrameAt <= now) {
      frames.push(encodeDataFrame(valuesAt(this.#n)));
      this.#n += 1;
      this.#nextFrameAt += 1000 / FRAME_RATE_HZ;
    }
    if (frames.length === 0) {
      return;
    }
    const chunk = new Uint8Array(frames.length * frames[0].length);
    frames.forEach((frame, k) => chunk.set(frame, k * frame.length));
    try {
      this.#output.enqueue(chunk);
    } catch {
      // The reader has gone (the port is closing): nothing to deliver to.
    }
  }
}
