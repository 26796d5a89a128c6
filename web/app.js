// app.js - the page: settings (controls and address), pictures in, frames
// out. The effect itself runs in worker.js.
'use strict';

// The tool's defaults. Geometry defaults to fitted where the build has it.
const DEFAULTS = {
  geometry: 'fitted', sectors: 36, ring: 28, border: 'grid', width: 5,
  colour: '#303030', outer: 3, inner: 0.3, ccw: 3, cw: 0.3, split: false,
};
const NUMERIC = ['sectors', 'ring', 'width', 'outer', 'inner', 'ccw', 'cw'];
const INTEGER = ['sectors', 'width'];
const CHOICES = { geometry: ['fitted', 'classic'], border: ['grid', 'rings', 'spokes', 'none'] };

const $ = (id) => document.getElementById(id);
const ui = {
  after: $('after'), before: $('before'), stage: $('stage'), divider: $('divider'),
  dropHint: $('drop-hint'), compare: $('compare'), checksum: $('checksum'),
  pictureInfo: $('picture-info'), frameInfo: $('frame-info'), error: $('error'),
  file: $('file'), demo: $('demo'), format: $('format'), download: $('download'),
  reset: $('reset'), copyLink: $('copy-link'), toolCommand: $('tool-command'),
  geometry: $('geometry'), split: $('split'), border: $('border'), colour: $('colour'),
};

let settings = { ...DEFAULTS };
let geometries = ['classic'];
let buildName = '';
let picture = { name: 'built-in picture', demo: true, width: 0, height: 0, loaded: false };
let worker = null;
let busy = false;      // a render request is in the worker
let pending = false;   // settings changed while it was busy
let nextId = 1;

// ------------------------------------------------------------- settings

function clampNumber(key, value) {
  const box = $(`${key}-n`);
  let v = Number(value);
  if (!Number.isFinite(v)) return DEFAULTS[key];
  v = Math.min(Number(box.max), Math.max(Number(box.min), v));
  return INTEGER.includes(key) ? Math.round(v) : v;
}

function fromQuery(query) {
  const s = { ...DEFAULTS };
  const params = new URLSearchParams(query);
  for (const key of NUMERIC) if (params.has(key)) s[key] = clampNumber(key, params.get(key));
  for (const key of Object.keys(CHOICES)) {
    if (CHOICES[key].includes(params.get(key))) s[key] = params.get(key);
  }
  const colour = params.get('colour');
  if (colour && /^#?[0-9a-fA-F]{6}$/.test(colour)) s.colour = `#${colour.replace('#', '').toLowerCase()}`;
  if (params.has('split')) s.split = params.get('split') === '1';
  return s;
}

// Geometry always (its default may change); everything else when it differs
// from the default.
function toQuery(s) {
  const params = new URLSearchParams();
  params.set('geometry', s.geometry);
  const forced = new URLSearchParams(location.search).get('build');
  if (forced) params.set('build', forced);
  for (const key of Object.keys(DEFAULTS)) {
    if (key === 'geometry' || s[key] === DEFAULTS[key]) continue;
    if (key === 'split') params.set(key, s.split ? '1' : '0');
    else if (key === 'colour') params.set(key, s.colour.slice(1));
    else params.set(key, String(s[key]));
  }
  return params.toString();
}

// The split is an option of the classic geometry only.
function showSplitState() {
  ui.split.disabled = settings.geometry !== 'classic';
}

function showSettings(s) {
  for (const key of NUMERIC) {
    $(key).value = String(s[key]);
    $(`${key}-n`).value = String(s[key]);
  }
  ui.geometry.value = s.geometry;
  ui.border.value = s.border;
  ui.colour.value = s.colour;
  ui.split.checked = s.split;
  showSplitState();
}

function toolCommand(s) {
  const args = ['polarmosaic'];
  if (geometries.includes('fitted') && s.geometry === 'classic') args.push('--classic');
  args.push('-s', s.sectors, '-r', s.ring, '-b', s.border, '-w', s.width, '-c', `'${s.colour}'`,
    '--shade-outer', s.outer, '--shade-inner', s.inner, '--shade-ccw', s.ccw, '--shade-cw', s.cw);
  if (s.split && s.geometry === 'classic') args.push('--split');
  const quoted = `'${picture.name.replace(/'/g, "'\\''")}'`;
  args.push('--checksum', ...(picture.demo ? ['--demo'] : [quoted]), 'mosaic.png');
  return args.join(' ');
}

// The address follows the settings a moment later: browsers ignore
// replaceState calls that come faster than a few hundred a minute.
let addressTimer = 0;
function settingsChanged() {
  clearTimeout(addressTimer);
  addressTimer = setTimeout(() => {
    history.replaceState(null, '', `${location.pathname}?${toQuery(settings)}`);
  }, 150);
  ui.toolCommand.textContent = toolCommand(settings);
  requestRender();
}

function bindControls() {
  for (const key of NUMERIC) {
    const range = $(key);
    const box = $(`${key}-n`);
    range.addEventListener('input', () => {
      settings[key] = clampNumber(key, range.value);
      box.value = String(settings[key]);
      settingsChanged();
    });
    box.addEventListener('change', () => {
      settings[key] = clampNumber(key, box.value);
      box.value = String(settings[key]);
      range.value = String(settings[key]);
      settingsChanged();
    });
  }
  for (const key of ['geometry', 'border']) {
    ui[key].addEventListener('change', () => {
      settings[key] = ui[key].value;
      showSplitState();
      settingsChanged();
    });
  }
  ui.colour.addEventListener('input', () => { settings.colour = ui.colour.value; settingsChanged(); });
  ui.split.addEventListener('change', () => { settings.split = ui.split.checked; settingsChanged(); });
  ui.reset.addEventListener('click', () => {
    settings = { ...DEFAULTS, geometry: geometries.includes('fitted') ? 'fitted' : 'classic' };
    showSettings(settings);
    settingsChanged();
  });
  ui.copyLink.addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText(location.href);
      ui.copyLink.textContent = 'Link copied';
    } catch {
      ui.copyLink.textContent = 'Copy failed: use the address bar';
    }
    setTimeout(() => { ui.copyLink.textContent = 'Copy link to these settings'; }, 2000);
  });
  ui.compare.addEventListener('input', showCompare);
  ui.download.addEventListener('click', download);
  document.getElementById('controls').addEventListener('submit', (e) => e.preventDefault());
}

