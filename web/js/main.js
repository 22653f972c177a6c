// The web console: wires the page's controls to the sources, the SBUS
// output and the views. One source runs at a time; its session (values,
// counters, recording) stays on show after it stops, until the next starts.
import { keepForOffline } from './offline.js';
import { COLORS, Plot } from './plot.js';
import { MAX_CHUNK_SIZE, load } from './quarninterface/index.js';
import * as L from './quarninterface/layout.js';
import { SbusForwarder } from './sbus.js';
import { Session } from './session.js';
import { STANDARD_MAX, SimulatedPort } from './simulator.js';
import { HidSource, ReplaySource, SerialSource, describePort } from './sources.js';
import { StatsView, ValuesView } from './view.js';

const $ = (id) => document.getElementById(id);
const MESSAGES_KEPT = 12;
const BROWSERS = 'Chrome, Edge, Opera and other Chromium-based desktop browsers';
const BYTE_MAX = 255;
const FAILSAFE_MAX_MS = 60000;
// A download's object URL outlives the click by this much, so the browser
// has taken the file before it goes.
const DOWNLOAD_URL_LIFETIME_MS = 60000;
const DRAW_INTERVAL_MS = 50;

const state = {
  library: null,
  session: null,
  source: null,
  sbus: null,
  busy: false,
  paused: false,
  // What needs drawing at the next animation frame.
  dirty: false,
  plotDirty: true,
  drawnAt: -Infinity,
};

const values = new ValuesView({
  channels: $('channels'),
  ports: $('ports'),
  controller: $('controller'),
});
const stats = new StatsView({
  source: $('stat-source'),
  bytes: $('stat-bytes'),
  updates: $('stat-updates'),
  byteRate: $('stat-byte-rate'),
  updateRate: $('stat-update-rate'),
  refused: $('stat-refused'),
  last: $('stat-last'),
});
const plot = new Plot($('plot'), L.QUARN_CHANNEL_COUNT);

function say(text, level = 'info') {
  const item = document.createElement('li');
  item.className = level;
  const time = document.createElement('time');
  time.textContent = new Date().toLocaleTimeString();
  item.append(time, ` ${text}`);
  const list = $('messages');
  list.prepend(item);
  while (list.children.length > MESSAGES_KEPT) {
    list.lastElementChild.remove();
  }
}

// Reads a whole number from a field, or says what is wrong with it.
function wholeNumber(id, name, min, max) {
  const text = $(id).value.trim();
  const value = Number(text);
  if (text === '' || !Number.isInteger(value) || value < min || value > max) {
    const range = max === Infinity ? `at least ${min}` : `${min} to ${max}`;
    throw new Error(`${name} must be a whole number, ${range}; it is '${text}'`);
  }
  return value;
}

// ---------------------------------------------------------------------------
// What this browser offers
// ---------------------------------------------------------------------------
const serialButtons = ['connect-serial', 'connect-sbus'];
const hidButtons = ['connect-hid'];
const disabledForGood = new Set();

function disableForGood(ids) {
  for (const id of ids) {
    disabledForGood.add(id);
  }
}

function checkSupport() {
  if (!window.isSecureContext) {
    disableForGood([...serialButtons, ...hidButtons]);
    say(
      'Serial ports, HID devices and the SBUS output are off: browsers offer them only to pages ' +
        'from a secure context, that is over https:// or from http://localhost. Open the page ' +
        'over https, or as http://localhost on the machine that serves it. Replay and the ' +
        'simulated device work here.',
      'warning',
    );
    return;
  }
  const serial = 'serial' in navigator;
  const hid = 'hid' in navigator;
  if (!serial) {
    disableForGood(serialButtons);
  }
  if (!hid) {
    disableForGood(hidButtons);
  }
  const lacking = [];
  if (!serial) {
    lacking.push('Web Serial (serial ports, SBUS output)');
  }
  if (!hid) {
    lacking.push('WebHID (HID devices)');
  }
  if (lacking.length > 0) {
    say(
      `This browser has no ${lacking.join(' and no ')}. They work in ${BROWSERS}. ` +
        'Replay and the simulated device work here.',
      'warning',
    );
  }
}

