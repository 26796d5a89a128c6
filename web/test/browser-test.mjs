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
// picture and settings, in each geometry the build has. In the fitted
// geometry: a drag on the picture puts the centre where it ends (the tool's
// --centre for that pixel); the angle, hard edges, centre, ring and line
// width are set from the keyboard; the footer's command line, run, gives
// the page's checksum; a colour change keeps the plan and a geometry change
// builds it; a picture with transparency keeps it, in the PNG and WebP
// downloads too. The settings must be in the address, a reload from that
// address must give the same result, and the page must come back offline
// from its service worker. A screenshot of the page is saved in the output
// folder.
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

function toolChecksum(input, options) {
  const output = path.join(out, 'tool-output.png');
  const argv = [...options, '--checksum', '-Q', ...(input ? [input, output] : ['--demo', output])];
  const line = execFileSync(tool, argv).toString().trim();
  const m = /^([0-9a-f]{16}) {2}/.exec(line);
  if (!m) throw new Error(`unexpected --checksum output: ${line}`);
  return m[1];
}
function geometryArgs(geometry) {
  return geometry === 'classic' ? ['--classic'] : [];
}

// ------------------------------------------------------------ the page

let passed = 0;
let failed = 0;
function check(ok, what, detail = '') {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${detail ? `: ${detail}` : ''}`);
}

// Waits for the full-size result of the address; the checksum is worked
// out once the details section is open, so that is opened too.
async function settled(page) {
  await page.waitForFunction(
    () => !document.body.dataset.busy && document.body.dataset.rendered === location.search.slice(1)
      && document.getElementById('error').hidden,
    { timeout: 120000, polling: 50 });
  await page.evaluate(() => { document.getElementById('details').open = true; });
  await page.waitForFunction(() => /^[0-9a-f]{16}$/.test(document.getElementById('checksum').textContent),
    { timeout: 30000, polling: 20 });
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
// Transparent in the left 40%, translucent in a band, opaque elsewhere.
const alphaPng = path.join(out, 'input-alpha.png');
{
  const [w, h] = [320, 240];
  const rgb = testPicture(w, h, 7);
  const rgba = Buffer.alloc(w * h * 4);
  for (let i = 0; i < w * h; i++) {
    rgb.copy(rgba, i * 4, i * 3, i * 3 + 3);
    const [x, y] = [i % w, Math.floor(i / w)];
    rgba[i * 4 + 3] = x < w * 0.4 ? 0 : y >= 100 && y < 140 ? 160 : 255;
  }
  fs.writeFileSync(alphaPng, pngBytes(w, h, rgba, 4));
}

// A photo-sized picture (decoded, rendered at full size in the background).
const [bigWidth, bigHeight] = [5003, 3001];
const bigPng = path.join(out, 'big.png');
fs.writeFileSync(bigPng, pngBytes(bigWidth, bigHeight, testPicture(bigWidth, bigHeight, 99)));

// Every 40 ms, whether the result area is blank (all sampled pixels alike
// or transparent) and whether the busy sign shows, and which frame is
// shown; the samples are in window.watch.
async function watchStage(page) {
  await page.evaluate(() => {
    window.watch = [];
    clearInterval(window.watchTimer);
    window.watchTimer = setInterval(() => {
      const after = document.getElementById('after');
      const data = after.getContext('2d').getImageData(0, 0, after.width, after.height).data;
      const seen = new Set();
      for (let i = 1; i < 16; i++) {
        for (let j = 1; j < 16; j++) {
          const k = (Math.floor((after.height * j) / 16) * after.width + Math.floor((after.width * i) / 16)) * 4;
          seen.add(data[k + 3] === 0 ? 'clear' : `${data[k]},${data[k + 1]},${data[k + 2]}`);
        }
      }
      window.watch.push({
        blank: seen.size === 1, busySign: !document.getElementById('busy').hidden,
        progress: !document.getElementById('busy-progress').hidden, shown: document.body.dataset.shown,
      });
    }, 40);
  });
}
async function stopWatch(page) {
  return page.evaluate(() => { clearInterval(window.watchTimer); return window.watch; });
}

// A file dropped on the picture (a large file given to the file input
// through the driver does not reach the page whole in headless Chromium).
async function dropFile(page, file) {
  await page.evaluate(async (name, b64) => {
    const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
    const transfer = new DataTransfer();
    transfer.items.add(new File([bytes], name, { type: 'image/png' }));
    document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, path.basename(file), fs.readFileSync(file).toString('base64'));
}

const planBuilds = (page) => page.evaluate(() => Number(document.body.dataset.planBuilds));
async function selectAllAndType(page, selector, text) {
  await page.focus(selector);
  await page.keyboard.down('Control');
  await page.keyboard.press('KeyA');
  await page.keyboard.up('Control');
  await page.keyboard.type(text);
  await page.keyboard.press('Tab');
}
// The footer's command line run in the output folder (where input.png is):
// its checksum.
function footerChecksum(command) {
  const line = execFileSync('sh', ['-c', command.replace(/^polarmosaic /, `'${tool}' `)], { cwd: out }).toString();
  const m = /^([0-9a-f]{16}) {2}/m.exec(line);
  return m ? m[1] : `no checksum in: ${line}`;
}

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
    await page.waitForFunction(() => !document.body.dataset.busy && document.body.dataset.rendered === location.search.slice(1),
      { timeout: 120000, polling: 50 });
    const closedChecksum = await page.$eval('#checksum', (e) => e.textContent);
    check(closedChecksum === '…', `${build}: no checksum is worked out while the details are closed`, closedChecksum);
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
    if (build === 'simd128' && geometries.includes('fitted')) {
      // A photo-sized picture: the last result stays while it opens and
      // renders, the busy sign shows then clears, a preview comes first
      // while a control moves and the full-size result follows.
      await page.select('#geometry', 'fitted');
      await settled(page);
      await watchStage(page);
      await dropFile(page, bigPng);
      await page.waitForFunction(() => document.getElementById('picture-info').textContent.startsWith('big.png'),
        { timeout: 120000 });
      state = await settled(page);
      let watch = await stopWatch(page);
      check(watch.length > 10 && !watch.some((w) => w.blank), `${build}: ${bigWidth} x ${bigHeight} photo: the result area is never blank while it opens and renders`,
        `${watch.length} samples, ${watch.filter((w) => w.blank).length} blank`);
      check(watch.some((w) => w.busySign) && !(await page.$eval('#busy', (e) => !e.hidden)),
        `${build}: the busy sign shows while it works, and clears`, `${watch.filter((w) => w.busySign).length} samples with the sign`);
      check(state.checksum === toolChecksum(bigPng, []), `${build}: ${bigWidth} x ${bigHeight} photo, full-size checksum equals polarmosaic`,
        `${state.checksum}, ${state.frame}`);
      const canvasWidth = await page.$eval('#after', (c) => c.width);
      check(canvasWidth < bigWidth, `${build}: shown at the size of the screen (area averaged), not the full size`, `${canvasWidth} px wide`);
      await watchStage(page);
      await page.focus('#sectors');
      await page.keyboard.press('ArrowLeft');
      await page.waitForFunction(() => document.body.dataset.shown === 'preview' && !document.getElementById('busy').hidden,
        { timeout: 60000, polling: 20 });
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.screenshot({ path: path.join(out, 'screenshot-big-busy.png') });
      state = await settled(page);
      watch = await stopWatch(page);
      check(!watch.some((w) => w.blank) && watch.some((w) => w.shown === 'preview') && watch.some((w) => w.progress),
        `${build}: a slider step on the photo shows a preview, with the progress of the full-size frame`, `${watch.length} samples`);
      check(state.checksum === toolChecksum(bigPng, ['-s', '35']), `${build}: then the full-size result, equal to polarmosaic -s 35`,
        `${state.checksum}, ${state.frame}`);
      await page.keyboard.press('ArrowRight');
      state = await settled(page);

      // A narrower window, then a wider one again: the canvases follow the
      // size the picture fits in (from the full-size result, area averaged,
      // not rendered again), and the result area is never blank.
      const fitted = () => page.evaluate((w, h) => {
        const ratio = window.devicePixelRatio || 1;
        const scale = Math.min(1, (document.getElementById('stage').clientWidth * ratio) / w, (window.innerHeight * 2 * ratio) / h);
        const after = document.getElementById('after');
        const before = document.getElementById('before');
        return { want: [Math.round(w * scale), Math.round(h * scale)], after: [after.width, after.height], before: [before.width, before.height] };
      }, bigWidth, bigHeight);
      for (const viewport of [{ width: 900, height: 700 }, { width: 1280, height: 900 }]) {
        const frames0 = await page.evaluate(() => Number(document.body.dataset.fullFrames));
        const size0 = await page.$eval('#after', (c) => c.width);
        await watchStage(page);
        await page.setViewport(viewport);
        await page.waitForFunction((w) => document.getElementById('after').width !== w, { timeout: 30000, polling: 20 }, size0)
          .catch(() => {});  // the check below says what it is
        const resized = await settled(page);
        watch = await stopWatch(page);
        const sizes = await fitted();
        check(sizes.after.join() === sizes.want.join() && sizes.before.join() === sizes.want.join() && sizes.want[0] !== size0,
          `${build}: window ${viewport.width} x ${viewport.height}: the canvases follow it`, JSON.stringify({ size0, ...sizes }));
        check(!watch.some((w) => w.blank), `${build}: no blank frame while the window changes size`, `${watch.length} samples`);
        check(await page.evaluate(() => Number(document.body.dataset.fullFrames)) === frames0 && resized.checksum === state.checksum,
          `${build}: a new window size renders nothing again at full size`, `${frames0} full-size frames before`);
      }
    }
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
    if (geometries.includes('fitted')) {
      await page.select('#geometry', 'fitted');
      state = await settled(page);
      const builds0 = await planBuilds(page);

      // Drag from one pixel to another: the centre goes where the drag ends.
      const rect = await page.$eval('#after', (c) => {
        const r = c.getBoundingClientRect();
        return { left: r.left, top: r.top, width: r.width, height: r.height };
      });
      const at = (x, y) => [rect.left + ((x + 0.5) * rect.width) / width, rect.top + ((y + 0.5) * rect.height) / height];
      await page.mouse.move(...at(500, 400));
      await page.mouse.down();
      await page.mouse.move(...at(300, 300), { steps: 4 });
      await page.mouse.move(...at(200, 150), { steps: 4 });
      await page.mouse.up();
      state = await settled(page);
      check(state.checksum === toolChecksum(inputPng, ['--centre', '200,150']),
        `${build}: centre dragged to pixel 200,150 equals polarmosaic --centre 200,150`, `${state.checksum}, ${state.query}`);

      // The other new controls from the keyboard.
      await page.focus('#angle');
      for (let i = 0; i < 15; i++) await page.keyboard.press('ArrowRight');
      await page.focus('#hard-edges');
      await page.keyboard.press('Space');
      await selectAllAndType(page, '#centre-y', '25');
      await selectAllAndType(page, '#ring-n', '6');
      // 0.6% of this picture's half-diagonal is 2.4 pixels: 2 in pixels.
      await page.focus('#border-width-unit');
      await page.keyboard.press('ArrowDown');
      state = await settled(page);
      const q = new URLSearchParams(state.query);
      check(q.get('angle') === '15' && q.get('hard-edges') === '1' && /,25%$/.test(q.get('centre'))
        && q.get('ring') === '6%' && q.get('border-width') === '2', `${build}: keyboard settings in the address`, state.query);
      const keyed = ['--centre', '200,25%', '--angle', '15', '--hard-edges', '-r', '6%', '-w', '2'];
      check(state.checksum === toolChecksum(inputPng, keyed),
        `${build}: angle, hard edges, centre, ring and line width from the keyboard equal polarmosaic ${keyed.join(' ')}`, state.checksum);
      const builds1 = await planBuilds(page);
      check(builds1 > builds0, `${build}: new geometry settings build a plan`, `${builds0} -> ${builds1}`);

      // A shade changes no geometry: the plan is kept.
      await page.focus('#shade-outer');
      await page.keyboard.press('ArrowLeft');
      state = await settled(page);
      check(await planBuilds(page) === builds1 && state.frame.includes('plan kept'),
        `${build}: a shade change keeps the plan`, `${builds1} -> ${await planBuilds(page)}, ${state.frame}`);
      const shaded = [...keyed, '--shade-outer', '2.95'];
      check(state.checksum === toolChecksum(inputPng, shaded), `${build}: equals polarmosaic ${shaded.join(' ')}`, state.checksum);
      const command = await page.$eval('#tool-command', (e) => e.textContent);
      check(footerChecksum(command) === state.checksum, `${build}: the footer's command line gives the page's checksum`, command);

      if (build === 'simd128') {
        await page.evaluate(() => window.scrollTo(0, 0));
        await page.mouse.move(...at(320, 240));  // the centre mark shows while the pointer is on the picture
        await page.screenshot({ path: path.join(out, 'screenshot.png') });
        await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 1 });
        await page.screenshot({ path: path.join(out, 'screenshot-phone.png'), fullPage: true });
        const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
        check(overflow <= 0, 'phone-sized screen: no sideways scrolling', `${overflow} px too wide`);
        await page.setViewport({ width: 1280, height: 900 });
      }

      // Transparency is kept on screen and in the PNG and WebP downloads.
      await input.uploadFile(alphaPng);
      await page.waitForFunction(() => document.getElementById('picture-info').textContent.startsWith('input-alpha.png'));
      await settled(page);
      if (build === 'simd128') await page.screenshot({ path: path.join(out, 'screenshot-alpha.png') });
      const alpha = await page.evaluate(async () => {
        const after = document.getElementById('after');
        const shown = after.getContext('2d').getImageData(0, 0, after.width, after.height).data;
        const r = { clear: 0, translucent: 0, opaque: 0 };
        for (let i = 3; i < shown.length; i += 4) {
          if (shown[i] === 0) r.clear++;
          else if (shown[i] === 255) r.opaque++;
          else r.translucent++;
        }
        for (const type of ['image/png', 'image/webp']) {
          const blob = await window.polarmosaicResultBlob(type);
          const bitmap = await createImageBitmap(blob, { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
          const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
          canvas.getContext('2d').drawImage(bitmap, 0, 0);
          const saved = canvas.getContext('2d').getImageData(0, 0, bitmap.width, bitmap.height).data;
          let alphaDiffers = 0;
          let opaqueColourDiffers = 0;
          for (let i = 0; i < saved.length; i += 4) {
            if (saved[i + 3] !== shown[i + 3]) alphaDiffers++;
            if (shown[i + 3] === 255) for (let c = 0; c < 3; c++) if (saved[i + c] !== shown[i + c]) opaqueColourDiffers++;
          }
          r[type] = { type: blob.type, alphaDiffers, opaqueColourDiffers };
        }
        return r;
      });
      const pixels = 320 * 240;
      check(alpha.clear > pixels / 10 && alpha.translucent > 0 && alpha.opaque > pixels / 4,
        `${build}: a picture with transparency keeps it`, JSON.stringify(alpha));
      check(alpha['image/png'].type === 'image/png' && alpha['image/png'].alphaDiffers === 0
        && alpha['image/png'].opaqueColourDiffers === 0, `${build}: the PNG download has the result's alpha and colours`,
      JSON.stringify(alpha['image/png']));
      check(alpha['image/webp'].type === 'image/webp' && alpha['image/webp'].alphaDiffers === 0,
        `${build}: the WebP download has the result's alpha`, JSON.stringify(alpha['image/webp']));
    }

    // A bad address: a note names each value and what was used instead, and
    // the address is rewritten to the settings shown.
    {
      const bad = `${origin}/index.html?build=${build}&sectors=abc&ring=-5&width=99999&border=dots&shade-cw=300&foo=1`;
      await page.goto(bad);
      state = await settled(page);
      const notes = await page.$$eval('#notice-list li', (li) => li.map((e) => e.textContent));
      const visible = await page.$eval('#notice', (e) => !e.hidden && e.getBoundingClientRect().height > 0);
      const named = ['sectors=abc', 'ring=-5', 'width=99999', 'border=dots', 'shade-cw=300', '“foo”']
        .every((n) => notes.some((t) => t.includes(n)));
      check(visible && named && notes.some((t) => t.includes('used 1024')) && notes.some((t) => t.includes('used 255')),
        `${build}: a bad address shows a note naming each value and what was used`, notes.join(' | '));
      const q = new URLSearchParams(state.query);
      check(q.get('border-width') === '1024' && q.get('shade-cw') === '255' && !q.has('sectors') && !q.has('ring')
        && !q.has('border') && !q.has('foo') && !q.has('width'), `${build}: the address is rewritten to the settings shown`, state.query);
      check(state.checksum === toolChecksum(null, ['-w', '1024', '--shade-cw', '255']),
        `${build}: and the result is polarmosaic -w 1024 --shade-cw 255`, state.checksum);
      // A number box cannot go outside the limits: a note, and the limit.
      await selectAllAndType(page, '#shade-outer-n', '999');
      state = await settled(page);
      check(new URLSearchParams(state.query).get('shade-outer') === '255'
        && (await page.$eval('#notice-list', (e) => e.textContent)).includes('used 255'),
      `${build}: a shade factor typed beyond the limit is held at 255, with a note`, state.query);
      await page.focus('#notice-close');
      await page.keyboard.press('Enter');
      check(await page.$eval('#notice', (e) => e.hidden), `${build}: the note is dismissed from the keyboard`);
      await page.goto(`${origin}/index.html?build=${build}&geometry=fitted&sectors=24`);
      await settled(page);
    }

    if (build === 'simd128') {
      // Every option of the host's table, by its name, with its default and
      // its limits (and every choice): read without a note, and kept in the
      // rewritten address (left out where it is the default).
      // eslint-disable-next-line no-undef -- the page's option table (app.js)
      const table = await page.evaluate(() => OPTIONS);
      const hex = (rgb) => rgb.split(',').map((c) => Number(c).toString(16).padStart(2, '0')).join('');
      for (const entry of Object.values(table)) {
        const values = {
          whole: [entry.min, entry.max], number: [entry.min, entry.max],
          length: [entry.min, entry.max, `${entry.minPercent}%`, `${entry.maxPercent}%`],
          choice: entry.choices, flag: ['0', '1'], colour: ['0,0,0', '255,255,255'],
          centre: [`${entry.minPercent}%,${entry.maxPercent}%`, '0,0'],
        }[entry.kind].map(String);
        const geometry = entry.scope === 'classic' ? 'classic' : 'fitted';
        const wrong = [];
        for (const value of [entry.default, entry.classicDefault, ...values]) {
          const given = entry.name === 'geometry' ? `geometry=${value}` : `geometry=${geometry}&${entry.name}=${value}`;
          await page.goto(`${origin}/index.html?build=${build}&${given.replace(/%/g, '%25')}`);
          await page.waitForFunction(() => document.body.dataset.addressRead, { timeout: 30000 });
          const read = await page.evaluate(() => ({
            notes: [...document.querySelectorAll('#notice-list li')].map((e) => e.textContent),
            query: location.search.slice(1),
          }));
          const kept = new URLSearchParams(read.query).get(entry.name);
          const def = geometry === 'classic' || value === 'classic' ? entry.classicDefault : entry.default;
          const want = value === def && entry.name !== 'geometry' ? null : entry.kind === 'colour' ? hex(value) : value;
          if (read.notes.length || kept !== want) wrong.push(`${given}: kept ${kept}, notes ${read.notes.join(' | ')}`);
        }
        check(wrong.length === 0, `${build}: address option ${entry.name} (${entry.kind}) takes its default and limits`, wrong.join('; '));
      }

      // The first page's names still work this release, each with a note
      // that gives the option's name; the address is rewritten with it.
      const former = [['width', 'border-width', '3'], ['colour', 'border-colour', 'ff0000'], ['outer', 'shade-outer', '2'],
        ['inner', 'shade-inner', '0.5'], ['ccw', 'shade-ccw', '1'], ['cw', 'shade-cw', '0'], ['center', 'centre', '10%,20%']];
      await page.goto(`${origin}/index.html?build=${build}&geometry=fitted&${former.map(([o, , v]) => `${o}=${v}`).join('&')}`);
      state = await settled(page);
      const notes = await page.$$eval('#notice-list li', (li) => li.map((e) => e.textContent));
      const q = new URLSearchParams(state.query);
      check(former.every(([o, n, v]) => notes.some((t) => t.includes(`“${o}”`) && t.includes(`“${n}”`)) && q.get(n) === v && !q.has(o)),
        `${build}: old address names are read, with a note naming the new one, and rewritten`, `${notes.join(' | ')}; ${state.query}`);
      const named = ['-w', '3', '--border-colour', '255,0,0', '--shade-outer', '2', '--shade-inner', '0.5', '--shade-ccw', '1',
        '--shade-cw', '0', '--centre', '10%,20%'];
      check(state.checksum === toolChecksum(null, named), `${build}: and the result is polarmosaic ${named.join(' ')}`, state.checksum);
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
