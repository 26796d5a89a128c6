// app.js - the page: settings (controls and address), pictures in, frames
// out. The effect itself runs in worker.js.
'use strict';

// Settings by the tool's long option names (also the address's parameter
// names). Their defaults come from the module (the host layer's), once the
// worker has started; ring and border-width '' mean the geometry's default.
let DEFAULTS = null;
let HOST = {};  // the module's defaults as it gives them (pm_defaults)
const NUMERIC = ['sectors', 'angle', 'shade-outer', 'shade-inner', 'shade-ccw', 'shade-cw'];
const INTEGER = ['sectors'];
const LENGTHS = ['ring', 'border-width'];
const CHOICES = { geometry: ['fitted', 'classic'], border: ['grid', 'rings', 'spokes', 'none'] };
const FLAGS = ['split', 'hard-edges'];
const FITTED_ONLY = ['centre', 'angle', 'hard-edges'];
const CLASSIC_ONLY = ['split'];
// Earlier names of the address's parameters, still read.
const FORMER_NAMES = {
  width: 'border-width', colour: 'border-colour', 'border-color': 'border-colour', center: 'centre',
  outer: 'shade-outer', inner: 'shade-inner', ccw: 'shade-ccw', cw: 'shade-cw',
};
// Number box limits and slider ranges of the lengths, by unit (the tool's
// limits: rings up to 200% or 65535 pixels, lines up to 100% or 1024 whole
// pixels).
const LENGTH_LIMITS = {
  ring: {
    '%': { min: 0.1, max: 200, step: 0.1, slider: [0.5, 25] },
    px: { min: 0.8, max: 65535, step: 0.1, slider: [1, 200] },
  },
  'border-width': {
    '%': { min: 0, max: 100, step: 0.05, slider: [0, 3] },
    px: { min: 0, max: 1024, step: 1, slider: [0, 40] },
  },
};

const $ = (id) => document.getElementById(id);
const ui = {
  after: $('after'), before: $('before'), stage: $('stage'), divider: $('divider'),
  dropHint: $('drop-hint'), compare: $('compare'), checksum: $('checksum'),
  pictureInfo: $('picture-info'), frameInfo: $('frame-info'), error: $('error'),
  file: $('file'), demo: $('demo'), format: $('format'), download: $('download'),
  reset: $('reset'), copyLink: $('copy-link'), toolCommand: $('tool-command'),
  geometry: $('geometry'), split: $('split'), border: $('border'), colour: $('border-colour'),
  centreX: $('centre-x'), centreY: $('centre-y'), hardEdges: $('hard-edges'),
  centreMark: $('centre-mark'),
};

let settings = null;
let geometries = ['classic'];
let buildName = '';
let picture = { name: 'built-in picture', demo: true, width: 0, height: 0, loaded: false };
let result = null;     // the last frame: { width, height, pixels (RGBA) }
let worker = null;
let busy = false;      // a render request is in the worker
let pending = false;   // settings changed while it was busy
let nextId = 1;

// ------------------------------------------------------------- settings

const decimals = (step) => (String(step).split('.')[1] || '').length;
const roundTo = (v, step) => Number(v.toFixed(decimals(step)));

function clampNumber(key, value) {
  const box = $(`${key}-n`);
  let v = Number(value);
  if (!Number.isFinite(v)) return DEFAULTS[key];
  v = Math.min(Number(box.max), Math.max(Number(box.min), v));
  return INTEGER.includes(key) ? Math.round(v) : v;
}

// A length as the tool writes it ("4%" or "28") from a value in a unit,
// clamped to that unit's limits.
function lengthText(key, value, unit) {
  const limits = LENGTH_LIMITS[key][unit];
  let v = Number(value);
  if (!Number.isFinite(v)) v = limits.min;
  v = roundTo(Math.min(limits.max, Math.max(limits.min, v)), limits.step);
  return unit === '%' ? `${v}%` : String(v);
}

function parseLength(key, text) {
  const m = /^(\d+(?:\.\d+)?)(%?)$/.exec(String(text).trim());
  return m ? lengthText(key, m[1], m[2] ? '%' : 'px') : '';
}

