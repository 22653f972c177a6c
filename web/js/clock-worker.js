// A clock that posts a tick every `period` milliseconds.
//
// It runs in a Worker because browsers slow a background tab's own timers
// down to about one wake-up per second, and a Worker's timers keep their
// pace. Each tick aims at an absolute deadline, so the timer's lateness
// does not add up; after a stall it goes on from now at the same period
// rather than fire the missed ticks in a burst.
//
// Messages in: { period } starts or retimes the clock; { stop: true } stops
// it. Messages out: the tick's deadline, in milliseconds since the epoch of
// performance.timeOrigin, which a page and its Worker share (each has its
// own performance.now()).
let timer = null;
let period = 0;
let next = 0;

function schedule() {
  timer = setTimeout(tick, Math.max(0, next - performance.now()));
}

function tick() {
  postMessage(performance.timeOrigin + next);
  const now = performance.now();
  next += period;
  if (next < now) {
    next = now + period;
  }
  schedule();
}

onmessage = (event) => {
  clearTimeout(timer);
  timer = null;
  if (event.data.stop) {
    return;
  }
  period = event.data.period;
  next = performance.now() + period;
  schedule();
};
