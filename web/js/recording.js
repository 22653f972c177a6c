// The two file formats the page shares with quarn-monitor: timed recordings
// (what a source sent and when) and JSON Lines of the decoded values.
//
// Timed recording, all fields little-endian:
//   file header, 16 bytes:  0..7 "QUARNREC", 8..9 version (1),
//                           10..11 header size (16; a larger header is
//                           skipped up to its size), 12..15 reserved (0)
//   records, to the end:    0..7 arrival time, microseconds since the
//                           recording started; 8..9 chunk length n
//                           (1..65535); 10.. the n bytes
// A file without the magic is raw bytes.

export const MAGIC = 'QUARNREC';
export const VERSION = 1;
export const HEADER_SIZE = 16;
export const RECORD_HEADER_SIZE = 10;
export const MAX_RECORD_CHUNK = 0xffff;

const MAGIC_BYTES = new TextEncoder().encode(MAGIC);
const VERSION_OFFSET = MAGIC_BYTES.length;
const HEADER_SIZE_OFFSET = VERSION_OFFSET + 2;
const TIME_SIZE = 8;

// Collects what a source received as a timed recording. Past the limit it
// keeps nothing more and says so, rather than take all of the tab's memory.
export class RecordingWriter {
  #parts = [];
  #size = 0;
  #lastTimeUs = 0;

  constructor(limitBytes) {
    this.limitBytes = limitBytes;
    this.full = false;
    const header = new Uint8Array(HEADER_SIZE);
    header.set(MAGIC_BYTES);
    const view = new DataView(header.buffer);
    view.setUint16(VERSION_OFFSET, VERSION, true);
    view.setUint16(HEADER_SIZE_OFFSET, HEADER_SIZE, true);
    this.#parts.push(header);
    this.#size = HEADER_SIZE;
  }

  get size() {
    return this.#size;
  }

  // Adds bytes that arrived timeUs after the recording started. Times never
  // go back, and a chunk longer than a record holds takes several records.
  add(bytes, timeUs) {
    const time = Math.max(this.#lastTimeUs, Math.round(timeUs));
    this.#lastTimeUs = time;
    for (let at = 0; at < bytes.length; at += MAX_RECORD_CHUNK) {
      const chunk = bytes.subarray(at, Math.min(bytes.length, at + MAX_RECORD_CHUNK));
      const size = RECORD_HEADER_SIZE + chunk.length;
      if (this.#size + size > this.limitBytes) {
        this.full = true;
        return false;
      }
      const record = new Uint8Array(size);
      const view = new DataView(record.buffer);
      view.setBigUint64(0, BigInt(time), true);
      view.setUint16(TIME_SIZE, chunk.length, true);
      record.set(chunk, RECORD_HEADER_SIZE);
      this.#parts.push(record);
      this.#size += size;
    }
    return true;
  }

  blob() {
    return new Blob(this.#parts, { type: 'application/octet-stream' });
  }
}

function hasMagic(bytes) {
  return bytes.length >= MAGIC_BYTES.length && MAGIC_BYTES.every((b, k) => bytes[k] === b);
}

// Reads a recording file. Returns { timed, records: [{ timeUs, bytes }],
// problem }: a raw file is one record at time 0. A file cut inside a record
// yields its complete records, then the bytes present of the cut one, and
// problem says where it was cut. A damaged file yields the records before
// the damage and problem says what is wrong; nothing after it is trusted.
export function readRecording(bytes) {
  if (!hasMagic(bytes)) {
    return { timed: false, records: [{ timeUs: 0, bytes }], problem: null };
  }
  const result = { timed: true, records: [], problem: null };
  if (bytes.length < HEADER_SIZE) {
    result.problem = `it ends inside its ${HEADER_SIZE}-byte header, after ${bytes.length} bytes`;
    return result;
  }
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const version = view.getUint16(VERSION_OFFSET, true);
  const headerSize = view.getUint16(HEADER_SIZE_OFFSET, true);
  if (version !== VERSION) {
    result.problem = `it is a version ${version} recording; this page reads version ${VERSION}`;
    return result;
  }
  if (headerSize < HEADER_SIZE) {
    result.problem = `its header claims ${headerSize} bytes; a header has at least ${HEADER_SIZE}`;
    return result;
  }
  if (headerSize > bytes.length) {
    result.problem = `it ends inside its ${headerSize}-byte header, after ${bytes.length} bytes`;
    return result;
  }
  let at = headerSize;
  while (at < bytes.length) {
    const left = bytes.length - at;
    if (left < RECORD_HEADER_SIZE) {
      result.problem =
        `it is cut inside the header of record ${result.records.length + 1} at byte ${at}`;
      break;
    }
    const timeUs = Number(view.getBigUint64(at, true));
    const length = view.getUint16(at + TIME_SIZE, true);
    if (length === 0) {
      result.problem = `record ${result.records.length + 1} at byte ${at} has length 0`;
      break;
    }
    const start = at + RECORD_HEADER_SIZE;
    if (length > bytes.length - start) {
      const present = bytes.length - start;
      result.problem =
        `it is cut inside record ${result.records.length + 1} at byte ${at}: ` +
        `${present} of its ${length} bytes are present and were replayed`;
      if (present > 0) {
        result.records.push({ timeUs, bytes: bytes.subarray(start) });
      }
      break;
    }
    result.records.push({ timeUs, bytes: bytes.subarray(start, start + length) });
    at = start + length;
  }
  return result;
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
