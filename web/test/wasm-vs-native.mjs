// wasm-vs-native.mjs - both WebAssembly builds (run by node's V8, the
// engine of Chromium) against the native tool, over many picture sizes and
// random settings: the result checksums must be equal, so the pixels are.
// Settings are written once, as the tool's long options, and given to the
// tool as arguments and to the module as its settings text. Then: the
// fitted geometry's plan is rebuilt exactly when a geometry setting or the
// picture size changes, and the module keeps alpha (the tool does not).
//
//   node web/test/wasm-vs-native.mjs --tool build/default/tool/polarmosaic \
//        --site build/wasm/web/site --out build/wasm/web-test
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { pngBytes, testPicture } from './png.mjs';
import { commandOptions } from './options.mjs';

const args = commandOptions();
const tool = path.resolve(args.tool || 'build/default/tool/polarmosaic');
const site = path.resolve(args.site || 'build/wasm/web/site');
const out = path.resolve(args.out || 'build/wasm/web-test');
fs.mkdirSync(out, { recursive: true });

function instantiate(build) {
  const module = new WebAssembly.Module(fs.readFileSync(path.join(site, `polarmosaic-${build}.wasm`)));
  const wasi = {};
  for (const i of WebAssembly.Module.imports(module)) {
    if (i.module === 'wasi_snapshot_preview1') wasi[i.name] = () => 52;  // never called
  }
  const instance = new WebAssembly.Instance(module, {
    env: { now_ms: () => performance.now() }, wasi_snapshot_preview1: wasi,
  });
  instance.exports._initialize();
  return instance.exports;
}

function cString(wasm, ptr) {
  const bytes = new Uint8Array(wasm.memory.buffer);
  let end = ptr;
  while (bytes[end] !== 0) end++;
  return Buffer.from(bytes.subarray(ptr, end)).toString('latin1');
}

// RGB pixels (alpha 255) or RGBA pixels into the module.
function wasmLoad(wasm, width, height, pixels, channels = 3) {
  const ptr = wasm.pm_input(width, height);
  if (!ptr) throw new Error(cString(wasm, wasm.pm_error()));
  const rgba = new Uint8Array(wasm.memory.buffer, ptr, width * height * 4);
  for (let i = 0; i < width * height; i++) {
    rgba.set(pixels.subarray(i * channels, i * channels + 3), i * 4);
    rgba[i * 4 + 3] = channels === 4 ? pixels[i * 4 + 3] : 255;
  }
}

// Settings are [name, value] pairs of the tool's long options; the flags
// (hard-edges, split) take '1' or '0', the geometry 'fitted' or 'classic'.
function settingsText(settings) {
  return settings.map(([name, value]) => `${name}=${value}`).join('\n');
}
function toolArgs(settings) {
  const argv = [];
  for (const [name, value] of settings) {
    if (name === 'geometry') {
      if (value === 'classic') argv.push('--classic');
    } else if (name === 'hard-edges') {
      if (value === '1') argv.push(`--${name}`);
    } else if (name === 'split') {
      argv.push(value === '1' ? '--split' : '--no-split');
    } else {
      argv.push(`--${name}`, value);
    }
  }
  return argv;
}

// One frame; after the first on a picture, later fitted frames start from
// the kept plan, as in a live preview.
function wasmRender(wasm, settings) {
  const bytes = Buffer.from(settingsText(settings));
  new Uint8Array(wasm.memory.buffer, wasm.pm_settings_buffer(bytes.length), bytes.length).set(bytes);
  if (!wasm.pm_render()) return { checksum: `refused: ${cString(wasm, wasm.pm_error())}` };
  return { checksum: cString(wasm, wasm.pm_checksum()), output: wasm.pm_output() };
}

function toolChecksum(input, settings) {
  const argv = [...toolArgs(settings), '--checksum', '-Q', input, path.join(out, 'native.png')];
  try {
    return execFileSync(tool, argv, { stdio: ['ignore', 'pipe', 'pipe'] }).toString().slice(0, 16);
  } catch (error) {
    return `refused: ${error.stderr}`;
  }
}