// ------------------------------------------------------------- pictures

function showError(message) {
  ui.error.hidden = !message;
  ui.error.textContent = message || '';
}

function call(msg, transfer = []) {
  return new Promise((resolve, reject) => {
    const listener = (event) => {
      if (event.data.type !== msg.type) return;
      worker.removeEventListener('message', listener);
      if (event.data.ok) resolve(event.data);
      else reject(new Error(event.data.message));
    };
    worker.addEventListener('message', listener);
    worker.postMessage(msg, transfer);
  });
}

function sizeCanvases(w, h) {
  for (const canvas of [ui.after, ui.before]) {
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
    }
  }
}

async function setPicture(msg, transfer, name) {
  // A render in flight belongs to the old picture: wait for it.
  while (busy) await new Promise((r) => setTimeout(r, 5));
  busy = true;
  try {
    const reply = await call({ type: 'picture', ...msg }, transfer);
    picture = { name, demo: Boolean(msg.demo), width: reply.width, height: reply.height, loaded: true };
    ui.toolCommand.textContent = toolCommand(settings);
    sizeCanvases(reply.width, reply.height);
    ui.before.getContext('2d').putImageData(
      new ImageData(new Uint8ClampedArray(reply.pixels), reply.width, reply.height), 0, 0);
    ui.pictureInfo.textContent = `${name}, ${reply.width} × ${reply.height}`;
    showError('');
  } catch (error) {
    showError(`${name}: ${error.message}`);
  } finally {
    busy = false;
  }
  pending = false;
  requestRender();
}