// The length in force: the setting, or the geometry's default.
function lengthOf(s, key) {
  return s[key] || (s.geometry === 'classic' ? HOST[`classic-${key}`] : HOST[key]);
}

// "X,Y" as the tool takes it (each part pixels or per cent), per cent
// parts clamped to 0 .. 100; null when it is not that.
function parseCentre(text) {
  const parts = String(text).split(',');
  if (parts.length !== 2) return null;
  const out = [];
  for (const part of parts) {
    const m = /^(\d+(?:\.\d+)?)(%?)$/.exec(part.trim());
    if (!m) return null;
    out.push(m[2] ? `${Math.min(100, Number(m[1]))}%` : String(Number(m[1])));
  }
  return out.join(',');
}

// Per cent of the way across of one centre part, on an axis of size pixels.
function centrePercent(part, size) {
  if (part.endsWith('%')) return Number(part.slice(0, -1));
  return size > 1 ? (100 * Number(part)) / (size - 1) : 50;
}

// The shortest per cent text that puts the centre on pixel p of an axis of
// size pixels, as the host resolves it (p% of size - 1, to half pixels).
function percentForPixel(p, size) {
  for (let d = 0; d <= 8; d++) {
    const text = ((100 * p) / (size - 1)).toFixed(d);
    if (Math.round(2 * ((Number(text) / 100) * (size - 1))) === 2 * p) return `${Number(text)}%`;
  }
  return `${(100 * p) / (size - 1)}%`;
}

function fromQuery(query) {
  const s = { ...DEFAULTS };
  const params = new URLSearchParams(query);
  for (const [former, name] of Object.entries(FORMER_NAMES)) {
    if (params.has(former) && !params.has(name)) params.set(name, params.get(former));
  }
  for (const key of NUMERIC) if (params.has(key)) s[key] = clampNumber(key, params.get(key));
  for (const key of LENGTHS) if (params.has(key)) s[key] = parseLength(key, params.get(key));
  for (const key of Object.keys(CHOICES)) {
    if (CHOICES[key].includes(params.get(key))) s[key] = params.get(key);
  }
  const colour = params.get('border-colour');
  if (colour && /^#?[0-9a-fA-F]{6}$/.test(colour)) {
    s['border-colour'] = `#${colour.replace('#', '').toLowerCase()}`;
  }
  for (const key of FLAGS) if (params.has(key)) s[key] = params.get(key) === '1';
  if (params.has('centre')) s.centre = parseCentre(params.get('centre')) || DEFAULTS.centre;
  for (const key of LENGTHS) if (s[key] === lengthOf({ geometry: s.geometry }, key)) s[key] = '';
  return s;
}

// The settings in force in the geometry (the other geometry's options
// are left out).
function activeKeys(s) {
  return Object.keys(DEFAULTS).filter((key) => key !== 'geometry'
    && !(s.geometry === 'classic' && FITTED_ONLY.includes(key))
    && !(s.geometry !== 'classic' && CLASSIC_ONLY.includes(key)));
}

// Geometry always (its default may change); everything else when it differs
// from the default.
function toQuery(s) {
  const params = new URLSearchParams();
  params.set('geometry', s.geometry);
  const forced = new URLSearchParams(location.search).get('build');
  if (forced) params.set('build', forced);
  for (const key of activeKeys(s)) {
    if (s[key] === DEFAULTS[key]) continue;
    if (FLAGS.includes(key)) params.set(key, s[key] ? '1' : '0');
    else if (key === 'border-colour') params.set(key, s[key].slice(1));
    else params.set(key, String(s[key]));
  }
  return params.toString();
}

// The module's settings text for s (defaults left to the module).
function settingsText(s) {
  const lines = [`classic=${s.geometry === 'classic' ? 1 : 0}`];
  for (const key of activeKeys(s)) {
    if (key === 'border-colour') lines.push(`${key}=${hexToRgb(s[key]).join(',')}`);
    else if (FLAGS.includes(key)) lines.push(`${key}=${s[key] ? 1 : 0}`);
    else if (s[key] !== '') lines.push(`${key}=${s[key]}`);
  }
  return lines.join('\n');
}

