// The sources the page decodes: a serial port (Web Serial, or the simulated
// device behind the same interface), a HID device (WebHID) and a recording
// file. Each feeds a Session and calls onEnd(message) when it ends by
// itself: a port that vanished, a replay that finished. stop() ends it on
// request; stopNow() is the best the page can do while it is being closed.
//
// A serial port or HID device that vanishes can instead be waited for, when
// the page asks for that: the source stays, says when the device went, and
// carries on with the same device when it comes back.
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
// How often a source waiting for its device looks for it again, besides on
// the browser's connect events: a device that has just come back may not
// open at once (udev may not yet have given the user access to its node).
const RETURN_RETRY_MS = 500;

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

// What a lost serial port is known by: getInfo()'s USB vendor and product
// id (or Bluetooth service), or nothing for a port without a device behind
// it, which can only come back as the same object.
function identity(port) {
  const info = port.getInfo();
  const known = Object.keys(info)
    .filter((key) => info[key] !== undefined)
    .sort();
  return known.length > 0 ? JSON.stringify(known.map((key) => [key, info[key]])) : null;
}

// A port this page has open (the SBUS output) is never the lost one.
function sameSerialDevice(lost, port) {
  const free = port.readable === null && port.writable === null;
  return free && (port === lost || (identity(lost) !== null && identity(port) === identity(lost)));
}

function sameHidDevice(lost, device) {
  const usages = (d) => JSON.stringify(d.collections.map((c) => [c.usagePage, c.usage]));
  return (
    !device.opened &&
    (device === lost ||
      (device.vendorId === lost.vendorId &&
        device.productId === lost.productId &&
        device.productName === lost.productName &&
        usages(device) === usages(lost)))
  );
}

// Tries open(device) on every device list() gives that isSame() takes, at
// once, on each of api's connect events and every RETURN_RETRY_MS, until one
// opens (true) or the signal aborts the wait (false).
async function awaitReturn({ api, list, isSame, open, signal }) {
  let wake = () => {};
  const onEvent = () => wake();
  api.addEventListener('connect', onEvent);
  signal.addEventListener('abort', onEvent);
  try {
    while (!signal.aborted) {
      // A browser that cannot list its devices now may later: look again.
      const devices = await list().catch(() => []);
      for (const device of devices.filter(isSame)) {
        if (signal.aborted) {
          return false;
        }
        if (await open(device)) {
          return true;
        }
      }
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, RETURN_RETRY_MS);
        wake = () => {
          clearTimeout(timer);
          resolve();
        };
      });
    }
    return false;
  } finally {
    api.removeEventListener('connect', onEvent);
    signal.removeEventListener('abort', onEvent);
  }
}

// What a serial port and a HID device share: a device that vanishes ends
// the source, or, while events.reconnect() says so, is waited for.
// events: onEnd(message), onWarning(message), onAway(message) when the
// device went, onBack(message) when it is back, reconnect().
class DeviceSource {
  #waiting = null;

  constructor(name, session, events) {
    this.name = name;
    this.session = session;
    this.events = events;
    // When the device went, while the source waits for it.
    this.awaySince = null;
  }

  // The device is gone. Ends the source and returns false, unless
  // reconnection is on: then it waits until open(device) succeeds for a
  // device of `api` that isSame() takes for the lost one, and returns true;
  // false when stop() ended the wait.
  async comeBack(reason, { api, list, isSame, open }) {
    const why = reason ? ` (${reason})` : '';
    if (!this.events.reconnect() || !api) {
      this.events.onEnd(`the ${this.name} disappeared${why}`);
      return false;
    }
    this.awaySince = new Date();
    this.session.noteEvent('disconnected');
    const since = this.awaySince.toLocaleTimeString();
    this.#waiting = new AbortController();
    this.events.onAway(`the ${this.name} disappeared at ${since}${why}; waiting for it to return`);
    let failed = false;
    const back = await awaitReturn({
      api,
      list,
      isSame,
      signal: this.#waiting.signal,
      open: async (device) => {
        try {
          await open(device);
          return true;
        } catch (error) {
          if (!failed) {
            failed = true;
            this.events.onWarning(`${error.message}; trying again`);
          }
          return false;
        }
      },
    });
    const seconds = ((Date.now() - this.awaySince.getTime()) / 1000).toFixed(1);
    this.#waiting = null;
    this.awaySince = null;
    if (back) {
      this.session.noteEvent('reconnected');
      this.events.onBack(`the ${this.name} is back after ${seconds} s`);
    }
    return back;
  }