let seed = 2024;
function random(n) {
  seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
  return Math.floor((seed >>> 8) / 2 ** 24 * n);  // high bits: the low ones cycle
}
// Lengths in pixels or per cent, borders, colours and shades in both
// geometries; the fitted one also an off-centre centre (pixels or per
// cent), any angle and hard edges.
function randomSettings(geometry, width, height) {
  const s = [['geometry', geometry], ['sectors', String(1 + random(100))],
    ['ring', random(2) ? `${(5 + random(200)) / 10}%` : String((8 + random(800)) / 10)],
    ['border', ['none', 'grid', 'rings', 'spokes'][random(4)]],
    ['border-width', random(2) ? `${random(300) / 100}%` : String(random(21))],
    ['border-colour', [random(256), random(256), random(256)].join(',')],
    ...['outer', 'inner', 'ccw', 'cw'].map((side) => [`shade-${side}`, String(random(600) / 100)])];
  if (geometry === 'classic') {
    s.push(['split', String(random(2))]);
  } else {
    const part = (size) => (random(2) ? `${random(1001) / 10}%` : String(random(2 * size - 1) / 2));
    if (random(4)) s.push(['centre', `${part(width)},${part(height)}`]);
    if (random(4)) s.push(['angle', String((random(1440000) - 720000) / 1000)]);
    if (random(2)) s.push(['hard-edges', '1']);
  }
  return s;
}

let passed = 0;
let failed = 0;
function check(ok, what) {
  if (ok) passed++;
  else failed++;
  if (!ok) console.log(`FAIL ${what}`);
}

const builds = { scalar: instantiate('scalar'), simd128: instantiate('simd128') };
const geometries = ['classic', 'fitted'];
const pictures = {};
function picture(width, height) {
  const key = `${width}x${height}`;
  if (!pictures[key]) {
    const rgb = testPicture(width, height, width * 7919 + height);
    const input = path.join(out, `native-input-${key}.png`);
    fs.writeFileSync(input, pngBytes(width, height, rgb));
    pictures[key] = { rgb, input };
  }
  return pictures[key];
}

// ------------------------------------------------ random settings, many sizes

const sizes = [[2, 2], [3, 5], [17, 13], [100, 37], [37, 100], [257, 129], [641, 479]];
const casesPerGeometry = { classic: 4, fitted: 8 };
let compared = 0;
for (const [width, height] of sizes) {
  const { rgb, input } = picture(width, height);
  for (const wasm of Object.values(builds)) wasmLoad(wasm, width, height, rgb);
  for (const geometry of geometries) {
    for (let k = 0; k < casesPerGeometry[geometry]; k++) {
      const s = randomSettings(geometry, width, height);
      const native = toolChecksum(input, s);
      for (const [build, wasm] of Object.entries(builds)) {
        const web = wasmRender(wasm, s).checksum;
        compared++;
        check(web === native && !native.startsWith('refused'),
          `${build} ${width} x ${height} ${JSON.stringify(s)}: wasm ${web}, native ${native}`);
      }
    }
  }
}
console.log(`wasm against native: ${sizes.length} sizes, geometries ${geometries.join(', ')}, scalar and simd128: ${compared} comparisons`);

// ------------------------------------------------ the plan is kept