// Options of one geometry only are disabled in the other.
function showGeometryState() {
  const classic = settings.geometry === 'classic';
  ui.split.disabled = !classic;
  for (const id of ['centre-x', 'centre-y', 'angle', 'angle-n', 'hard-edges']) $(id).disabled = classic;
  showCentreMark();
}

function showLength(key, text) {
  const unit = text.endsWith('%') ? '%' : 'px';
  const limits = LENGTH_LIMITS[key][unit];
  const range = $(key);
  const box = $(`${key}-n`);
  [range.min, range.max] = limits.slider.map(String);
  range.step = String(limits.step);
  box.min = String(limits.min);
  box.max = String(limits.max);
  box.step = String(limits.step);
  range.value = box.value = String(parseFloat(text));
  $(`${key}-unit`).value = unit;
}

function showCentre(s) {
  const [x, y] = s.centre.split(',');
  ui.centreX.value = String(roundTo(centrePercent(x, picture.width), 0.01));
  ui.centreY.value = String(roundTo(centrePercent(y, picture.height), 0.01));
  showCentreMark();
}

function showSettings(s) {
  for (const key of NUMERIC) {
    $(key).value = String(s[key]);
    $(`${key}-n`).value = String(s[key]);
  }
  for (const key of LENGTHS) showLength(key, lengthOf(s, key));
  ui.geometry.value = s.geometry;
  ui.border.value = s.border;
  ui.colour.value = s['border-colour'];
  ui.split.checked = s.split;
  ui.hardEdges.checked = s['hard-edges'];
  showCentre(s);
  showGeometryState();
}