// ---------------------------------------------------------------------------
// Sources
// ---------------------------------------------------------------------------
function updateControls() {
  const kind = state.source ? state.session.kind : null;
  const set = (id, enabled, text) => {
    const button = $(id);
    button.disabled = disabledForGood.has(id) || state.busy || !enabled;
    if (text) {
      button.textContent = text;
    }
  };
  set('connect-serial', true,
    kind === 'serial' ? 'Disconnect serial port' : 'Connect serial port…');
  set('connect-hid', true, kind === 'hid' ? 'Disconnect HID device' : 'Connect HID device…');
  set('simulate', true, kind === 'simulated' ? 'Stop simulated device' : 'Start simulated device');
  set('stop-replay', kind === 'replay');
  $('replay-file').disabled = state.busy;
  set('connect-sbus', true, state.sbus ? 'Disconnect SBUS output' : 'Connect SBUS output…');
  for (const id of ['sbus-source', 'sbus-raw', 'sbus-protocol', 'sbus-period', 'sbus-failsafe']) {
    $(id).disabled = state.sbus !== null;
  }
  for (const id of ['baud', 'request-first', 'request-second']) {
    $(id).disabled = kind === 'serial';
  }
  const away = state.source?.awaySince;
  $('source-status').textContent = away
    ? `${state.source.name}: lost at ${away.toLocaleTimeString()}, waiting for it to return`
    : state.source
      ? state.source.name
      : state.session
        ? `${state.session.name} (ended)`
        : 'No source';
}

// Runs one start or stop at a time; the controls are off meanwhile.
async function exclusive(action) {
  if (state.busy) {
    return;
  }
  state.busy = true;
  updateControls();
  try {
    await action();
  } catch (error) {
    say(error.message, 'error');
  } finally {
    state.busy = false;
    updateControls();
  }
}

async function stopSource() {
  const source = state.source;
  if (!source) {
    return;
  }
  state.source = null;
  try {
    await source.stop();
  } finally {
    say(`${source.name} stopped`);
  }
}

function decoderChunkSize() {
  return wholeNumber('chunk-size', 'The decoder chunk size', 1, MAX_CHUNK_SIZE);
}

// Stops the running source and starts another; makeSource(session, events)
// makes it (events as DeviceSource in sources.js takes them). Every field is
// checked before this, so a typing error never stops a running source.
async function startSource({ kind, name, chunkSize }, makeSource) {
  try {
    await stopSource();
  } catch (error) {
    say(error.message, 'error');
  }
  const session = new Session(state.library, { kind, name, records: kind !== 'hid', chunkSize });
  session.sbus = state.sbus;
  session.onUpdate = (t) => {
    plot.push(t, session.channels);
    state.dirty = true;
    state.plotDirty = true;
  };
  session.onLimit = (message) => say(`${name}: ${message}`, 'warning');
  const events = {
    onEnd: (message, level = 'error') => {
      say(message, level);
      if (state.source === source) {
        state.source = null;
        updateControls();
      }
    },
    onWarning: (message) => say(message, 'warning'),
    onAway: (message) => {
      say(message, 'warning');
      updateControls();
    },
    onBack: (message) => {
      say(kind === 'hid' ? message : `${message}; the upload request was sent again`);
      updateControls();
    },
    reconnect: () => $('reconnect').checked,
  };
  const source = makeSource(session, events);
  state.session = session;
  state.source = source;
  plot.clear();
  stats.reset(performance.now());
  state.dirty = true;
  state.plotDirty = true;
  try {
    await source.start();
  } catch (error) {
    if (state.source === source) {
      state.source = null;
    }
    throw error;
  }
  say(`${source.name} started`);
}

function serialOptions() {
  return {
    chunkSize: decoderChunkSize(),
    baudRate: wholeNumber('baud', 'The baud rate', 1, Infinity),
    request: [
      wholeNumber('request-first', 'The first request byte', 0, BYTE_MAX),
      wholeNumber('request-second', 'The second request byte', 0, BYTE_MAX),
    ],
  };
}

// The port the user picks, or null after saying why there is none.
async function askForSerialPort(noneChosen) {
  try {
    return await navigator.serial.requestPort();
  } catch (error) {
    say(error.name === 'NotFoundError'
      ? noneChosen
      : `cannot ask for a serial port: ${error.message}`);
    return null;
  }
}

