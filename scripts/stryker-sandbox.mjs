// Stryker's build step (stryker.config.mjs), run inside its sandbox. The
// sandbox's js/ holds the package's modules with the mutants in it; this
// adds what the build generates (layout.js, QuarnInterface.wasm, from the
// web preset's build of this checkout, found beside this script), so that
// js/ is the whole package the tests load, and points web/js/quarninterface
// at it, where the page's modules import the package from.
import { copyFileSync, existsSync, symlinkSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const built = resolve(dirname(fileURLToPath(import.meta.url)), '../build/web/npm/quarninterface');
for (const name of ['layout.js', 'QuarnInterface.wasm']) {
  const file = join(built, name);
  if (!existsSync(file)) {
    const build = 'cmake --preset web && cmake --build --preset web';
    console.error(`${file} is missing; build it with ${build}`);
    process.exit(1);
  }
  copyFileSync(file, join('js', name));
}
symlinkSync('../../js', join('web', 'js', 'quarninterface'));