function toolCommand(s) {
  const args = ['polarmosaic'];
  const classic = s.geometry === 'classic';
  if (geometries.includes('fitted') && classic) args.push('--classic');
  args.push('-s', s.sectors, '-r', lengthOf(s, 'ring'), '-b', s.border, '-w', lengthOf(s, 'border-width'),
    '-c', `'${s['border-colour']}'`, '--shade-outer', s['shade-outer'], '--shade-inner', s['shade-inner'],
    '--shade-ccw', s['shade-ccw'], '--shade-cw', s['shade-cw']);
  if (!classic) {
    if (s.centre !== DEFAULTS.centre) args.push('--centre', s.centre);
    if (s.angle !== DEFAULTS.angle) args.push('--angle', s.angle);
    if (s['hard-edges']) args.push('--hard-edges');
  }
  if (s.split && classic) args.push('--split');
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

// A length set to the geometry's default follows the geometry.
function setLength(key, text) {
  settings[key] = text === lengthOf({ geometry: settings.geometry }, key) ? '' : text;
  showLength(key, text);
  settingsChanged();
}

function setCentre(x, y) {
  settings.centre = `${x},${y}`;
  showCentre(settings);
  settingsChanged();
}

// The picture pixel under a pointer event, on the result canvas.
function pixelAt(event) {
  const rect = ui.after.getBoundingClientRect();
  const fx = (event.clientX - rect.left) / rect.width;
  const fy = (event.clientY - rect.top) / rect.height;
  const clamp = (v, n) => Math.min(n - 1, Math.max(0, Math.floor(v * n)));
  return [clamp(fx, picture.width), clamp(fy, picture.height)];
}

function showCentreMark() {
  const [x, y] = settings ? settings.centre.split(',') : ['50%', '50%'];
  const show = settings && settings.geometry !== 'classic' && picture.loaded
    && (ui.stage.matches(':hover') || ui.stage.classList.contains('dragging')
      || [ui.centreX, ui.centreY].includes(document.activeElement));
  ui.centreMark.hidden = !show;
  if (!show) return;
  // Pixel centres: pixel p of n sits at (p + 0.5) / n of the way across.
  const at = (part, n) => (((centrePercent(part, n) / 100) * (n - 1) + 0.5) / n) * 100;
  ui.centreMark.style.left = `${at(x, picture.width)}%`;
  ui.centreMark.style.top = `${at(y, picture.height)}%`;
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
  for (const key of LENGTHS) {
    const unit = () => $(`${key}-unit`).value;
    $(key).addEventListener('input', () => setLength(key, lengthText(key, $(key).value, unit())));
    $(`${key}-n`).addEventListener('change', () => setLength(key, lengthText(key, $(`${key}-n`).value, unit())));
    // Another unit keeps the length the same on this picture.
    $(`${key}-unit`).addEventListener('change', () => {
      const halfDiagonal = Math.hypot(picture.width, picture.height) / 2;
      const old = lengthOf(settings, key);
      const value = parseFloat(old);
      const converted = old.endsWith('%') ? (value / 100) * halfDiagonal : (value / halfDiagonal) * 100;
      setLength(key, lengthText(key, converted, unit()));
    });
  }
  ui.geometry.addEventListener('change', () => {
    settings.geometry = ui.geometry.value;
    for (const key of LENGTHS) showLength(key, lengthOf(settings, key));
    showGeometryState();
    settingsChanged();
  });
  ui.border.addEventListener('change', () => { settings.border = ui.border.value; settingsChanged(); });
  ui.colour.addEventListener('input', () => { settings['border-colour'] = ui.colour.value; settingsChanged(); });
  ui.split.addEventListener('change', () => { settings.split = ui.split.checked; settingsChanged(); });
  ui.hardEdges.addEventListener('change', () => {
    settings['hard-edges'] = ui.hardEdges.checked;
    settingsChanged();
  });
  for (const [box, axis] of [[ui.centreX, 0], [ui.centreY, 1]]) {
    box.addEventListener('change', () => {
      const parts = settings.centre.split(',');
      let v = Number(box.value);
      if (!Number.isFinite(v)) v = 50;
      parts[axis] = `${Math.min(100, Math.max(0, v))}%`;
      setCentre(...parts);
    });
    box.addEventListener('focus', showCentreMark);
    box.addEventListener('blur', showCentreMark);
  }
  // A click or a drag on the picture puts the centre on the pixel under
  // the pointer (fitted geometry).
  const stage = ui.stage;
  const moveCentre = (event) => {
    const [x, y] = pixelAt(event);
    setCentre(percentForPixel(x, picture.width), percentForPixel(y, picture.height));
  };
  stage.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || settings.geometry === 'classic' || !picture.loaded) return;
    event.preventDefault();
    stage.setPointerCapture(event.pointerId);
    stage.classList.add('dragging');
    moveCentre(event);
  });
  stage.addEventListener('pointermove', (event) => {
    if (stage.classList.contains('dragging')) moveCentre(event);
  });
  for (const type of ['pointerup', 'pointercancel']) {
    stage.addEventListener(type, () => { stage.classList.remove('dragging'); showCentreMark(); });
  }
  stage.addEventListener('pointerenter', showCentreMark);
  stage.addEventListener('pointerleave', showCentreMark);
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
    showCentre(settings);
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
  const fitted = settings.geometry !== 'classic';
  document.body.dataset.busy = '1';
  call({ type: 'render', id: nextId++, settings: settingsText(settings), query }).then((reply) => {
    result = { width: reply.width, height: reply.height, pixels: new Uint8ClampedArray(reply.pixels) };
    ui.after.getContext('2d').putImageData(new ImageData(result.pixels, reply.width, reply.height), 0, 0);
    ui.checksum.textContent = reply.checksum;
    const plan = fitted ? `, plan ${reply.planBuilt ? 'built' : 'kept'}` : '';
    ui.frameInfo.textContent = `${reply.ms.toFixed(1)} ms in the worker (${buildName} build${plan})`;
    document.body.dataset.planBuilds = String(reply.planBuilds);
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
const rgbToHex = (rgb) => `#${rgb.map((c) => c.toString(16).padStart(2, '0')).join('')}`;

function showCompare() {
  const v = Number(ui.compare.value);
  ui.before.style.clipPath = `inset(0 ${100 - v}% 0 0)`;
  ui.divider.style.display = v > 0 && v < 100 ? 'block' : 'none';
  ui.divider.style.left = `${v}%`;
}

// PNG of the last result's RGBA exactly (a canvas keeps colours
// premultiplied by alpha, which changes those of translucent pixels), or
// null where the browser cannot compress (no CompressionStream).
const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function pngChunk(type, data) {
  const chunk = new Uint8Array(12 + data.length);
  const view = new DataView(chunk.buffer);
  view.setUint32(0, data.length);
  for (let i = 0; i < 4; i++) chunk[4 + i] = type.charCodeAt(i);
  chunk.set(data, 8);
  let c = 0xffffffff;
  for (let i = 4; i < 8 + data.length; i++) c = CRC_TABLE[(c ^ chunk[i]) & 0xff] ^ (c >>> 8);
  view.setUint32(8 + data.length, (c ^ 0xffffffff) >>> 0);
  return chunk;
}
async function exactPng({ width, height, pixels }) {
  if (typeof CompressionStream === 'undefined') return null;
  const header = new Uint8Array(13);
  new DataView(header.buffer).setUint32(0, width);
  new DataView(header.buffer).setUint32(4, height);
  header.set([8, 6, 0, 0, 0], 8);  // 8-bit RGBA
  const rows = new Uint8Array((width * 4 + 1) * height);  // filter 0 on every row
  for (let y = 0; y < height; y++) {
    rows.set(pixels.subarray(y * width * 4, (y + 1) * width * 4), y * (width * 4 + 1) + 1);
  }
  const zlib = new Uint8Array(await new Response(
    new Blob([rows]).stream().pipeThrough(new CompressionStream('deflate'))).arrayBuffer());
  return new Blob([new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]), pngChunk('IHDR', header),
    pngChunk('IDAT', zlib), pngChunk('IEND', new Uint8Array(0))], { type: 'image/png' });
}

