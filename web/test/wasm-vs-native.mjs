// wasm-vs-native.mjs - both WebAssembly builds (run by node's V8, the
// engine of Chromium) against the native tool, over many picture sizes and
// random settings: the result checksums must be equal, so the pixels are.
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
const toolHasGeometry = execFileSync(tool, ['--help']).toString().includes('--classic');

const GEOMETRY = { classic: 0, fitted: 1 };
const BORDER = { none: 1, grid: 2, rings: 3, spokes: 4 };

function instantiate(build) {
  const module = new WebAssembly.Module(fs.readFileSync(path.join(site, `polarmosaic-${build}.wasm`)));
  const instance = new WebAssembly.Instance(module, { env: { now_ms: () => performance.now() } });
  instance.exports._initialize();
  return instance.exports;
}

function cString(wasm, ptr) {
  const bytes = new Uint8Array(wasm.memory.buffer);
  let end = ptr;
  while (bytes[end] !== 0) end++;
  return Buffer.from(bytes.subarray(ptr, end)).toString('latin1');
}

function wasmLoad(wasm, width, height, rgb) {
  const ptr = wasm.pm_input(width, height);
  if (!ptr) throw new Error(cString(wasm, wasm.pm_error()));
  const rgba = new Uint8Array(wasm.memory.buffer, ptr, width * height * 4);
  for (let i = 0; i < width * height; i++) {
    rgba.set(rgb.subarray(i * 3, i * 3 + 3), i * 4);
    rgba[i * 4 + 3] = 255;
  }
}

// After the first render of a picture, later ones start from the kept
// forward pass, as in a live preview.
function wasmChecksum(wasm, s) {
  const ok = wasm.pm_render(GEOMETRY[s.geometry], s.sectors, s.ring, BORDER[s.border], s.width,
    s.colour[0], s.colour[1], s.colour[2], s.outer, s.inner, s.ccw, s.cw, s.split ? 1 : 0);
  return ok ? cString(wasm, wasm.pm_checksum()) : `refused: ${cString(wasm, wasm.pm_error())}`;
}

function toolChecksum(input, s) {
  const argv = [...(toolHasGeometry && s.geometry === 'classic' ? ['--classic'] : []),
    '-s', String(s.sectors), '-r', String(s.ring), '-b', s.border, '-w', String(s.width),
    '-c', s.colour.join(','), '--shade-outer', String(s.outer), '--shade-inner', String(s.inner),
    '--shade-ccw', String(s.ccw), '--shade-cw', String(s.cw),
    // The split is a classic option; the fitted geometry refuses it.
    ...(s.geometry === 'classic' ? [s.split ? '--split' : '--no-split'] : []),
    '--checksum', '-Q', input, path.join(out, 'native.png')];
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
function randomSettings(geometry) {
  return {
    geometry,
    sectors: 1 + random(100),
    ring: (8 + random(800)) / 10,
    border: Object.keys(BORDER)[random(4)],
    width: random(21),
    colour: [random(256), random(256), random(256)],
    outer: random(600) / 100, inner: random(600) / 100, ccw: random(600) / 100, cw: random(600) / 100,
    split: random(2) === 1,
  };
}

const builds = { scalar: instantiate('scalar'), simd128: instantiate('simd128') };
const geometries = Object.keys(GEOMETRY).filter((g) => builds.scalar.pm_has_geometry(GEOMETRY[g]));
const sizes = [[2, 2], [3, 5], [17, 13], [100, 37], [37, 100], [257, 129], [641, 479]];
let passed = 0;
let failed = 0;
for (const [width, height] of sizes) {
  const rgb = testPicture(width, height, width * 7919 + height);
  const input = path.join(out, `native-input-${width}x${height}.png`);
  fs.writeFileSync(input, pngBytes(width, height, rgb));
  for (const wasm of Object.values(builds)) wasmLoad(wasm, width, height, rgb);
  for (const geometry of geometries) {
    for (let k = 0; k < 4; k++) {
      const s = randomSettings(geometry);
      const native = toolChecksum(input, s);
      for (const [build, wasm] of Object.entries(builds)) {
        const web = wasmChecksum(wasm, s);
        const same = web === native && !native.startsWith('refused');
        if (same) passed++;
        else failed++;
        if (!same) console.log(`FAIL ${build} ${width} x ${height} ${JSON.stringify(s)}: wasm ${web}, native ${native}`);
      }
    }
  }
}
console.log(`wasm against native: ${sizes.length} sizes, geometries ${geometries.join(', ')}, scalar and simd128`);
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