async function toggleSerial() {
  if (state.source && state.session.kind === 'serial') {
    await stopSource();
    return;
  }
  const options = serialOptions();
  const port = await askForSerialPort('No serial port was chosen.');
  if (!port) {
    return;
  }
  const name = describePort(port);
  await startSource(
    { kind: 'serial', name, chunkSize: options.chunkSize },
    (session, events) => new SerialSource(port, name, session, options, events),
  );
}

async function toggleSimulation() {
  if (state.source && state.session.kind === 'simulated') {
    await stopSource();
    return;
  }
  const options = serialOptions();
  const name = 'simulated device';
  await startSource(
    { kind: 'simulated', name, chunkSize: options.chunkSize },
    (session, events) => new SerialSource(new SimulatedPort(), name, session, options, events),
  );
}

async function toggleHid() {
  if (state.source && state.session.kind === 'hid') {
    await stopSource();
    return;
  }
  let devices;
  try {
    devices = await navigator.hid.requestDevice({ filters: [] });
  } catch (error) {
    say(`cannot ask for a HID device: ${error.message}`, 'error');
    return;
  }
  if (devices.length === 0) {
    say('No HID device was chosen.');
    return;
  }
  const device = devices[0];
  const name = `HID device ${device.productName || 'without a name'}`;
  await startSource(
    { kind: 'hid', name },
    (session, events) => new HidSource(device, name, session, events),
  );
}

async function replay(file) {
  const speed = Number($('replay-speed').value);
  const source = { kind: 'replay', name: `replay of ${file.name}`, chunkSize: decoderChunkSize() };
  await startSource(
    source,
    (session, events) => new ReplaySource(file, session, speed, events.onEnd),
  );
}

// ---------------------------------------------------------------------------
// SBUS output
// ---------------------------------------------------------------------------
async function toggleSbus() {
  if (state.sbus) {
    const sbus = state.sbus;
    state.sbus = null;
    if (state.session) {
      state.session.sbus = null;
    }
    await sbus.stop();
    say(`SBUS output (${sbus.name}) stopped after ${sbus.framesSent} frames`);
    return;
  }
  const options = {
    portsHigh: $('sbus-source').value === 'ports-high',
    raw: $('sbus-raw').checked,
    sbus2: $('sbus-protocol').value === 'sbus2',
    periodMs: Number($('sbus-period').value),
    failsafeMs: wholeNumber('sbus-failsafe', 'The failsafe time', 1, FAILSAFE_MAX_MS),
  };
  const port = await askForSerialPort('No port was chosen for SBUS.');
  if (!port) {
    return;
  }
  const zeros = new Array(L.QUARN_PORT_COUNT).fill(0);
  const sbus = new SbusForwarder(
    port,
    describePort(port),
    state.library,
    options,
    () => state.session?.ports ?? zeros,
    (message) => {
      say(message, 'error');
      if (state.sbus === sbus) {
        exclusive(toggleSbus);
      }
    },
  );
  await sbus.start();
  state.sbus = sbus;
  if (state.session) {
    state.session.sbus = sbus;
  }
  say(`SBUS output to ${sbus.name} started`);
}

// ---------------------------------------------------------------------------
// Downloads
// ---------------------------------------------------------------------------
function stamp(session) {
  const d = new Date(performance.timeOrigin + session.startedAt);
  const two = (n) => String(n).padStart(2, '0');
  return (
    `${d.getFullYear()}${two(d.getMonth() + 1)}${two(d.getDate())}-` +
    `${two(d.getHours())}${two(d.getMinutes())}${two(d.getSeconds())}`
  );
}

function download(blob, filename) {
  const url = URL.createObjectURL(blob);
  const link = document.createElement('a');
  link.href = url;
  link.download = filename;
  link.click();
  setTimeout(() => URL.revokeObjectURL(url), DOWNLOAD_URL_LIFETIME_MS);
}

// ---------------------------------------------------------------------------
// Drawing
// ---------------------------------------------------------------------------
function selectedSeries() {
  const boxes = document.querySelectorAll('#plot-channels input:checked');
  return [...boxes].map((box) => Number(box.value));
}

