// One run of one source: its own stream parser, what it decoded, its
// counters, and what it received, kept for download as a timed recording
// and as JSON Lines.
import { MAX_CHUNK_SIZE } from './quarninterface/index.js';
import * as L from './quarninterface/layout.js';
import {
  RecordingWriter,
  channelsLine,
  controllerLine,
  eventLine,
  portDataLine,
} from './recording.js';

// Limits that keep a session of many hours from taking all of the tab's
// memory: 256 MiB hold more than six hours of a 115200-baud link.
export const RECORDING_LIMIT_BYTES = 256 * 1024 * 1024;
export const JSON_LINE_LIMIT = 2_000_000;

export class Session {
  // library: the package's QuarnInterface. chunkSize: the most bytes handed
  // to the parser per call, 1 to 255. It returns one flag per call, so with
  // 1 every data frame counts and updates the view on its own; with 255
  // reads are decoded as they come.
  constructor(library, { kind, name, records, chunkSize = MAX_CHUNK_SIZE }) {
    this.kind = kind;
    this.name = name;
    this.chunkSize = chunkSize;
    this.library = library;
    // A parser of its own, which starts empty: nothing a previous source
    // left half-received completes a frame of this one.
    this.parser = library.createParser();
    this.startedAt = performance.now();
    this.recording = records ? new RecordingWriter(RECORDING_LIMIT_BYTES) : null;
    this.lines = [];
    this.linesFull = false;
    this.bytes = 0;
    this.framesDecoded = 0;
    this.updates = 0;
    this.refused = 0;
    this.lastUpdateAt = null;
    this.channels = new Uint16Array(L.QUARN_CHANNEL_COUNT);
    this.ports = new Uint16Array(L.QUARN_PORT_COUNT);
    this.controller = new Uint16Array(L.QUARN_CONTROLLER_VALUE_COUNT);
    // The SBUS output while one runs: told of every data frame, and shown
    // in the JSON lines.
    this.sbus = null;
    this.onUpdate = () => {};
    this.onLimit = () => {};
  }

  // A reconnected port: a new parser, which starts empty, so the lost
  // port's last frame, cut short, is never completed by the new port's
  // bytes. Values, counters and the recording go on.
  newStream() {
    this.parser = this.library.createParser();
  }

  elapsedUs() {
    return (performance.now() - this.startedAt) * 1000;
  }

  // Takes bytes of the port-data stream that arrived timeUs after the
  // source started, and feeds them to the parser in chunks it accepts.
  feedBytes(bytes, timeUs = this.elapsedUs()) {
    if (bytes.length === 0) {
      return;
    }
    if (this.recording && !this.recording.full && !this.recording.add(bytes, timeUs)) {
      this.onLimit(
        `the recording reached its limit of ${RECORDING_LIMIT_BYTES / 1048576} MiB; ` +
          'bytes received from now on are decoded but not kept for download',
      );
    }
    const t = timeUs / 1e6;
    for (let at = 0; at < bytes.length; at += this.chunkSize) {
      const chunk = bytes.subarray(at, Math.min(bytes.length, at + this.chunkSize));
      this.bytes += chunk.length;
      if (this.parser.feed(chunk)) {
        this.framesDecoded += 1;
        this.channels = this.parser.channels;
        this.ports = this.parser.ports;
        this.sbus?.onData();
        const sbus = this.sbus?.status();
        this.#keepLine(() =>
          portDataLine(t, this.channels, this.ports, this.bytes, this.framesDecoded, sbus),
        );
        this.#updated(t);
      }
    }
  }

  // Takes one HID input report (with its report ID as byte 0 when the
  // device numbers its reports) and decodes it by its length.
  feedHidReport(report, timeUs = this.elapsedUs()) {
    const t = timeUs / 1e6;
    this.bytes += report.length;
    const length = report.length;
    let values = null;
    if (length === L.QUARN_HID_GAME_CONTROLLER_REPORT_SIZE) {
      values = this.library.parseHidGameController(report);
      if (values) {
        this.controller = values;
        this.#keepLine(() => controllerLine(t, values, this.refused));
      }
    } else if (length === L.QUARN_HID_COMPATIBLE_REPORT_SIZE) {
      values = this.library.parseHidCompatible(report);
      if (values) {
        this.channels = values;
        this.#keepLine(() => channelsLine(t, values, this.refused));
      }
    }
    if (!values) {
      this.refused += 1;
      return;
    }
    this.#updated(t);
  }

  // Notes in the JSON lines that the device was lost or is back.
  noteEvent(event) {
    const t = this.elapsedUs() / 1e6;
    this.#keepLine(() => eventLine(t, event));
  }

  #keepLine(make) {
    if (this.lines.length < JSON_LINE_LIMIT) {
      this.lines.push(make());
    } else if (!this.linesFull) {
      this.linesFull = true;
      this.onLimit(
        `the JSON Lines export reached its limit of ${JSON_LINE_LIMIT} lines; ` +
          'later updates are shown but not kept for export',
      );
    }
  }

  #updated(t) {
    this.updates += 1;
    this.lastUpdateAt = performance.now();
    this.onUpdate(t);
  }

  jsonBlob() {
    return new Blob(this.lines.map((line) => line + '\n'), { type: 'application/x-ndjson' });
  }
}
