// The values on the page: 12 channels as bars with their numbers, the 32
// ports and the 11 game-controller values as plain integers, as
// quarn-monitor prints them, and the counters with their rates.
import * as L from './quarninterface/layout.js';
import { COLORS } from './plot.js';

// Game-controller values 3 to 7 are 12 bits wide and value 8 has 4 bits
// (the report layout); the others are 16 bits.
const CONTROLLER_RANGES = [
  0xffff, 0xffff, 0xffff, 0xfff, 0xfff, 0xfff, 0xfff, 0xfff, 0xf, 0xffff, 0xffff,
];
const RATE_WINDOW_MS = 1000;

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) {
    e.className = className;
  }
  if (text !== undefined) {
    e.textContent = text;
  }
  return e;
}

function valueCells(container, labels) {
  return labels.map((label) => {
    const cell = element('div', 'cell');
    const value = element('output', 'value', '0');
    cell.append(element('span', 'label', label), value);
    container.append(cell);
    return value;
  });
}

export class ValuesView {
  #channelValues = [];
  #channelFills = [];
  #ports;
  #controller;
  #controllerFills = [];
  #shown = { channels: null, ports: null, controller: null, barMax: null };

  constructor({ channels, ports, controller }) {
    for (let k = 0; k < L.QUARN_CHANNEL_COUNT; ++k) {
      const row = element('div', 'bar-row');
      const bar = element('div', 'bar');
      const fill = element('div', 'fill');
      fill.style.background = COLORS[k];
      bar.append(fill);
      const value = element('output', 'value', '0');
      row.append(element('span', 'label', `CH${k + 1}`), bar, value);
      channels.append(row);
      this.#channelValues.push(value);
      this.#channelFills.push(fill);
    }
    // Ports in their two SBUS groups of 16.
    const groups = [ports.querySelector('.low'), ports.querySelector('.high')];
    const size = L.QUARN_PORT_GROUP_SIZE;
    const portLabels = (g) => Array.from({ length: size }, (_, k) => `P${g * size + k + 1}`);
    this.#ports = groups.flatMap((group, g) => valueCells(group, portLabels(g)));
    this.#controller = valueCells(
      controller,
      Array.from({ length: L.QUARN_CONTROLLER_VALUE_COUNT }, (_, k) => `V${k}`),
    );
  }

  // Writes only what changed since the last render.
  render(session, barMax) {
    if (session.channels !== this.#shown.channels || barMax !== this.#shown.barMax) {
      session.channels.forEach((v, k) => {
        this.#channelValues[k].textContent = String(v);
        this.#channelFills[k].style.width = `${Math.min(100, (v / barMax) * 100)}%`;
      });
      this.#shown.channels = session.channels;
      this.#shown.barMax = barMax;
    }
    if (session.ports !== this.#shown.ports) {
      session.ports.forEach((v, k) => {
        this.#ports[k].textContent = String(v);
      });
      this.#shown.ports = session.ports;
    }
    if (session.controller !== this.#shown.controller) {
      session.controller.forEach((v, k) => {
        this.#controller[k].textContent = String(v);
        this.#controller[k].title = `0 to ${CONTROLLER_RANGES[k]}`;
      });
      this.#shown.controller = session.controller;
    }
  }
}

// Counters and their rates over the last second.
export class StatsView {
  #fields;
  #window = { at: 0, bytes: 0, updates: 0 };
  #rates = { bytes: 0, updates: 0 };

  constructor(fields) {
    this.#fields = fields;
  }

  reset(now) {
    this.#window = { at: now, bytes: 0, updates: 0 };
    this.#rates = { bytes: 0, updates: 0 };
  }

  render(session, now) {
    if (now - this.#window.at >= RATE_WINDOW_MS) {
      const seconds = (now - this.#window.at) / 1000;
      this.#rates = {
        bytes: (session.bytes - this.#window.bytes) / seconds,
        updates: (session.updates - this.#window.updates) / seconds,
      };
      this.#window = { at: now, bytes: session.bytes, updates: session.updates };
    }
    const f = this.#fields;
    f.source.textContent = session.name;
    f.bytes.textContent = String(session.bytes);
    f.updates.textContent = String(session.updates);
    f.byteRate.textContent = this.#rates.bytes.toFixed(0);
    f.updateRate.textContent = this.#rates.updates.toFixed(1);
    f.refused.textContent = String(session.refused);
    const since = session.lastUpdateAt === null ? null : (now - session.lastUpdateAt) / 1000;
    f.last.textContent = since === null ? 'never' : `${since.toFixed(1)} s ago`;
  }
}
