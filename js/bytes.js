// The binary inputs every function of the package takes.

export function describe(value) {
  if (value === null || value === undefined) {
    return String(value);
  }
  return typeof value === 'object' ? (value.constructor?.name ?? 'an object') : typeof value;
}

// Pages that are not cross-origin isolated have no SharedArrayBuffer.
const isBuffer = (value) =>
  value instanceof ArrayBuffer ||
  (typeof SharedArrayBuffer !== 'undefined' && value instanceof SharedArrayBuffer);

export const isBytes = (value) => ArrayBuffer.isView(value) || isBuffer(value);

// The bytes of a Uint8Array, another ArrayBufferView or an (also shared)
// ArrayBuffer, as a view of the same memory; `what` names the caller in
// the error.
export function asBytes(value, what) {
  if (value instanceof Uint8Array) {
    return value;
  }
  if (ArrayBuffer.isView(value)) {
    return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  }
  if (isBuffer(value)) {
    return new Uint8Array(value);
  }
  throw new TypeError(
    `${what} takes a Uint8Array, another ArrayBufferView or an ArrayBuffer, ` +
      `not ${describe(value)}`,
  );
}