// Each step changes the settings or the picture; the plan must be built
// again exactly when the picture size or a geometry setting changed, and
// every frame must still equal the tool's.
{
  const base = [['sectors', '24'], ['ring', '7%'], ['border-width', '1%'], ['centre', '40%,55%'], ['angle', '10']];
  const replace = (name, value) => [...base.filter(([n]) => n !== name), [name, value]];
  const steps = [
    ['first frame', [257, 129], base, true],
    ['same settings', [257, 129], base, false],
    ['colour and shades', [257, 129], [...base, ['border-colour', '200,10,10'], ['shade-outer', '1.5'], ['shade-cw', '0']], false],
    ['classic frame in between', [257, 129], [['geometry', 'classic']], false],
    ['back to the fitted settings', [257, 129], base, false],
    ['another picture of the same size', [257, 129, 'other'], base, false],
    ['sectors', [257, 129], replace('sectors', '25'), true],
    ['ring', [257, 129], replace('ring', '20'), true],
    ['border width', [257, 129], replace('border-width', '3'), true],
    ['border style', [257, 129], [...base, ['border', 'rings']], true],
    ['centre', [257, 129], replace('centre', '10,20'), true],
    ['angle', [257, 129], replace('angle', '-30.5'), true],
    ['hard edges', [257, 129], [...base, ['hard-edges', '1']], true],
    ['the same settings again', [257, 129], [...base, ['hard-edges', '1']], false],
    ['another size', [129, 257], [...base, ['hard-edges', '1']], true],
  ];
  for (const [build, wasm] of Object.entries(builds)) {
    let loaded = '';
    for (const [what, [width, height, variant], s, rebuild] of steps) {
      const key = `${width}x${height}${variant || ''}`;
      const pic = variant ? (() => {
        const rgb = testPicture(width, height, 99);
        const input = path.join(out, `native-input-${key}.png`);
        fs.writeFileSync(input, pngBytes(width, height, rgb));
        return { rgb, input };
      })() : picture(width, height);
      if (key !== loaded) wasmLoad(wasm, width, height, pic.rgb);
      loaded = key;
      const before = wasm.pm_plan_builds();
      const web = wasmRender(wasm, s).checksum;
      const builtNow = wasm.pm_plan_builds() - before;
      check(builtNow === (rebuild ? 1 : 0), `${build} plan: ${what}: ${builtNow} plans built, expected ${rebuild ? 1 : 0}`);
      const native = toolChecksum(pic.input, s);
      check(web === native, `${build} plan: ${what}: wasm ${web}, native ${native}`);
    }
  }
  console.log(`plan kept and rebuilt: ${steps.length} steps, scalar and simd128`);
}

// ------------------------------------------------ alpha (fitted geometry)