  // Ends a wait for the device, if one runs.
  cancelWait() {
    this.#waiting?.abort();
  }
}

export class SerialSource extends DeviceSource {
  #port;
  #writer = null;
  #reader = null;
  #running = null;
  #stopping = false;
  #stopSent = false;

  constructor(port, name, session, { baudRate, request }, events) {
    super(name, session, events);
    this.#port = port;
    this.baudRate = baudRate;
    this.request = request;
  }

  async start() {
    await this.#connect(this.#port);
    this.#running = this.#run();
  }

  // Opens the port and sends it the upload request.
  async #connect(port) {
    try {
      await port.open({ baudRate: this.baudRate, bufferSize: SERIAL_BUFFER_BYTES });
    } catch (error) {
      throw new Error(`cannot open the ${this.name} at ${this.baudRate} baud: ${error.message}`);
    }
    this.#port = port;
    this.#writer = port.writable.getWriter();
    const request = this.session.library.requestUploadPortData(...this.request);
    try {
      await this.#writer.write(request);
    } catch (error) {
      await this.#release();
      throw new Error(`could not send the upload request to the ${this.name}: ${error.message}`);
    }
  }

  // Reads until stopped, and across reconnections while the device comes
  // back. A port that returns starts a new stream in the session: a parser
  // of its own, so the lost port's last, cut frame completes nothing.
  async #run() {
    for (;;) {
      const reason = await this.#readUntilLost();
      if (reason === null) {
        return;
      }
      await this.#release();
      const back =
        !this.#stopping &&
        (await this.comeBack(reason, {
          api: 'serial' in navigator ? navigator.serial : null,
          list: () => navigator.serial.getPorts(),
          isSame: (port) => sameSerialDevice(this.#port, port),
          open: (port) => this.#connect(port),
        }));
      if (!back || this.#stopping) {
        this.#stopping = true;
        return;
      }
      this.session.newStream();
    }
  }

  // Why the port was lost, or null once stop() ends the reading.
  async #readUntilLost() {
    while (this.#port.readable && !this.#stopping) {
      this.#reader = this.#port.readable.getReader();
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
          this.events.onWarning(`${this.name}: ${error.message}; reading goes on`);
        } else {
          // The lock is released first (finally): a port does not close while it is held.
          return error.message;
        }
      } finally {
        this.#reader.releaseLock();
        this.#reader = null;
      }
    }
    return this.#stopping ? null : 'the port closed';
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

  // Ends the reading (or the wait for a lost port), sends the stop command,
  // then closes the port.
  async stop() {
    if (this.#stopping) {
      return;
    }
    this.#stopping = true;
    this.cancelWait();
    try {
      await this.#reader?.cancel();
    } catch {
      // Cancelling a stream that already failed: nothing left to stop.
    }
    await this.#running;
    let problem = null;
    try {
      await this.#sendStop();
    } catch (error) {
      problem = `could not send the stop command to the ${this.name}: ${error.message}`;
    }
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

export class HidSource extends DeviceSource {
  #device;
  #stopped = false;
  #onReport = (event) => this.#report(event);
  #onDisconnect = (event) => {
    if (event.device === this.#device) {
      this.#lost();
    }
  };

  constructor(device, name, session, events) {
    super(name, session, events);
    this.#device = device;
  }

  async start() {
    await this.#open(this.#device);
    navigator.hid.addEventListener('disconnect', this.#onDisconnect);
  }

  async #open(device) {
    try {
      if (!device.opened) {
        await device.open();
      }
    } catch (error) {
      throw new Error(`cannot open the ${this.name}: ${error.message}`);
    }
    this.#device = device;
    device.addEventListener('inputreport', this.#onReport);
  }

  async #lost() {
    this.#device.removeEventListener('inputreport', this.#onReport);
    const back = await this.comeBack(null, {
      api: navigator.hid,
      list: () => navigator.hid.getDevices(),
      isSame: (device) => sameHidDevice(this.#device, device),
      open: (device) => this.#open(device),
    });
    if (back && !this.#stopped) {
      return;
    }
    this.#end();
    if (back) {
      // stop() came while the device was being opened.
      await this.#device.close().catch(() => {});
    }
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
    this.#stopped = true;
    this.cancelWait();
    this.#device.removeEventListener('inputreport', this.#onReport);
    navigator.hid.removeEventListener('disconnect', this.#onDisconnect);
  }

  async stop() {
    const away = this.awaySince !== null;
    this.#end();
    if (away) {
      return;
    }
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
