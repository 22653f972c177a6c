// The sources the page decodes: a serial port (Web Serial, or the simulated
// device behind the same interface), a HID device (WebHID) and a recording
// file. Each feeds a Session and calls onEnd(message) when it ends by
// itself: a port that vanished, a replay that finished. stop() ends it on
// request; stopNow() is the best the page can do while it is being closed.
import { readRecording } from './quarninterface/index.js';

// Web Serial's errors that leave the port usable: the stream is replaced
// and reading goes on.
const RECOVERABLE_READ_ERRORS = new Set([
  'BufferOverrunError',
  'BreakError',
  'FramingError',
  'ParityError',
]);
// Web Serial buffers 255 bytes by default: 22 ms at 115200 baud, less than
// a busy page may take to come back for them, and bytes beyond the buffer
// are lost. 64 KiB hold more than five seconds.
const SERIAL_BUFFER_BYTES = 65536;
// A replay at once yields to the page after this many bytes, so a large
// file does not freeze it.
const PIECE_BYTES = 65536;
// How often a paced replay looks for the records that are due.
const REPLAY_TICK_MS = 5;

// Lets the page run (draw, handle input) and resumes at once. Unlike
// setTimeout it is neither clamped nor slowed down in a background tab.
function yieldToPage() {
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = resolve;
    channel.port2.postMessage(null);
  });
}

export function describePort(port) {
  const { usbVendorId, usbProductId } = port.getInfo();
  if (usbVendorId === undefined) {
    return 'serial port';
  }
  const hex = (id) => id.toString(16).padStart(4, '0');
  return `serial port ${hex(usbVendorId)}:${hex(usbProductId)}`;
}

export class SerialSource {
  #port;
  #writer = null;
  #reader = null;
  #reading = null;
  #stopping = false;
  #stopSent = false;

  constructor(port, name, session, { baudRate, request }, onEnd, onWarning) {
    this.#port = port;
    this.name = name;
    this.session = session;
    this.baudRate = baudRate;
    this.request = request;
    this.onEnd = onEnd;
    this.onWarning = onWarning;
  }

  async start() {
    try {
      await this.#port.open({ baudRate: this.baudRate, bufferSize: SERIAL_BUFFER_BYTES });
    } catch (error) {
      throw new Error(`cannot open the ${this.name} at ${this.baudRate} baud: ${error.message}`);
    }
    this.#writer = this.#port.writable.getWriter();
    const request = this.session.library.requestUploadPortData(...this.request);
    try {
      await this.#writer.write(request);
    } catch (error) {
      await this.#release();
      throw new Error(`could not send the upload request to the ${this.name}: ${error.message}`);
    }
    this.#reading = this.#read();
  }

  async #read() {
    while (this.#port.readable && !this.#stopping) {
      this.#reader = this.#port.readable.getReader();
      let fatal = null;
      try {
        for (;;) {
          const { value, done } = await this.#reader.read();
          if (done) {
            break;
          }
          this.session.feedBytes(value);
        }
      } catch (error) {
        if (this.#stopping) {
          // Cancelled by stop(): the loop ends below.
        } else if (RECOVERABLE_READ_ERRORS.has(error.name)) {
          this.onWarning(`${this.name}: ${error.message}; reading goes on`);
        } else {
          fatal = error.message;
        }
      } finally {
        this.#reader.releaseLock();
        this.#reader = null;
      }
      // The lock is released first: a port does not close while it is held.
      if (fatal) {
        await this.#lost(fatal);
        return;
      }
    }
    if (!this.#stopping) {
      await this.#lost('the port closed');
    }
  }

  async #lost(reason) {
    this.#stopping = true;
    await this.#release();
    this.onEnd(`the ${this.name} disappeared (${reason})`);
  }

  async #release() {
    try {
      this.#writer?.releaseLock();
      this.#writer = null;
      await this.#port.close();
    } catch {
      // A port that vanished may refuse to close: it is gone either way.
    }
  }

  // Sends the stop command, then closes the port.
  async stop() {
    if (this.#stopping) {
      return;
    }
    this.#stopping = true;
    let problem = null;
    try {
      await this.#sendStop();
    } catch (error) {
      problem = `could not send the stop command to the ${this.name}: ${error.message}`;
    }
    try {
      await this.#reader?.cancel();
    } catch {
      // Cancelling a stream that already failed: nothing left to stop.
    }
    await this.#reading;
    await this.#release();
    if (problem) {
      throw new Error(problem);
    }
  }

  #sendStop() {
    if (this.#stopSent || !this.#writer) {
      return Promise.resolve();
    }
    this.#stopSent = true;
    return this.#writer.write(this.session.library.stopUploadPortData());
  }

  // The page is going away: hand the stop command to the port now, as no
  // promise is awaited any more.
  stopNow() {
    if (!this.#stopping) {
      this.#sendStop().catch(() => {});
    }
  }
}

