// Timed recordings: what a source received and when, in the format that
// quarn-monitor --record writes and --replay reads. All integers are
// little-endian:
//   file header, 16 bytes:  0..7 "QUARNREC", 8..9 version (1),
//                           10..11 header size (16; a larger header is
//                           skipped up to its size), 12..15 reserved (0)
//   records, to the end:    0..7 arrival time, microseconds since the
//                           recording started; 8..9 length n (1..65535);
//                           10.. the n bytes as received
// A file without the magic is raw bytes.

import { asBytes } from './bytes.js';

export const RECORDING_MAGIC = 'QUARNREC';
export const RECORDING_VERSION = 1;
const MAGIC_BYTES = new TextEncoder().encode(RECORDING_MAGIC);
const VERSION_OFFSET = MAGIC_BYTES.length;
const HEADER_SIZE_OFFSET = VERSION_OFFSET + 2;
const RESERVED_SIZE = 4;
export const RECORDING_HEADER_SIZE = HEADER_SIZE_OFFSET + 2 + RESERVED_SIZE;
const TIME_SIZE = 8;
const LENGTH_SIZE = 2;
export const RECORD_HEADER_SIZE = TIME_SIZE + LENGTH_SIZE;
export const MAX_RECORD_DATA = 0xffff;
const MAX_TIME_US = 2n ** BigInt(8 * TIME_SIZE) - 1n;

export function recordingHeader() {
  const header = new Uint8Array(RECORDING_HEADER_SIZE);
  header.set(MAGIC_BYTES);
  const view = new DataView(header.buffer);
  view.setUint16(VERSION_OFFSET, RECORDING_VERSION, true);
  view.setUint16(HEADER_SIZE_OFFSET, RECORDING_HEADER_SIZE, true);
  return header;
}

// One record: timeUs a BigInt, data 1 to MAX_RECORD_DATA bytes.
export function encodeRecord(timeUs, data) {
  const record = new Uint8Array(RECORD_HEADER_SIZE + data.length);
  const view = new DataView(record.buffer);
  view.setBigUint64(0, timeUs, true);
  view.setUint16(TIME_SIZE, data.length, true);
  record.set(data, RECORD_HEADER_SIZE);
  return record;
}

function hasMagic(bytes) {
  return bytes.length >= MAGIC_BYTES.length && MAGIC_BYTES.every((b, k) => bytes[k] === b);
}

// Reads a recording. Returns { timed, records: [{ timeUs, data }], truncated,
// error }; each data is a view into `bytes`. A raw file (no magic) is one
// record at time 0. A file cut short gives every record before the cut and
// then the bytes present of the cut one, as quarn-monitor replays them, with
// truncated true and error saying where the cut is. A file of another
// version or a damaged header gives no records and the error. A record of
// length 0 holds nothing and is passed over, as quarn-monitor does.
export function readRecording(bytes) {
  const data = asBytes(bytes, 'readRecording');
  if (!hasMagic(data)) {
    const records = data.length > 0 ? [{ timeUs: 0, data }] : [];
    return { timed: false, records, truncated: false, error: null };
  }
  const result = { timed: true, records: [], truncated: false, error: null };
  const cut = (where) => {
    result.truncated = true;
    result.error = `the recording is cut at byte ${data.length}, ${where}`;
    return result;
  };
  if (data.length < RECORDING_HEADER_SIZE) {
    return cut(`inside its ${RECORDING_HEADER_SIZE}-byte file header`);
  }
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  const version = view.getUint16(VERSION_OFFSET, true);
  const headerSize = view.getUint16(HEADER_SIZE_OFFSET, true);
  if (version !== RECORDING_VERSION) {
    result.error = `the recording is version ${version}; this reader reads version 1`;
    return result;
  }
  if (headerSize < RECORDING_HEADER_SIZE) {
    result.error =
      `the recording's header claims ${headerSize} bytes; ` +
      `a header has at least ${RECORDING_HEADER_SIZE}`;
    return result;
  }
  if (headerSize > data.length) {
    return cut(`inside its ${headerSize}-byte file header`);
  }
  for (let at = headerSize; at < data.length; ) {
    const where = `inside record ${result.records.length + 1}, which starts at byte ${at}`;
    if (data.length - at < RECORD_HEADER_SIZE) {
      return cut(where);
    }
    const timeUs = Number(view.getBigUint64(at, true));
    const length = view.getUint16(at + TIME_SIZE, true);
    const start = at + RECORD_HEADER_SIZE;
    const present = Math.min(length, data.length - start);
    if (present > 0) {
      result.records.push({ timeUs, data: data.subarray(start, start + present) });
    }
    if (present < length) {
      return cut(`${where}: ${present} of its ${length} bytes are present`);
    }
    at = start + length;
  }
  return result;
}

function timeOf(record, k) {
  const time = record?.timeUs;
  const valid =
    (typeof time === 'bigint' && time >= 0n && time <= MAX_TIME_US) ||
    (Number.isSafeInteger(time) && time >= 0);
  if (!valid) {
    throw new RangeError(
      `writeRecording: record ${k} has timeUs ${time}; ` +
        'a time is a whole number of microseconds from 0',
    );
  }
  return BigInt(time);
}

// Writes records [{ timeUs, data }] as a timed recording. Times may stay
// the same but never go back; data longer than a record holds takes several
// records of the same time, and empty data takes none.
export function writeRecording(records) {
  const parts = [recordingHeader()];
  let size = RECORDING_HEADER_SIZE;
  let last = 0n;
  let k = 0;
  for (const record of records) {
    const time = timeOf(record, k);
    if (time < last) {
      throw new RangeError(
        `writeRecording: record ${k} has timeUs ${time}, before the ${last} of the record ` +
          'ahead of it; times in a recording never go back',
      );
    }
    last = time;
    const data = asBytes(record.data, `writeRecording: record ${k}'s data`);
    for (let at = 0; at < data.length; at += MAX_RECORD_DATA) {
      const part = encodeRecord(time, data.subarray(at, at + MAX_RECORD_DATA));
      parts.push(part);
      size += part.length;
    }
    k += 1;
  }
  const out = new Uint8Array(size);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}
