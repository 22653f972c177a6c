// The two file formats the page shares with quarn-monitor: timed recordings
// (what a source sent and when; the package reads and encodes them) and
// JSON Lines of the decoded values.
import {
  MAX_RECORD_DATA,
  RECORD_HEADER_SIZE,
  encodeRecord,
  recordingHeader,
} from './quarninterface/recording.js';

// Collects what a source received as a timed recording, a record at a time,
// so a long session never holds more than one copy. Past the limit it keeps
// nothing more and says so, rather than take all of the tab's memory.
export class RecordingWriter {
  #parts = [recordingHeader()];
  #size = this.#parts[0].length;
  #lastTimeUs = 0n;

  constructor(limitBytes) {
    this.limitBytes = limitBytes;
    this.full = false;
  }

  get size() {
    return this.#size;
  }

  // True once a byte was recorded.
  get holdsRecords() {
    return this.#parts.length > 1;
  }

  // Adds bytes that arrived timeUs after the recording started. Times never
  // go back, and a chunk longer than a record holds takes several records.
  add(bytes, timeUs) {
    const rounded = BigInt(Math.max(0, Math.round(timeUs)));
    const time = rounded > this.#lastTimeUs ? rounded : this.#lastTimeUs;
    this.#lastTimeUs = time;
    for (let at = 0; at < bytes.length; at += MAX_RECORD_DATA) {
      const chunk = bytes.subarray(at, Math.min(bytes.length, at + MAX_RECORD_DATA));
      if (this.#size + RECORD_HEADER_SIZE + chunk.length > this.limitBytes) {
        this.full = true;
        return false;
      }
      const record = encodeRecord(time, chunk);
      this.#parts.push(record);
      this.#size += record.length;
    }
    return true;
  }

  blob() {
    return new Blob(this.#parts, { type: 'application/octet-stream' });
  }
}

// JSON Lines of the same shape as quarn-monitor --json. t is in seconds
// since the source started, to the millisecond.
export function portDataLine(t, channels, ports, bytes, framesDecoded, sbus) {
  let line =
    `{"t":${t.toFixed(3)},"channels":[${channels.join(',')}],"ports":[${ports.join(',')}]` +
    `,"bytes":${bytes},"frames_decoded":${framesDecoded}`;
  if (sbus) {
    line += `,"sbus":{"frames_sent":${sbus.framesSent},"failsafe":${sbus.failsafe}}`;
  }
  return line + '}';
}

// HID lines carry the count of reports so far that neither decoder took.
export function controllerLine(t, controller, refused) {
  return `{"t":${t.toFixed(3)},"controller":[${controller.join(',')}],"refused":${refused}}`;
}

export function channelsLine(t, channels, refused) {
  return `{"t":${t.toFixed(3)},"channels":[${channels.join(',')}],"refused":${refused}}`;
}

// A device lost ("disconnected") or back ("reconnected"), as quarn-monitor
// --reconnect notes them.
export function eventLine(t, event) {
  return `{"event":"${event}","t":${t.toFixed(3)}}`;
}
