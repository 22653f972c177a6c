// Forwards 16 port values as SBUS frames to a second serial port, as
// quarn-monitor --sbus-out does: ports 1..16 or 17..32, scaled from the
// device's standard range with convert_std_sbus_data unless raw, packed by
// encode_sbus_data_v1 (SBUS) or encode_sbus_data_v2 (SBUS2), every 14 ms
// (or 7 ms in fast mode).
//
// Failsafe: while no data frame has arrived for failsafeMs, nothing is sent,
// so the receiver goes into its own failsafe rather than hold stale values;
// sending resumes with the next data frame.
//
// A Worker keeps the time and the page writes each frame when the Worker's
// tick arrives: the period holds while the tab is in the background.
import { load } from './quarninterface/index.js';
import * as L from './quarninterface/layout.js';

// SBUS: 100000 baud, 8 data bits, even parity, 2 stop bits.
export const SBUS_SERIAL_OPTIONS = { baudRate: 100000, dataBits: 8, parity: 'even', stopBits: 2 };

export class SbusForwarder {
  #port;
  #library;
  #encoder = null;
  #writer = null;
  #clock = null;
  #pending = null;
  #lastDataAt = null;
  #lastWriteAt = null;
  #failure = null;

  // options: { portsHigh, raw, sbus2, periodMs, failsafeMs }; getPorts()
  // gives the 32 current port values; onError(message) reports a port that
  // failed, after which nothing more is sent.
  constructor(port, name, library, options, getPorts, onError) {
    this.#port = port;
    this.name = name;
    this.#library = library;
    this.options = options;
    this.getPorts = getPorts;
    this.onError = onError;
    this.framesSent = 0;
    this.dropped = 0;
    this.late = 0;
    this.holding = true;
  }

  async start() {
    // Its own copy of the library, from the module the page compiled: its
    // own SBUS2 end-byte cycle, from 0x04 on.
    this.#encoder = await load({ wasm: this.#library.module });
    try {
      await this.#port.open(SBUS_SERIAL_OPTIONS);
    } catch (error) {
      throw new Error(`cannot open the SBUS output (${this.name}): ${error.message}`);
    }
    this.#writer = this.#port.writable.getWriter();
    this.#clock = new Worker(new URL('./clock-worker.js', import.meta.url));
    this.#clock.onmessage = (event) => this.#tick(event.data);
    this.#clock.postMessage({ period: this.options.periodMs });
  }

  onData() {
    this.#lastDataAt = performance.now();
  }

  status() {
    return { framesSent: this.framesSent, failsafe: this.holding };
  }

  describe() {
    let text = `SBUS → ${this.name}: ${this.framesSent} frames`;
    if (this.dropped > 0) {
      text += `, ${this.dropped} dropped (port busy)`;
    }
    if (this.late > 0) {
      text += `, ${this.late} skipped (page too busy to send on time)`;
    }
    if (this.#failure) {
      return `${text}, FAILED: ${this.#failure}`;
    }
    if (this.#lastDataAt === null) {
      return `${text}, waiting for data`;
    }
    if (this.holding) {
      const quiet = ((performance.now() - this.#lastDataAt) / 1000).toFixed(1);
      return `${text}, FAILSAFE: no data for ${quiet} s`;
    }
    return `${text}, sending`;
  }

  // deadline: when this frame was due, on the clock of performance.timeOrigin.
  #tick(deadline) {
    if (this.#failure) {
      return;
    }
    const now = performance.now();
    this.holding = this.#lastDataAt === null || now - this.#lastDataAt > this.options.failsafeMs;
    if (this.holding) {
      return;
    }
    // When the page falls behind, the Worker's ticks queue up. Those whose
    // successor is already due are skipped, and so is a frame that would
    // follow the last one by less than half a period: SBUS receivers find
    // the start of a frame by the gap before it.
    const late = performance.timeOrigin + now - deadline >= this.options.periodMs;
    const crowded =
      this.#lastWriteAt !== null && now - this.#lastWriteAt < this.options.periodMs / 2;
    if (late || crowded) {
      this.late += 1;
      return;
    }
    // The port still has the last frame: nobody is taking the bytes, and
    // a late SBUS frame is worthless.
    if (this.#pending) {
      this.dropped += 1;
      return;
    }
    const first = this.options.portsHigh ? L.QUARN_PORT_GROUP_SIZE : 0;
    let values = this.getPorts().slice(first, first + L.QUARN_SBUS_CHANNEL_COUNT);
    if (!this.options.raw) {
      values = this.#encoder.convertStdSbus(values);
    }
    const frame = this.options.sbus2
      ? this.#encoder.encodeSbusV2(values)
      : this.#encoder.encodeSbusV1(values);
    this.#lastWriteAt = performance.now();
    this.#pending = this.#writer.write(frame).then(
      () => {
        this.framesSent += 1;
        this.#pending = null;
      },
      (error) => {
        this.#failure = error.message;
        this.#pending = null;
        this.onError(`the SBUS output (${this.name}) failed: ${error.message}`);
      },
    );
  }

  async stop() {
    this.#clock?.terminate();
    this.#clock = null;
    await this.#pending;
    try {
      this.#writer?.releaseLock();
      await this.#port.close();
    } catch {
      // A port that vanished may refuse to close: it is gone either way.
    }
  }

  stopNow() {
    this.#clock?.terminate();
  }
}