export class HidSource {
  #device;
  #onReport = (event) => this.#report(event);
  #onDisconnect = (event) => {
    if (event.device === this.#device) {
      this.#end();
      this.onEnd(`the ${this.name} disappeared`);
    }
  };

  constructor(device, name, session, onEnd) {
    this.#device = device;
    this.name = name;
    this.session = session;
    this.onEnd = onEnd;
  }

  async start() {
    try {
      if (!this.#device.opened) {
        await this.#device.open();
      }
    } catch (error) {
      throw new Error(`cannot open the ${this.name}: ${error.message}`);
    }
    this.#device.addEventListener('inputreport', this.#onReport);
    navigator.hid.addEventListener('disconnect', this.#onDisconnect);
  }

  // A numbered report reaches the decoder with its report ID as byte 0,
  // as the HID layer on Linux delivers it and as quarn-monitor passes it on.
  #report({ reportId, data }) {
    const body = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    let report = body;
    if (reportId !== 0) {
      report = new Uint8Array(body.length + 1);
      report[0] = reportId;
      report.set(body, 1);
    }
    this.session.feedHidReport(report);
  }

  #end() {
    this.#device.removeEventListener('inputreport', this.#onReport);
    navigator.hid.removeEventListener('disconnect', this.#onDisconnect);
  }

  async stop() {
    this.#end();
    try {
      await this.#device.close();
    } catch (error) {
      throw new Error(`could not close the ${this.name}: ${error.message}`);
    }
  }

  stopNow() {
    this.#end();
  }
}

// Replays a recording: raw bytes at once, a timed recording at its own pace
// times `speed` (Infinity: as fast as the page can). The session's clock is
// the recording's, so the JSON lines and a recording downloaded again carry
// the times at which the device sent the bytes. The pace comes from a
// Worker's clock, so a replay keeps it in a background tab too.
export class ReplaySource {
  #stopped = false;
  #clock = null;
  #paced = null;

  constructor(file, session, speed, onEnd) {
    this.file = file;
    this.name = `replay of ${file.name}`;
    this.session = session;
    this.speed = speed;
    this.onEnd = onEnd;
  }

  async start() {
    let bytes;
    try {
      bytes = new Uint8Array(await this.file.arrayBuffer());
    } catch (error) {
      throw new Error(`cannot read ${this.file.name}: ${error.message}`);
    }
    const recording = readRecording(bytes);
    this.#play(recording).catch((error) => this.onEnd(`${this.name} failed: ${error.message}`));
  }

  async #play({ timed, records, error }) {
    if (!timed) {
      await this.#playAtOnce(records, () => this.session.elapsedUs());
    } else if (this.speed === Infinity) {
      await this.#playAtOnce(records, (record) => record.timeUs);
    } else {
      await this.#playPaced(records);
    }
    if (this.#stopped) {
      return;
    }
    const what = timed ? 'timed recording' : 'raw bytes';
    if (error) {
      const replayed = records.length > 0 ? '; everything before it was replayed' : '';
      this.onEnd(`${this.file.name} (${what}): ${error}${replayed}`, 'warning');
    } else {
      this.onEnd(`${this.name} finished (${what}, ${this.session.bytes} bytes)`, 'info');
    }
  }

  // Feeds every record, letting the page draw between pieces of a large file.
  async #playAtOnce(records, timeOf) {
    let fed = 0;
    for (const record of records) {
      for (let at = 0; at < record.data.length && !this.#stopped; at += PIECE_BYTES) {
        const piece = record.data.subarray(at, at + PIECE_BYTES);
        this.session.feedBytes(piece, timeOf(record));
        fed += piece.length;
        if (fed >= PIECE_BYTES) {
          fed = 0;
          await yieldToPage();
        }
      }
    }
  }

  #playPaced(records) {
    return new Promise((resolve) => {
      this.#paced = resolve;
      const start = performance.now();
      let next = 0;
      this.#clock = new Worker(new URL('./clock-worker.js', import.meta.url));
      this.#clock.onmessage = () => {
        const due = (performance.now() - start) * 1000 * this.speed;
        while (!this.#stopped && next < records.length && records[next].timeUs <= due) {
          this.session.feedBytes(records[next].data, records[next].timeUs);
          next += 1;
        }
        if (this.#stopped || next === records.length) {
          this.#clock.terminate();
          resolve();
        }
      };
      this.#clock.postMessage({ period: REPLAY_TICK_MS });
    });
  }

  async stop() {
    this.stopNow();
  }

  stopNow() {
    this.#stopped = true;
    this.#clock?.terminate();
    this.#paced?.();
  }
}
