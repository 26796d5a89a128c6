// browser-test.mjs - the web page in headless Chromium against the native
// tool: the same pixels must give the same result checksum.
//
//   node web/test/browser-test.mjs --tool build/default/tool/polarmosaic \
//        --site build/wasm/web/site --out build/wasm/web-test
//
// For each WebAssembly build (SIMD128 and scalar): the page starts on the
// built-in picture (tool: --demo); a lossless PNG made here goes through the
// file input; the sectors slider is moved with the keyboard; after each
// render the page's checksum must equal the tool's --checksum for the same
// picture and settings, in each geometry the build has. The settings must
// be in the address, a reload from that address must give the same result,
// and the page must come back offline from its service worker. A screenshot
// of the page is saved in the output folder.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import { pngBytes, testPicture } from './png.mjs';
import { serve } from './serve.mjs';
import { commandOptions } from './options.mjs';

const args = commandOptions();
const tool = path.resolve(args.tool || 'build/default/tool/polarmosaic');
const site = path.resolve(args.site || 'build/wasm/web/site');
const out = path.resolve(args.out || 'build/wasm/web-test');
fs.mkdirSync(out, { recursive: true });

// ------------------------------------------------------------ the tool

const toolHasGeometry = execFileSync(tool, ['--help']).toString().includes('--classic');
function toolChecksum(input, options) {
  const output = path.join(out, 'tool-output.png');
  const argv = [...options, '--checksum', '-Q', ...(input ? [input, output] : ['--demo', output])];
  const line = execFileSync(tool, argv).toString().trim();
  const m = /^([0-9a-f]{16}) {2}/.exec(line);
  if (!m) throw new Error(`unexpected --checksum output: ${line}`);
  return m[1];
}
function geometryArgs(geometry) {
  return toolHasGeometry && geometry === 'classic' ? ['--classic'] : [];
}

// ------------------------------------------------------------ the page

let passed = 0;
let failed = 0;
function check(ok, what, detail = '') {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${detail ? `: ${detail}` : ''}`);
}

async function settled(page) {
  await page.waitForFunction(
    () => !document.body.dataset.busy && document.body.dataset.rendered === location.search.slice(1)
      && document.getElementById('error').hidden,
    { timeout: 120000, polling: 50 });
  return page.evaluate(() => ({
    checksum: document.getElementById('checksum').textContent,
    frame: document.getElementById('frame-info').textContent,
    picture: document.getElementById('picture-info').textContent,
    query: location.search.slice(1),
  }));
}

const width = 641;
const height = 479;
const inputPng = path.join(out, 'input.png');
fs.writeFileSync(inputPng, pngBytes(width, height, testPicture(width, height)));

const server = await serve(site);
const origin = `http://127.0.0.1:${server.address().port}`;
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  for (const build of ['simd128', 'scalar']) {
    const context = await browser.createBrowserContext();
    const page = await context.newPage();
    const problems = [];
    page.on('pageerror', (e) => problems.push(e.message));
    await page.setViewport({ width: 1280, height: 900 });
    await page.goto(`${origin}/index.html?build=${build}&geometry=classic`);
    let state = await settled(page);
    const geometries = await page.$$eval('#geometry option:not([disabled])', (o) => o.map((e) => e.value));
    check(state.frame.includes(`${build} build`), `${build}: the page runs the ${build} build`, state.frame);
    check(state.checksum === toolChecksum(null, geometryArgs('classic')),
      `${build}: built-in picture, classic, equals polarmosaic --demo`, state.checksum);
    for (const geometry of geometries.filter((g) => g !== 'classic')) {
      await page.select('#geometry', geometry);
      state = await settled(page);
      check(state.checksum === toolChecksum(null, geometryArgs(geometry)),
        `${build}: built-in picture, ${geometry}, equals polarmosaic --demo`, state.checksum);
    }

    const input = await page.$('#file');
    await input.uploadFile(inputPng);
    await page.waitForFunction(() => document.getElementById('picture-info').textContent.startsWith('input.png'));
    for (const geometry of geometries) {
      await page.select('#geometry', geometry);
      state = await settled(page);
      check(state.checksum === toolChecksum(inputPng, geometryArgs(geometry)),
        `${build}: ${width} x ${height} PNG, ${geometry}, default settings`, state.checksum);
      // 36 -> 24 sectors by keyboard, one render request per step.
      await page.focus('#sectors');
      for (let i = 0; i < 12; i++) await page.keyboard.press('ArrowLeft');
      state = await settled(page);
      check(new URLSearchParams(state.query).get('sectors') === '24', `${build}: sectors in the address`, state.query);
      check(state.checksum === toolChecksum(inputPng, [...geometryArgs(geometry), '-s', '24']),
        `${build}: ${geometry}, slider moved to 24 sectors, equals polarmosaic -s 24`, `${state.checksum}, ${state.frame}`);
      for (let i = 0; i < 12; i++) await page.keyboard.press('ArrowRight');
    }
    if (build === 'simd128') {
      await page.select('#geometry', geometries[0]);
      await page.focus('#sectors');
      for (let i = 0; i < 12; i++) await page.keyboard.press('ArrowLeft');
      await settled(page);
      await page.screenshot({ path: path.join(out, 'screenshot.png') });
      await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 1 });
      await page.screenshot({ path: path.join(out, 'screenshot-phone.png'), fullPage: true });
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      check(overflow <= 0, 'phone-sized screen: no sideways scrolling', `${overflow} px too wide`);
      await page.setViewport({ width: 1280, height: 900 });
    }

    // Reopen the address: the same settings, the same result (built-in picture).
    const url = page.url();
    await page.goto(url);
    state = await settled(page);
    const reopened = state.checksum;
    check(state.query === new URL(url).search.slice(1), `${build}: reopened address keeps its settings`, state.query);

    // Offline from the service worker.
    await page.evaluate(() => navigator.serviceWorker.ready);
    await page.setOfflineMode(true);
    await page.reload();
    state = await settled(page);
    check(state.checksum === reopened, `${build}: works offline once loaded`, state.checksum);
    await page.setOfflineMode(false);

    check(problems.length === 0, `${build}: no script errors`, problems.join('; '));
    await context.close();
  }
} finally {
  await browser.close();
  server.close();
}
console.log(`screenshot: ${path.join(out, 'screenshot.png')}`);
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
