// examples/monitor.mjs, as shipped in the package, against quarn-sim on a
// pseudo-terminal: the request first, JSON Lines of the frames sent, and
// the stop command on Ctrl-C.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { after, test } from 'node:test';

import { CMD_REQUEST, CMD_STOP, HEAD, PACKAGE_DIR, SIM, TAIL } from './support.mjs';

const dir = mkdtempSync(join(tmpdir(), 'quarn-example-'));
after(() => rmSync(dir, { recursive: true, force: true }));
const TYPE2_FRAME_SIZE = 100;
const LINES = 30;

async function exited(child) {
  if (child.exitCode !== null) {
    return child.exitCode;
  }
  return once(child, 'exit').then(([code]) => code);
}

test('monitor.mjs prints the frames quarn-sim sent and stops the device on Ctrl-C', {
  timeout: 60000,
}, async (t) => {
  const log = join(dir, 'sim.jsonl');
  const sim = spawn(SIM, ['--pty', '--once', '--log', log], {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  t.after(() => sim.kill());
  const [path] = await once(createInterface({ input: sim.stdout }), 'line');
  const example = join(PACKAGE_DIR, 'examples/monitor.mjs');
  const monitor = spawn('node', [example, path, '--request', '7,250'], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  t.after(() => monitor.kill());
  let stderr = '';
  monitor.stderr.on('data', (data) => (stderr += data));
  const lines = [];
  for await (const line of createInterface({ input: monitor.stdout })) {
    lines.push(JSON.parse(line));
    if (lines.length === LINES) {
      monitor.kill('SIGINT');
    }
  }
  assert.deepEqual([await exited(monitor), stderr], [0, '']);
  // --once: the simulator ends only once the stop command arrived.
  assert.equal(await exited(sim), 0);

  const events = readFileSync(log, 'utf8').split('\n').filter(Boolean).map((e) => JSON.parse(e));
  assert.deepEqual(events.filter((e) => e.event !== 'frame'), [
    { event: 'request', bytes: [HEAD, CMD_REQUEST, 2, 0, 7, 250, TAIL] },
    { event: 'stop', bytes: [HEAD, CMD_STOP, 0, 0, TAIL] },
  ]);
  const frames = events.filter((e) => e.event === 'frame');
  assert.ok(lines.length >= LINES);
  lines.forEach((line, k) => {
    assert.deepEqual(Object.keys(line), ['t', 'channels', 'ports', 'bytes', 'frames_decoded']);
    assert.equal(line.frames_decoded, k + 1);
    // The values are those of the last frame whole by then.
    const sent = frames[Math.floor(line.bytes / TYPE2_FRAME_SIZE) - 1];
    assert.deepEqual([line.channels, line.ports], [sent.channels, sent.ports], `line ${k}`);
  });
});