// The tool lays alpha over white, so alpha is checked against the module's
// own opaque result, which equals the tool's:
//  - an opaque RGBA picture gives alpha 255 everywhere;
//  - a picture of one alpha A keeps A everywhere (no lines drawn: lines are
//    opaque), and its colours are the opaque picture's (a mean weighted by
//    one alpha is the plain mean), so its checksum is the tool's;
//  - a picture with a fully transparent part: that part stays transparent,
//    and no pixel that is not fully transparent depends on the colours
//    under alpha 0 (they weigh nothing in a tile).
{
  const alphaCases = [
    [[100, 37], [['border', 'none']]],
    [[257, 129], [['border', 'none'], ['centre', '20%,70%'], ['angle', '33'], ['ring', '9%']]],
    [[257, 129], [['sectors', '12'], ['border-width', '2%'], ['hard-edges', '1']]],
    [[641, 479], [['ring', '3%'], ['centre', '500,100']]],
  ];
  const alphaOf = (wasm, ptr, n) => {
    const rgba = new Uint8Array(wasm.memory.buffer, ptr, n * 4);
    return Uint8Array.from({ length: n }, (_, i) => rgba[i * 4 + 3]);
  };
  for (const [build, wasm] of Object.entries(builds)) {
    for (const [[width, height], s] of alphaCases) {
      const n = width * height;
      const { rgb, input } = picture(width, height);
      const what = `${build} alpha ${width} x ${height} ${JSON.stringify(s)}`;
      const noLines = s.some(([name, value]) => name === 'border' && value === 'none');
      const rgba = (alpha, colour = (i, c) => rgb[i * 3 + c]) =>
        Uint8Array.from({ length: n * 4 }, (_, j) => (j % 4 === 3 ? alpha(j >> 2) : colour(j >> 2, j % 4)));

      wasmLoad(wasm, width, height, rgba(() => 255), 4);
      const opaque = wasmRender(wasm, s);
      check(opaque.checksum === toolChecksum(input, s), `${what}: opaque RGBA equals the tool's RGB result`);
      check(alphaOf(wasm, opaque.output, n).every((a) => a === 255), `${what}: opaque RGBA stays opaque`);

      if (noLines) {
        wasmLoad(wasm, width, height, rgba(() => 77), 4);
        const even = wasmRender(wasm, s);
        check(even.checksum === opaque.checksum, `${what}: alpha 77 everywhere: colours ${even.checksum}, opaque ${opaque.checksum}`);
        check(alphaOf(wasm, even.output, n).every((a) => a === 77), `${what}: alpha 77 everywhere is kept`);
      }

      // Transparent in the left 40% of the columns, with two different
      // colourings there: every pixel that is not fully transparent must
      // come out the same.
      const clear = (i) => (i % width) < Math.floor(width * 0.4);
      const holed = [(i, c) => 255 - rgb[i * 3 + c], (i, c) => (i * 97 + c * 31) & 255].map((under) => {
        wasmLoad(wasm, width, height, rgba((i) => (clear(i) ? 0 : 255), (i, c) => (clear(i) ? under(i, c) : rgb[i * 3 + c])), 4);
        return new Uint8Array(wasm.memory.buffer, wasmRender(wasm, s).output, n * 4).slice();
      });
      let transparent = 0;
      let opaque255 = 0;
      let differ = 0;
      for (let i = 0; i < n; i++) {
        const a = holed[0][i * 4 + 3];
        if (a === 0) transparent++;
        if (a === 255) opaque255++;
        if (a === 0 && holed[1][i * 4 + 3] === 0) continue;
        for (let c = 0; c < 4; c++) if (holed[0][i * 4 + c] !== holed[1][i * 4 + c]) differ++;
      }
      // Columns well inside the transparent part hold whole tiles.
      check(transparent > n / 10 && opaque255 > n / 4 && differ === 0,
        `${what}: transparent part: ${transparent} pixels clear, ${opaque255} opaque, ${differ} bytes depend on the colours under alpha 0`);
    }
  }
  console.log(`alpha kept: ${alphaCases.length} pictures, scalar and simd128`);
}

// ------------------------------------------------ alpha (classic geometry)

// The classic geometry lays alpha over white, as the tool does with the same
// RGBA PNG: the checksums must be equal and the result opaque. Alpha in
// steps across the picture, every value from 0 to 255 on the larger one.
{
  let cases = 0;
  for (const [width, height] of [[100, 37], [257, 129]]) {
    const n = width * height;
    const { rgb } = picture(width, height);
    const rgba = Uint8Array.from({ length: n * 4 }, (_, j) => (j % 4 === 3 ? (j >> 2) % 256 : rgb[(j >> 2) * 3 + (j % 4)]));
    const input = path.join(out, `native-input-alpha-${width}x${height}.png`);
    fs.writeFileSync(input, pngBytes(width, height, rgba, 4));
    for (const s of [[['geometry', 'classic']], [['geometry', 'classic'], ['sectors', '7'], ['border-width', '3']]]) {
      for (const [build, wasm] of Object.entries(builds)) {
        wasmLoad(wasm, width, height, rgba, 4);
        const r = wasmRender(wasm, s);
        const native = toolChecksum(input, s);
        check(r.checksum === native, `${build} classic alpha ${width} x ${height} ${JSON.stringify(s)}: wasm ${r.checksum}, native ${native}`);
        const out4 = new Uint8Array(wasm.memory.buffer, r.output, n * 4);
        check(out4.every((v, j) => j % 4 !== 3 || v === 255), `${build} classic alpha ${width} x ${height}: the result is opaque`);
        cases++;
      }
    }
  }
  console.log(`classic alpha laid over white: ${cases} cases`);
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
