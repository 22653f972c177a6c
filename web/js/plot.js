// A live plot of chosen series over the last seconds, drawn on a canvas.
// Samples go into a ring buffer; a draw shows those within the window,
// at most one point per pixel column per series.

export const COLORS = [
  '#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b',
  '#e377c2', '#7f7f7f', '#bcbd22', '#17becf', '#393b79', '#637939',
];
// 100 updates a second for a minute, the longest window.
const CAPACITY = 6000;
const GRID_LINES = 4;
const FONT_PX = 11;
const MARGIN = { left: 44, right: 8, top: 8, bottom: 20 };

export class Plot {
  #canvas;
  #times = new Float64Array(CAPACITY);
  #values;
  #series;
  #count = 0;
  #head = 0;

  constructor(canvas, series) {
    this.#canvas = canvas;
    this.#series = series;
    this.#values = new Float64Array(CAPACITY * series);
  }

  clear() {
    this.#count = 0;
    this.#head = 0;
  }

  push(t, values) {
    this.#times[this.#head] = t;
    this.#values.set(values.slice(0, this.#series), this.#head * this.#series);
    this.#head = (this.#head + 1) % CAPACITY;
    this.#count = Math.min(this.#count + 1, CAPACITY);
  }

  // The ring positions of the samples from `oldest` on, oldest first.
  #within(oldest) {
    const positions = [];
    const first = (this.#head - this.#count + CAPACITY) % CAPACITY;
    for (let k = 0; k < this.#count; ++k) {
      const i = (first + k) % CAPACITY;
      if (this.#times[i] >= oldest) {
        positions.push(i);
      }
    }
    return positions;
  }

  draw({ selected, windowSeconds, yMax }) {
    const canvas = this.#canvas;
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    const pixelWidth = Math.round(width * ratio);
    const pixelHeight = Math.round(height * ratio);
    if (canvas.width !== pixelWidth || canvas.height !== pixelHeight) {
      canvas.width = pixelWidth;
      canvas.height = pixelHeight;
    }
    const ctx = canvas.getContext('2d');
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.clearRect(0, 0, width, height);
    const style = getComputedStyle(canvas);
    const left = MARGIN.left;
    const right = width - MARGIN.right;
    const top = MARGIN.top;
    const bottom = height - MARGIN.bottom;

    const newest = this.#count > 0 ? this.#times[(this.#head - 1 + CAPACITY) % CAPACITY] : 0;
    const oldest = newest - windowSeconds;
    const shown = this.#within(oldest);
    let topValue = yMax;
    for (const i of shown) {
      for (const s of selected) {
        topValue = Math.max(topValue, this.#values[i * this.#series + s]);
      }
    }
    const x = (t) => left + ((t - oldest) / windowSeconds) * (right - left);
    const y = (v) => bottom - (v / topValue) * (bottom - top);

    ctx.font = `${FONT_PX}px sans-serif`;
    ctx.fillStyle = style.color;
    ctx.strokeStyle = style.getPropertyValue('--grid').trim() || '#ccc';
    ctx.lineWidth = 1;
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    for (let g = 0; g <= GRID_LINES; ++g) {
      const v = (topValue * g) / GRID_LINES;
      ctx.beginPath();
      ctx.moveTo(left, Math.round(y(v)) + 0.5);
      ctx.lineTo(right, Math.round(y(v)) + 0.5);
      ctx.stroke();
      ctx.fillText(String(Math.round(v)), left - 4, y(v));
    }
    ctx.textBaseline = 'top';
    for (let g = 0; g <= GRID_LINES; ++g) {
      const ago = windowSeconds - (windowSeconds * g) / GRID_LINES;
      // The end labels stay inside the plot's width.
      ctx.textAlign = g === 0 ? 'left' : g === GRID_LINES ? 'right' : 'center';
      ctx.fillText(ago === 0 ? 'now' : `−${ago} s`, x(oldest + windowSeconds - ago), bottom + 4);
    }

    ctx.save();
    ctx.beginPath();
    ctx.rect(left, top, right - left, bottom - top);
    ctx.clip();
    ctx.lineWidth = 1.5;
    for (const s of selected) {
      ctx.strokeStyle = COLORS[s % COLORS.length];
      ctx.beginPath();
      let column = -Infinity;
      for (const i of shown) {
        const px = x(this.#times[i]);
        const py = y(this.#values[i * this.#series + s]);
        if (column === -Infinity) {
          ctx.moveTo(px, py);
        } else if (Math.floor(px) !== column) {
          ctx.lineTo(px, py);
        }
        column = Math.floor(px);
      }
      ctx.stroke();
    }
    ctx.restore();
  }
}
