// Types of the quarninterface package. They name no type of the DOM or of
// Node, so they check under any `lib` and `types` setting.

/**
 * Binary input: a Uint8Array (a Node Buffer is one), another typed array or a DataView, or an
 * ArrayBuffer or SharedArrayBuffer.
 */
export type Bytes = ArrayBufferView | ArrayBufferLike;

/** WebAssembly.Module where the global types know it (lib "dom", @types/node), else any object. */
export type CompiledModule = typeof globalThis extends {
  WebAssembly: { Module: abstract new (...args: never[]) => infer M };
}
  ? M
  : object;

/** What fetch() gives: only its status and its bytes are used. */
export interface ResponseLike {
  readonly ok: boolean;
  readonly status: number;
  readonly statusText: string;
  readonly url: string;
  arrayBuffer(): Promise<ArrayBuffer>;
}

/** A URL object, as `new URL(...)` makes in browsers and in Node. */
export interface URLLike {
  readonly href: string;
  readonly protocol: string;
}

/**
 * Where load() takes the module from: its bytes, a Response or the promise of one (`fetch(url)`),
 * a URL (an object or a string; in Node also a file: URL or a file path), or a compiled module.
 */
export type WasmSource =
  | Bytes
  | ResponseLike
  | PromiseLike<ResponseLike>
  | URLLike
  | string
  | CompiledModule;

export interface LoadOptions {
  /** The module. Default: QuarnInterface.wasm beside the package's own files. */
  wasm?: WasmSource;
}

/**
 * A stream parser with its own instance of the module, and so its own reassembly state: it starts
 * empty, and several parsers follow several streams at once.
 */
export interface PortDataParser {
  /**
   * Feeds received bytes, of any length, cut anywhere; they are handed to the library in calls of
   * at most 255 bytes. True when at least one data frame was decoded during this call.
   */
  feed(bytes: Bytes): boolean;
  /** A copy of the 12 channel values of the last data frame that carried them; zeros before. */
  readonly channels: Uint16Array;
  /** A copy of the 32 port values of the last data frame that carried them; zeros before. */
  readonly ports: Uint16Array;
}

/** One chunk of a timed recording: the bytes that arrived `timeUs` after the recording started. */
export interface RecordingRecord {
  timeUs: number;
  data: Uint8Array;
}

/** A record to write: the time may also be a bigint, the data any binary input. */
export interface RecordingRecordInput {
  timeUs: number | bigint;
  data: Bytes;
}

export interface Recording {
  /** False for a file without the recording's magic: raw bytes, one record at time 0. */
  timed: boolean;
  /** The records in file order; each data is a view into the bytes read. */
  records: RecordingRecord[];
  /**
   * True when the file is cut short: records holds what came before the cut, the bytes present of
   * the cut record last.
   */
  truncated: boolean;
  /** Why the file could not be read to its end, or null. */
  error: string | null;
}

export interface QuarnInterface {
  /** The 7-byte upload request FA E5 02 00 first second 5F; request bytes 0 to 255, default 0. */
  requestUploadPortData(first?: number, second?: number): Uint8Array;
  /** The 5-byte stop command FA E4 00 00 5F. */
  stopUploadPortData(): Uint8Array;
  /** A new parser, with a module instance of its own. */
  createParser(): PortDataParser;
  /** The 11 values of a 19-byte game-controller report, or null when refused (another length). */
  parseHidGameController(report: Bytes): Uint16Array | null;
  /** The 12 channels of a 29-byte compatible report starting with 0xFA, or null when refused. */
  parseHidCompatible(report: Bytes): Uint16Array | null;
  /**
   * 16 values from the standard range scaled to SBUS: min(v * 1.706, 2047). A RangeError unless
   * 16 values of 0 to 65535.
   */
  convertStdSbus(values: ArrayLike<number>): Uint16Array;
  /** A 25-byte SBUS frame: start byte 0x0F, end byte 0. A RangeError unless 16 values, 0-65535. */
  encodeSbusV1(channels: ArrayLike<number>): Uint8Array;
  /** As encodeSbusV1; the end byte cycles 0x04, 0x14, 0x24, 0x34, from 0x04 for each load(). */
  encodeSbusV2(channels: ArrayLike<number>): Uint8Array;
  readRecording(bytes: Bytes): Recording;
  writeRecording(records: Iterable<RecordingRecordInput>): Uint8Array;
  /** The compiled module: `load({ wasm: qi.module })` makes another QuarnInterface at once. */
  readonly module: CompiledModule;
}

/** The most bytes the library takes in one call; feed() hands bytes on in calls of at most this. */
export declare const MAX_CHUNK_SIZE: 255;

/** Loads and compiles the module; every QuarnInterface has its own instance of it. */
export declare function load(options?: LoadOptions): Promise<QuarnInterface>;

/**
 * Reads a timed recording as quarn-monitor --record writes it. A cut file is no exception: it gives
 * the records before the cut, truncated true and the error.
 */
export declare function readRecording(bytes: Bytes): Recording;

/**
 * Writes records as a timed recording that quarn-monitor --replay reads. Times never go back
 * (RangeError); data longer than 65535 bytes takes several records, empty data none.
 */
export declare function writeRecording(records: Iterable<RecordingRecordInput>): Uint8Array;