function barMax() {
  const value = Number($('bar-max').value);
  return Number.isFinite(value) && value > 0 ? value : STANDARD_MAX;
}

function frame() {
  requestAnimationFrame(frame);
  const now = performance.now();
  // The values change 100 times a second, faster than anyone reads them;
  // drawing less often leaves the page's thread free to send SBUS frames
  // on time.
  if (now - state.drawnAt < DRAW_INTERVAL_MS) {
    return;
  }
  state.drawnAt = now;
  const session = state.session;
  if (session) {
    stats.render(session, now);
    if (!state.paused && state.dirty) {
      values.render(session, barMax());
      state.dirty = false;
    }
    $('download-recording').disabled = !session.recording?.holdsRecords;
    $('export-json').disabled = session.lines.length === 0;
  }
  if (!state.paused && state.plotDirty) {
    state.plotDirty = false;
    plot.draw({
      selected: selectedSeries(),
      windowSeconds: Number($('plot-window').value),
      yMax: barMax(),
    });
  }
  $('sbus-status').textContent = state.sbus ? state.sbus.describe() : 'SBUS output off';
}

function buildPlotChoices() {
  const container = $('plot-channels');
  for (let k = 0; k < L.QUARN_CHANNEL_COUNT; ++k) {
    const label = document.createElement('label');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.value = String(k);
    box.checked = k < 4;
    label.style.setProperty('--swatch', COLORS[k]);
    label.append(box, `CH${k + 1}`);
    container.append(label);
  }
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------
function wire() {
  $('connect-serial').addEventListener('click', () => exclusive(toggleSerial));
  $('connect-hid').addEventListener('click', () => exclusive(toggleHid));
  $('simulate').addEventListener('click', () => exclusive(toggleSimulation));
  $('connect-sbus').addEventListener('click', () => exclusive(toggleSbus));
  $('stop-replay').addEventListener('click', () => exclusive(stopSource));
  $('replay-file').addEventListener('change', (event) => {
    const [file] = event.target.files;
    if (file) {
      exclusive(() => replay(file));
    }
    // The same file can then be chosen again.
    event.target.value = '';
  });
  // Turned off while a device is away: the wait ends, and the source.
  $('reconnect').addEventListener('change', () => {
    if (!$('reconnect').checked && state.source?.awaySince) {
      exclusive(stopSource);
    }
  });
  $('pause').addEventListener('click', () => {
    state.paused = !state.paused;
    state.dirty = true;
    state.plotDirty = true;
    $('pause').textContent = state.paused ? 'Resume view' : 'Pause view';
    $('pause').setAttribute('aria-pressed', String(state.paused));
    $('paused-note').hidden = !state.paused;
  });
  const redraw = () => {
    state.dirty = true;
    state.plotDirty = true;
  };
  $('bar-max').addEventListener('input', redraw);
  $('plot-channels').addEventListener('change', redraw);
  $('plot-window').addEventListener('change', redraw);
  window.addEventListener('resize', redraw);
  $('download-recording').addEventListener('click', () => {
    const s = state.session;
    download(s.recording.blob(), `quarn-${s.kind}-${stamp(s)}.qrec`);
  });
  $('export-json').addEventListener('click', () => {
    const s = state.session;
    download(s.jsonBlob(), `quarn-${s.kind}-${stamp(s)}.jsonl`);
  });
  // Closing or reloading the page: the device is told to stop. Both
  // events, as browsers differ in which one still gets to run.
  const leaving = () => {
    state.source?.stopNow();
    state.sbus?.stopNow();
  };
  window.addEventListener('pagehide', leaving);
  window.addEventListener('beforeunload', leaving);
}

async function main() {
  $('not-running').hidden = true;
  buildPlotChoices();
  wire();
  checkSupport();
  updateControls();
  keepForOffline(say);
  try {
    state.library = await load();
  } catch (error) {
    state.busy = true;
    updateControls();
    say(`The page cannot run: ${error.message}`, 'error');
    return;
  }
  $('app').dataset.ready = 'true';
  requestAnimationFrame(frame);
}

main();
