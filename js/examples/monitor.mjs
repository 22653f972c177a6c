#!/usr/bin/env node
// Prints what a Quarn device sends on a serial port as JSON Lines, one line
// per decoder call that decoded a frame, as `quarn-monitor --json` does:
//
//   node monitor.mjs /dev/ttyUSB0 [--baud 115200] [--request 0,0]
//
// Ctrl-C sends the stop command, waits until it is written, and ends. Needs
// the serialport package beside quarninterface: npm install serialport
import { parseArgs } from 'node:util';

import { MAX_CHUNK_SIZE, load } from 'quarninterface';
import { SerialPort } from 'serialport';

const USAGE = 'usage: node monitor.mjs PORT [--baud N] [--request A,B]';
// The exit codes of quarn-monitor: a failure while running, a usage error,
// a port that cannot be opened.
const EXIT_FAILURE = 1;
const EXIT_USAGE = 2;
const EXIT_OPEN = 3;

function fail(message, code) {
  process.stderr.write(`monitor.mjs: ${message}\n`);
  process.exit(code);
}

function options() {
  let parsed;
  try {
    parsed = parseArgs({
      allowPositionals: true,
      options: { baud: { type: 'string', default: '115200' }, request: { type: 'string' } },
    });
  } catch (error) {
    fail(`${error.message}\n${USAGE}`, EXIT_USAGE);
  }
  const { positionals, values } = parsed;
  if (positionals.length !== 1 || positionals[0] === '') {
    fail(USAGE, EXIT_USAGE);
  }
  const baudRate = Number(values.baud);
  if (!Number.isInteger(baudRate) || baudRate <= 0) {
    fail(`--baud: '${values.baud}' is not a line rate in baud`, EXIT_USAGE);
  }
  const request = (values.request ?? '0,0').split(',').map(Number);
  if (request.length !== 2 || !request.every((b) => Number.isInteger(b) && b >= 0 && b <= 255)) {
    fail(`--request: '${values.request}' is not two bytes A,B of 0 to 255`, EXIT_USAGE);
  }
  return { path: positionals[0], baudRate, request };
}

// serialport's callbacks as promises.
const call = (port, method, ...args) =>
  new Promise((resolve, reject) =>
    port[method](...args, (error) => (error ? reject(error) : resolve())),
  );

const { path, baudRate, request } = options();
const qi = await load();
const parser = qi.createParser();
const port = new SerialPort({ path, baudRate, autoOpen: false });
try {
  await call(port, 'open');
  // Bytes the device sent before this run are not decoded.
  await call(port, 'flush');
  await call(port, 'write', qi.requestUploadPortData(...request));
} catch (error) {
  fail(`cannot open serial port ${path}: ${error.message}`, EXIT_OPEN);
}

const started = performance.now();
let bytes = 0;
let framesDecoded = 0;
let stopping = false;

async function stop(code) {
  if (stopping) {
    return;
  }
  stopping = true;
  try {
    await call(port, 'write', qi.stopUploadPortData());
  } catch (error) {
    process.stderr.write(`monitor.mjs: could not stop the device on ${path}: ${error.message}\n`);
    code = EXIT_FAILURE;
  }
  // Waits until the command is on the line. A device may hang up as soon as
  // it has it (a simulator on a pseudo-terminal does): then there is
  // nothing left to wait for.
  await call(port, 'drain').catch(() => {});
  process.exit(code);
}

port.on('data', (data) => {
  // The decoder takes at most MAX_CHUNK_SIZE bytes per call; each call that
  // decoded a frame gives a line.
  for (let at = 0; at < data.length && !stopping; at += MAX_CHUNK_SIZE) {
    const chunk = data.subarray(at, at + MAX_CHUNK_SIZE);
    bytes += chunk.length;
    if (parser.feed(chunk)) {
      framesDecoded += 1;
      const t = ((performance.now() - started) / 1000).toFixed(3);
      process.stdout.write(
        `{"t":${t},"channels":[${parser.channels}],"ports":[${parser.ports}],` +
          `"bytes":${bytes},"frames_decoded":${framesDecoded}}\n`,
      );
    }
  }
});
port.on('close', (error) => {
  if (!stopping) {
    const reason = error?.disconnected ? 'it was disconnected' : 'it closed';
    fail(`serial port ${path} disappeared (${reason})`, EXIT_FAILURE);
  }
});
port.on('error', (error) => {
  if (!stopping) {
    fail(`serial port ${path} failed: ${error.message}`, EXIT_FAILURE);
  }
});
// Ctrl-C, a kill, or a reader of the output that went away (| head).
process.on('SIGINT', () => stop(0));
process.on('SIGTERM', () => stop(0));
process.stdout.on('error', () => stop(0));
