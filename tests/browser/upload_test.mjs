// In a real browser: headless Chromium opens the default site served by `quillet serve`,
// picks a picture in the form, submits it and sees the thumbnail; screenshots of the page
// (desktop and phone widths) are kept as test artefacts.
//
//   node upload_test.mjs QUILLET_BINARY COMPONENT_LIBRARY SITE_DIR ARTEFACT_DIR
//
// Exit status: 0 passed, 1 failed, 77 skipped (what is missing is said on stdout).
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const SKIP = 77;
const [quillet, library, site, artefacts] = process.argv.slice(2);
const chromiumPath = process.env.QUILLET_CHROMIUM || '/usr/bin/chromium';

class Skipped extends Error {}
function skip(why) {
  throw new Skipped(why);
}

// A 24-bit Windows bitmap with a colour ramp, written here so the test needs no file.
function bitmap(width, height) {
  const stride = Math.ceil((width * 3) / 4) * 4;
  const size = 54 + stride * height;
  const b = Buffer.alloc(size);
  b.write('BM', 0, 'latin1');
  b.writeUInt32LE(size, 2);
  b.writeUInt32LE(54, 10);
  b.writeUInt32LE(40, 14);
  b.writeInt32LE(width, 18);
  b.writeInt32LE(height, 22);
  b.writeUInt16LE(1, 26);
  b.writeUInt16LE(24, 28);
  b.writeUInt32LE(stride * height, 34);
  for (let y = 0; y < height; y++)
    for (let x = 0; x < width; x++) {
      const at = 54 + y * stride + x * 3;
      b[at] = 160;
      b[at + 1] = Math.floor((y * 255) / (height - 1));
      b[at + 2] = Math.floor((x * 255) / (width - 1));
    }
  return b;
}

async function startServer(root, env) {
  const log = [];
  const server = spawn(quillet, ['serve', '--root', root, '--port', '0', '--threads', '2'], {
    env, stdio: ['ignore', 'ignore', 'pipe'],
  });
  server.stderr.setEncoding('utf8');
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('the server did not start: ' + log.join(''))), 20000);
    server.stderr.on('data', (text) => {
      log.push(text);
      const m = /on (http:\/\/127\.0\.0\.1:\d+\/)/.exec(log.join(''));
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
    server.on('exit', (code) => { clearTimeout(timer); reject(new Error(`the server exited (${code}): ${log.join('')}`)); });
  });
  return { server, url, log };
}

async function main() {
  if (!fs.existsSync(chromiumPath)) skip(`no browser at ${chromiumPath} (install the chromium package)`);
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    skip('playwright-core is not installed (make test runs npm ci in tests/browser)');
  }
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quillet-browser-'));
  const root = path.join(work, 'site');
  fs.cpSync(site, root, { recursive: true, filter: (p) => path.basename(p) !== 'uploads' });
  const env = { ...process.env, QUILLET_REGISTRY: path.join(work, 'registry'), TMPDIR: work };
  const registered = spawnSync(quillet, ['register', library], { env, encoding: 'utf8' });

  const picture = path.join(work, 'sunset.bmp');
  fs.writeFileSync(picture, bitmap(320, 240));
  const { server, url, log } = await startServer(root, env);
  const profile = path.join(work, 'profile');
  fs.mkdirSync(artefacts, { recursive: true });
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumPath,
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync'],
      viewport: { width: 1100, height: 900 },
    });
    const page = context.pages()[0] || (await context.newPage());
    await page.goto(url, { waitUntil: 'load' });
    await page.screenshot({ path: path.join(artefacts, 'form.png'), fullPage: true });
    if (registered.status !== 0) throw new Error(`quillet register failed: ${registered.stderr.trim()}`);
    await page.fill('#title', 'Sunset in the browser');
    await page.setInputFiles('#photo', picture);
    await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('button[type=submit]')]);

    const problem = await page.locator('#problem').textContent().catch(() => null);
    if (problem) throw new Error('the upload was refused: ' + problem.replace(/\s+/g, ' ').trim());
    const thumbnail = page.locator('#thumbnail');
    await thumbnail.waitFor({ state: 'visible', timeout: 10000 });
    const seen = await thumbnail.evaluate(async (img) => {
      await img.decode();
      return { complete: img.complete, width: img.naturalWidth, height: img.naturalHeight };
    });
    if (!seen.complete || seen.width !== 160 || seen.height !== 120)
      throw new Error(`the thumbnail shows as ${seen.width} x ${seen.height}, not 160 x 120`);
    const result = await page.locator('#result').textContent();
    for (const want of ['Sunset in the browser', 'sunset.bmp', 'original 320 × 240, BMP'])
      if (!result.includes(want)) throw new Error(`the result does not say "${want}": ${result}`);
    const inGallery = await page.locator('.gallery li', { hasText: 'Sunset in the browser' }).count();
    if (inGallery !== 1) throw new Error('the upload is not in the gallery');

    await page.screenshot({ path: path.join(artefacts, 'upload-desktop.png'), fullPage: true });
    await page.setViewportSize({ width: 390, height: 844 });
    await page.screenshot({ path: path.join(artefacts, 'upload-phone.png'), fullPage: true });
    console.log(`screenshots in ${artefacts}`);
    console.log('1 passed, 0 failed');
  } finally {
    if (context) await context.close();
    server.kill('SIGTERM');
    await new Promise((resolve) => server.on('exit', resolve));
    fs.rmSync(work, { recursive: true, force: true });
    if (process.exitCode) console.log(log.join(''));
  }
}

main().catch((error) => {
  if (error instanceof Skipped) {
    console.log(`SKIPPED: ${error.message}`);
    process.exit(SKIP);
  }
  console.log('FAILED: ' + (error && error.stack ? error.stack : error));
  process.exit(1);
});