// The result as a file of the given type: PNG exact, WebP with its alpha,
// JPEG laid over white (it has no alpha), as the tool lays transparency.
async function resultBlob(type) {
  if (!result) return null;
  if (type === 'image/png') {
    const png = await exactPng(result);
    if (png) return png;
  }
  let canvas = ui.after;
  if (type === 'image/jpeg') {
    canvas = document.createElement('canvas');
    canvas.width = result.width;
    canvas.height = result.height;
    const ctx = canvas.getContext('2d');
    ctx.fillStyle = '#ffffff';
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    ctx.drawImage(ui.after, 0, 0);
  }
  return new Promise((resolve) => canvas.toBlob(resolve, type, 0.92));
}
window.polarmosaicResultBlob = resultBlob;  // for the browser test

async function download() {
  const blob = await resultBlob(ui.format.value);
  if (!blob) { showError('the browser could not encode the picture'); return; }
  // A browser without a WebP encoder gives a PNG.
  const ext = { 'image/png': 'png', 'image/webp': 'webp', 'image/jpeg': 'jpg' }[blob.type] || 'png';
  const base = picture.name.replace(/\.[^.]*$/, '').replace(/[^\w.-]+/g, '-') || 'picture';
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = `${base}-mosaic.${ext}`;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
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
const benchSettings = () => settingsText({ ...DEFAULTS, geometry: benchGeometry });
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
    HOST = info.defaults;
    DEFAULTS = {
      geometry: 'fitted', sectors: Number(HOST.sectors), ring: '', border: HOST.border,
      'border-width': '', 'border-colour': rgbToHex(HOST['border-colour'].split(',').map(Number)),
      'shade-outer': Number(HOST['shade-outer']), 'shade-inner': Number(HOST['shade-inner']),
      'shade-ccw': Number(HOST['shade-ccw']), 'shade-cw': Number(HOST['shade-cw']),
      split: HOST.split === '1', centre: HOST.centre, angle: Number(HOST.angle),
      'hard-edges': HOST['hard-edges'] === '1',
    };
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
