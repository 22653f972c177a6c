// The package as users get it: packed by npm, installed from its .tgz into an
// empty folder with no network, used from Node, and its types checked by
// tsc --strict on a small consumer.
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { PACKAGE_DIR, ROOT, run } from './support.mjs';

const dir = mkdtempSync(join(tmpdir(), 'quarn-npm-'));
const app = join(dir, 'app');
const { version } = JSON.parse(readFileSync(join(PACKAGE_DIR, 'package.json'), 'utf8'));
const tgz = join(dir, `quarninterface-${version}.tgz`);
// Nothing answers there: an install that needs the network fails.
const offline = {
  ...process.env,
  npm_config_registry: 'http://127.0.0.1:9/',
  npm_config_offline: 'true',
};
const TSC = join(ROOT, 'node_modules/typescript/bin/tsc');

function ok(command, args, options) {
  const result = run(command, args, options);
  assert.equal(result.status, 0, `${command} ${args.join(' ')}: ${result.stdout}${result.stderr}`);
  return result.stdout;
}

before(() => {
  ok('npm', ['pack', '--ignore-scripts', '--pack-destination', dir, PACKAGE_DIR], { env: offline });
  mkdirSync(app);
  writeFileSync(join(app, 'package.json'), '{ "name": "app", "private": true, "type": "module" }');
  const install = ['install', '--ignore-scripts', '--no-audit', '--no-fund', tgz];
  ok('npm', install, { cwd: app, env: offline });
});
after(() => rmSync(dir, { recursive: true, force: true }));

test('the .tgz holds the package and nothing else, and depends on nothing', () => {
  const files = ok('tar', ['-tzf', tgz]).split('\n').filter(Boolean).sort();
  assert.deepEqual(files, ['LICENSE', 'QuarnInterface.wasm', 'README.md', 'bytes.js',
    'examples/monitor.mjs', 'index.d.ts', 'index.js', 'layout.js', 'library.js', 'node.js',
    'package.json', 'recording.js'].map((name) => `package/${name}`));
  const installed = JSON.parse(readFileSync(join(app, 'node_modules/quarninterface/package.json')));
  assert.deepEqual([installed.dependencies, installed.peerDependencies], [undefined, undefined]);
});

test('installed, it decodes the example stream to its expected values', () => {
  const code = `
    import { readFileSync } from 'node:fs';
    import { load } from 'quarninterface';
    const parser = (await load()).createParser();
    const stream = readFileSync(process.argv[1]);
    for (let at = 0; at < stream.length; at += 64) parser.feed(stream.subarray(at, at + 64));
    console.log('final channels:', ...parser.channels);
    console.log('final ports:', ...parser.ports);`;
  const out = ok('node', ['--input-type=module', '-e', code,
    join(ROOT, 'examples/data/device-stream.bin')], { cwd: app });
  const expected = readFileSync(join(ROOT, 'examples/data/device-stream.expected'), 'utf8');
  assert.deepEqual(out.split('\n').filter(Boolean), expected.split('\n').filter(Boolean));
});

// Type-checks: the API's names, that values are typed and read-only where
// they are, and that a refused report must be checked for null. A wrong
// declaration fails either a use or an expected error.
const CONSUMER = `
import { load, readRecording, writeRecording, MAX_CHUNK_SIZE } from 'quarninterface';
import type { PortDataParser, QuarnInterface, Recording } from 'quarninterface';

const qi: QuarnInterface = await load({ wasm: new Uint8Array(0) });
const request: Uint8Array = qi.requestUploadPortData(0, 0);
const stop: Uint8Array = qi.stopUploadPortData();
const parser: PortDataParser = qi.createParser();
const decoded: boolean = parser.feed(new DataView(new ArrayBuffer(MAX_CHUNK_SIZE)));
const channels: Uint16Array = parser.channels;
const ports: Uint16Array = parser.ports;
const report = qi.parseHidCompatible(request);
const first: number | undefined = report?.[0];
const controller: Uint16Array | null = qi.parseHidGameController(stop.buffer);
const sbus: Uint8Array = qi.encodeSbusV2(qi.convertStdSbus(new Array<number>(16).fill(600)));
const v1: Uint8Array = qi.encodeSbusV1(new Uint16Array(16));
const recording: Recording = readRecording(writeRecording([{ timeUs: 1n, data: sbus }]));
const time: number = recording.records[0].timeUs;
const error: string | null = qi.readRecording(v1).error;
const another: QuarnInterface = await load({ wasm: qi.module });
// @ts-expect-error: the values are read-only
parser.channels = ports;
// @ts-expect-error: a refused report is null
qi.parseHidCompatible(request)[0];
// @ts-expect-error: a channel set is numbers
qi.encodeSbusV1(['1']);
// @ts-expect-error: a recording's times are numbers
const late: string = recording.records[0].timeUs;
export { decoded, channels, first, controller, time, error, another, late };
`;

test('tsc --strict accepts a typed consumer, with and without the DOM types', () => {
  writeFileSync(join(app, 'consumer.ts'), CONSUMER);
  writeFileSync(join(app, 'dom.ts'),
    "import { load } from 'quarninterface';\n" +
      'export const module: WebAssembly.Module = (await load()).module;\n');
  // TypeScript's own libraries need no check here; the package's types do.
  const options = ['--strict', '--noEmit', '--skipDefaultLibCheck', '--module', 'nodenext',
    '--target', 'es2022'];
  ok('node', [TSC, ...options, '--lib', 'es2022,dom', 'consumer.ts', 'dom.ts'], { cwd: app });
  ok('node', [TSC, ...options, '--lib', 'es2022', 'consumer.ts'], { cwd: app });
});