async function openFile(file) {
  if (!file) return;
  let bitmap;
  try {
    // Pixels as the file stores them: no premultiplication, no conversion
    // between colour spaces; EXIF orientation applied.
    bitmap = await createImageBitmap(file, { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
  } catch {
    showError(`${file.name}: the browser cannot decode this file as a picture`);
    return;
  }
  const { width: w, height: h } = bitmap;
  if (w < 2 || h < 2 || w > 32752 || h > 32767) {
    showError(`${file.name}: ${w} × ${h} pixels; the effect takes 2 × 2 up to 32752 × 32767`);
    bitmap.close();
    return;
  }
  const canvas = new OffscreenCanvas(w, h);
  const ctx = canvas.getContext('2d', { willReadFrequently: true });
  ctx.drawImage(bitmap, 0, 0);
  bitmap.close();
  const pixels = ctx.getImageData(0, 0, w, h).data.buffer;
  await setPicture({ width: w, height: h, pixels }, [pixels], file.name);
}

function bindPictureInput() {
  ui.file.addEventListener('change', () => openFile(ui.file.files[0]));
  ui.demo.addEventListener('click', () => setPicture({ width: 800, height: 600, demo: true }, [], 'built-in picture'));
  const stage = ui.stage;
  const over = (on) => { stage.classList.toggle('dragover', on); ui.dropHint.hidden = !on; };
  stage.addEventListener('dragover', (e) => { e.preventDefault(); over(true); });
  stage.addEventListener('dragleave', () => over(false));
  stage.addEventListener('drop', (e) => {
    e.preventDefault();
    over(false);
    openFile(e.dataTransfer.files[0]);
  });
  // Also accept a drop anywhere else on the page.
  document.addEventListener('dragover', (e) => e.preventDefault());
  document.addEventListener('drop', (e) => { e.preventDefault(); openFile(e.dataTransfer.files[0]); });
}

// ------------------------------------------------------------- frames

// At most one request in the worker; changes made meanwhile collapse into
// one follow-up request with the latest settings, so frames for settings
// already left behind are never computed.
function requestRender() {
  if (!picture.loaded || !worker) return;
  if (busy) { pending = true; return; }
  busy = true;
  pending = false;
  const query = toQuery(settings);
  const s = { ...settings, colour: hexToRgb(settings.colour) };
  document.body.dataset.busy = '1';
  call({ type: 'render', id: nextId++, settings: s, query }).then((reply) => {
    ui.after.getContext('2d').putImageData(
      new ImageData(new Uint8ClampedArray(reply.pixels), reply.width, reply.height), 0, 0);
    ui.checksum.textContent = reply.checksum;
    ui.frameInfo.textContent = `${reply.ms.toFixed(1)} ms in the worker (${buildName} build)`;
    document.body.dataset.rendered = reply.query;
    showError('');
  }, (error) => {
    ui.checksum.textContent = '—';
    showError(error.message);
  }).finally(() => {
    busy = false;
    if (pending) requestRender();
    else delete document.body.dataset.busy;
  });
}

function hexToRgb(hex) {
  return [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16));
}

function showCompare() {
  const v = Number(ui.compare.value);
  ui.before.style.clipPath = `inset(0 ${100 - v}% 0 0)`;
  ui.divider.style.display = v > 0 && v < 100 ? 'block' : 'none';
  ui.divider.style.left = `${v}%`;
}

function download() {
  const type = ui.format.value;
  const ext = type === 'image/png' ? 'png' : 'jpg';
  const base = picture.name.replace(/\.[^.]*$/, '').replace(/[^\w.-]+/g, '-') || 'picture';
  ui.after.toBlob((blob) => {
    if (!blob) { showError('the browser could not encode the picture'); return; }
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = `${base}-mosaic.${ext}`;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  }, type, 0.92);
}

// ------------------------------------------------------------- start

// 128-bit SIMD: a module with one i8x16 instruction validates only where
// the engine has it.
const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3,
  2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]);

function chooseBuild() {
  const forced = new URLSearchParams(location.search).get('build');
  if (forced === 'scalar' || forced === 'simd128') return forced;
  return WebAssembly.validate(SIMD_PROBE) ? 'simd128' : 'scalar';
}

async function startWorker(build) {
  const w = new Worker('worker.js');
  worker = w;
  const reply = await call({ type: 'init', build });
  return reply;
}

// Frame times of one build at one size, for the benchmark script: start
// (a worker of its own, warm-up frames), run (timed frames), stop.
let benchWorker = null;
function benchAsk(msg) {
  return new Promise((resolve, reject) => {
    benchWorker.onmessage = (e) => (e.data.ok ? resolve(e.data) : reject(new Error(e.data.message)));
    benchWorker.postMessage(msg);
  });
}
let benchGeometry = 'classic';
const benchSettings = () => ({ ...DEFAULTS, geometry: benchGeometry, colour: hexToRgb(DEFAULTS.colour) });
window.polarmosaicBenchStart = async (build, width, height, reuse = true, warmup = 5, geometry = 'classic') => {
  if (benchWorker) benchWorker.terminate();
  benchGeometry = geometry;
  benchWorker = new Worker('worker.js');
  await benchAsk({ type: 'init', build });
  await benchAsk({ type: 'benchSetup', width, height, reuse, warmup, settings: benchSettings() });
};
window.polarmosaicBenchRun = (frames) => benchAsk({ type: 'bench', frames, settings: benchSettings() });
window.polarmosaicBenchStop = () => {
  if (benchWorker) benchWorker.terminate();
  benchWorker = null;
};

async function start() {
  bindControls();
  bindPictureInput();
  showCompare();
  buildName = chooseBuild();
  try {
    const info = await startWorker(buildName);
    geometries = info.geometries;
  } catch (error) {
    showError(`could not start the effect: ${error.message}`);
    return;
  }
  for (const option of ui.geometry.options) {
    if (!geometries.includes(option.value)) {
      option.disabled = true;
      option.textContent += ' (not in this build)';
    }
  }
  if (!geometries.includes(DEFAULTS.geometry)) DEFAULTS.geometry = 'classic';
  settings = fromQuery(location.search);
  if (!geometries.includes(settings.geometry)) settings.geometry = DEFAULTS.geometry;
  showSettings(settings);
  history.replaceState(null, '', `${location.pathname}?${toQuery(settings)}`);
  ui.toolCommand.textContent = toolCommand(settings);
  await setPicture({ width: 800, height: 600, demo: true }, [], 'built-in picture');
  if ('serviceWorker' in navigator && location.protocol !== 'file:') {
    navigator.serviceWorker.register('sw.js').catch(() => {});
  }
}

start();
