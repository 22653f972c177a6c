// Mutation testing of the JavaScript with Stryker: the npm package (js/) and
// the web console's modules that run under Node. docs/testing.md says what is
// mutated, what is not and why, and the score. Build the linux and web
// presets first, then: npm ci && npm run mutate-js
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = dirname(fileURLToPath(import.meta.url));
const linux = join(root, 'build/linux');

// The tests run in Stryker's sandbox, a copy of the checkout with the
// mutants in it: the package is the sandbox's js/ and the page the
// sandbox's web/ (scripts/stryker-sandbox.mjs completes both), relative to
// the sandbox, which is the tests' working directory. The native library
// and the tools stay those of the linux build.
process.env.QUARN_NPM_PACKAGE = 'js';
process.env.QUARN_WEB_DIR = 'web';
process.env.QUARN_INTERFACE_LIBRARY ??= join(linux, 'libQuarnInterface.so');
process.env.QUARN_MONITOR ??= join(linux, 'tools/quarn-monitor');
process.env.QUARN_SIM ??= join(linux, 'tools/quarn-sim');

const reports = 'build/stryker';

export default {
  testRunner: 'tap',
  // package.test.mjs and example.test.mjs test what runs in processes of
  // their own (npm pack, tsc, the example program), where Stryker sees no
  // coverage; they stay in the ordinary test run.
  tap: {
    testFiles: ['js/test/{functions,parser,recording}.test.mjs', 'web/tests/*.test.mjs'],
  },
  mutate: [
    'js/{bytes,index,library,node,recording}.js',
    'web/js/{recording,sbus,session,simulator}.js',
  ],
  // The sandbox holds what the tests read; build/ stays out (Stryker does
  // not read .gitignore).
  ignorePatterns: ['/*', '!/js', '!/web', '!/package.json'],
  // Run in the sandbox; the script is this checkout's, and finds its build.
  // Stryker splits the command at spaces that are not escaped.
  buildCommand: `node ${join(root, 'scripts/stryker-sandbox.mjs').replaceAll(' ', '\\ ')}`,
  tempDirName: `${reports}/tmp`,
  incrementalFile: `${reports}/incremental.json`,
  reporters: ['clear-text', 'progress', 'html', 'json'],
  htmlReporter: { fileName: `${reports}/mutation.html` },
  jsonReporter: { fileName: `${reports}/mutation.json` },
  clearTextReporter: { allowEmojis: false, logTests: false },
  concurrency: 2,
  // The machine is shared: a mutant's tests may take far longer than they
  // did in the first run without looping, and a timeout counts as caught.
  timeoutMS: 15000,
};
