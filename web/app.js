// app.js - the page: settings (controls and address), pictures in, frames
// out. The effect itself runs in worker.js.
'use strict';

// Settings by the tool's long option names (also the address's parameter
// names). Their kinds, limits and defaults come from the module's option
// table (the host layer's), once the worker has started; ring and
// border-width '' mean the geometry's default.
let OPTIONS = {};      // the table by name
let DEFAULTS = null;   // the settings the table's defaults make
const NUMERIC = ['sectors', 'angle', 'shade-outer', 'shade-inner', 'shade-ccw', 'shade-cw'];
const LENGTHS = ['ring', 'border-width'];
const FLAGS = ['split', 'hard-edges'];
// Earlier names of the address's parameters (the first page's, and two
// spellings it also took): still read in this release, with a note that
// names the option's name; to be dropped in the next one.
const FORMER_NAMES = {
  width: 'border-width', colour: 'border-colour', 'border-color': 'border-colour', center: 'centre',
  outer: 'shade-outer', inner: 'shade-inner', ccw: 'shade-ccw', cw: 'shade-cw',
};
// How long the controls rest before the full-size frame starts.
const REST_MS = 250;

const $ = (id) => document.getElementById(id);
const ui = {
  after: $('after'), before: $('before'), stage: $('stage'), divider: $('divider'),
  dropHint: $('drop-hint'), compare: $('compare'), checksum: $('checksum'), details: $('details'),
  pictureInfo: $('picture-info'), frameInfo: $('frame-info'), error: $('error'),
  file: $('file'), demo: $('demo'), format: $('format'), download: $('download'),
  reset: $('reset'), copyLink: $('copy-link'), toolCommand: $('tool-command'),
  geometry: $('geometry'), split: $('split'), border: $('border'), colour: $('border-colour'),
  centreX: $('centre-x'), centreY: $('centre-y'), hardEdges: $('hard-edges'),
  centreMark: $('centre-mark'), busy: $('busy'), busyText: $('busy-text'), busyProgress: $('busy-progress'),
  notice: $('notice'), noticeList: $('notice-list'), noticeClose: $('notice-close'),
};

let settings = null;
let buildName = '';
let picture = { name: 'built-in picture', demo: true, width: 0, height: 0, loaded: false };
let result = null;     // the full-size result shown: { width, height, pixels (RGBA), query }
let worker = null;     // the picture at full size
let previewWorker = null;  // the picture at the size it is shown at
let working = null;    // that size: { width, height }, or null when it is the full size
let nextId = 1;
// One request at a time per worker; changes made meanwhile collapse into
// one follow-up request with the latest settings.
const jobs = { preview: { busy: false, pending: false }, full: { busy: false, pending: false, started: 0 } };
let shown = null;      // what the result area shows: { kind: 'preview' | 'full', query }
let failed = '';       // the query whose full-size frame was refused
let restTimer = 0;
let loading = '';      // the name of a picture being opened
let lastFullMsPerPixel = 0;

// ------------------------------------------------------------- settings

const decimals = (step) => (String(step).split('.')[1] || '').length;
const roundTo = (v, step) => Number(v.toFixed(decimals(step)));

// A number of option key within the table's limits (whole where the
// option is whole).
function clampNumber(key, value) {
  const entry = OPTIONS[key];
  let v = Number(value);
  if (!Number.isFinite(v)) return DEFAULTS[key];
  v = Math.min(entry.max, Math.max(entry.min, v));
  return entry.kind === 'whole' ? Math.round(v) : v;
}

// The table's limits of a length in a unit.
function lengthLimits(key, unit) {
  const entry = OPTIONS[key];
  return unit === '%'
    ? { min: entry.minPercent, max: entry.maxPercent, step: entry.stepPercent, slider: entry.typical }
    : { min: entry.min, max: entry.max, step: entry.step, slider: [entry.min, Math.min(entry.max, 200)] };
}

// A length as the tool writes it ("4%" or "28") from a value in a unit,
// clamped to that unit's limits.
function lengthText(key, value, unit) {
  const limits = lengthLimits(key, unit);
  let v = Number(value);
  if (!Number.isFinite(v)) v = limits.min;
  v = roundTo(Math.min(limits.max, Math.max(limits.min, v)), limits.step);
  return unit === '%' ? `${v}%` : String(v);
}

// The length in force: the setting, or the geometry's default.
function lengthOf(s, key) {
  return s[key] || (s.geometry === 'classic' ? OPTIONS[key].classicDefault : OPTIONS[key].default);
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

const NUMBER = /^[+-]?(\d+(\.\d*)?|\.\d+)$/;
const rangeText = (entry) => `${entry.min} … ${entry.max}`;

// One value of the address for option entry: [the value used, why it is not
// the value given (or '')]. Values out of range are brought into it;
// values that are not of the option's kind give the default.
function readValue(entry, text) {
  const key = entry.name;
  const fallback = DEFAULTS[key];
  const shownDefault = key === 'border-colour' ? entry.default : LENGTHS.includes(key) ? entry.default : fallback;
  const useDefault = (what) => [fallback, `${what}; used the default, ${shownDefault}`];
  switch (entry.kind) {
    case 'whole':
    case 'number': {
      if (!NUMBER.test(text)) return useDefault(`not a number (${rangeText(entry)})`);
      const v = clampNumber(key, text);
      return v === Number(text) ? [v, ''] : [v, `outside ${rangeText(entry)}${entry.kind === 'whole' ? ' or not whole' : ''}; used ${v}`];
    }
    case 'length': {
      const m = /^(\d+(?:\.\d+)?|\.\d+)(%?)$/.exec(text.trim());
      if (!m) return useDefault('not a length (pixels, or per cent with %)');
      const unit = m[2] ? '%' : 'px';
      const v = lengthText(key, m[1], unit);
      const limits = lengthLimits(key, unit);
      const given = m[2] ? `${Number(m[1])}%` : String(Number(m[1]));
      return v === given ? [v, ''] : [v, `outside ${limits.min} … ${limits.max}${m[2] ? '%' : ' pixels'}; used ${v}`];
    }
    case 'choice':
      return entry.choices.includes(text) ? [text, ''] : useDefault(`not one of ${entry.choices.join(', ')}`);
    case 'flag':
      return text === '0' || text === '1' ? [text === '1', ''] : useDefault('not 0 or 1');
    case 'colour': {
      if (/^#?[0-9a-fA-F]{6}$/.test(text)) return [`#${text.replace('#', '').toLowerCase()}`, ''];
      const rgb = text.split(',');
      if (rgb.length === 3 && rgb.every((c) => /^\d{1,3}$/.test(c) && Number(c) <= 255)) {
        return [rgbToHex(rgb.map(Number)), ''];
      }
      return useDefault('not a colour (rrggbb or R,G,B)');
    }
    case 'centre': {
      const parts = text.split(',');
      const out = [];
      for (const part of parts.length === 2 ? parts : []) {
        const m = /^(\d+(?:\.\d+)?)(%?)$/.exec(part.trim());
        if (!m) break;
        out.push(m[2] ? `${Math.min(entry.maxPercent, Number(m[1]))}%` : String(Number(m[1])));
      }
      if (out.length !== 2) return useDefault('not X,Y (pixels, or per cent with %)');
      const v = out.join(',');
      return v === parts.map((p) => p.trim()).join(',') ? [v, ''] : [v, `more than ${entry.maxPercent}%; used ${v}`];
    }
    default:
      return useDefault('not understood');
  }
}

// The settings of an address, and a note for every parameter that was
// unknown or replaced.
function fromQuery(query) {
  const s = { ...DEFAULTS };
  const notes = [];
  const params = new URLSearchParams(query);
  const seen = new Set();
  for (const [name, text] of params) {
    const key = FORMER_NAMES[name] || name;
    if (key === 'build') continue;
    const entry = OPTIONS[key];
    if (!entry) {
      notes.push(`“${name}” is not a setting of this page: ignored`);
      continue;
    }
    if (key !== name) notes.push(`“${name}” is an old name of “${key}”: read as ${key}; the old name goes in the next release`);
    if (seen.has(key)) continue;
    seen.add(key);
    const [value, why] = readValue(entry, text);
    s[key] = value;
    if (why) notes.push(`${name}=${text}: ${why}`);
  }
  for (const key of LENGTHS) if (s[key] === lengthOf({ geometry: s.geometry }, key)) s[key] = '';
  return { settings: s, notes };
}

// The settings in force in the geometry (the other geometry's options
// are left out).
function activeKeys(s) {
  return Object.keys(DEFAULTS).filter((key) => key !== 'geometry'
    && !(s.geometry === 'classic' && OPTIONS[key].scope === 'fitted')
    && !(s.geometry !== 'classic' && OPTIONS[key].scope === 'classic'));
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
  const lines = [`geometry=${s.geometry}`];
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
  const limits = lengthLimits(key, unit);
  const slider = $(key);
  const box = $(`${key}-n`);
  [slider.min, slider.max] = limits.slider.map(String);
  slider.step = String(limits.step);
  box.min = String(limits.min);
  box.max = String(limits.max);
  box.step = String(limits.step);
  slider.value = box.value = String(parseFloat(text));
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

// The tool's command line for these settings: every option in force that
// differs from the table's default, by its long name.
function toolCommand(s) {
  const args = ['polarmosaic'];
  const classic = s.geometry === 'classic';
  if (classic) args.push('--classic');
  for (const key of activeKeys(s)) {
    const entry = OPTIONS[key];
    const def = classic ? entry.classicDefault : entry.default;
    let value = LENGTHS.includes(key) ? lengthOf(s, key) : s[key];
    if (key === 'border-colour') value = hexToRgb(value).join(',');
    if (FLAGS.includes(key)) {
      if (value) args.push(`--${key}`);
    } else if (String(value) !== def) {
      args.push(`--${key}`, value);
    }
  }
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
      if (String(settings[key]) !== box.value.trim()) {
        showNotice([`${box.getAttribute('aria-label')}: ${box.value || 'nothing'} is not a value from ${rangeText(OPTIONS[key])}${OPTIONS[key].kind === 'whole' ? ' (whole)' : ''}; used ${settings[key]}`]);
      }
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
  ui.details.addEventListener('toggle', () => {
    if (ui.details.open && shown && shown.kind === 'full' && result && result.query === shown.query
      && !/^[0-9a-f]{16}$/.test(ui.checksum.textContent)) showChecksum('');
  });
  ui.reset.addEventListener('click', () => {
    settings = { ...DEFAULTS };
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

// Notes on the address's settings (unknown or replaced values).
function showNotice(notes) {
  ui.notice.hidden = notes.length === 0;
  ui.noticeList.replaceChildren(...notes.map((n) => Object.assign(document.createElement('li'), { textContent: n })));
}

function call(target, msg, transfer = []) {
  return new Promise((resolve, reject) => {
    const listener = (event) => {
      if (event.data.type !== msg.type) return;
      target.removeEventListener('message', listener);
      if (event.data.ok) resolve(event.data);
      else reject(new Error(event.data.message));
    };
    target.addEventListener('message', listener);
    target.postMessage(msg, transfer);
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

// The box the picture is shown in, in device pixels.
function shownBox() {
  const ratio = window.devicePixelRatio || 1;
  return [Math.max(2, Math.round(ui.stage.clientWidth * ratio)), Math.max(2, Math.round(window.innerHeight * 2 * ratio))];
}

// A new window size (once it has rested): the picture and the result are
// shown at the size that fits now, made smaller from the full-size ones
// without rendering again, and frames while a control moves are made at
// that size. The old result stays on screen, stretched, until the new one
// is drawn in the same task as the canvases change size, so no frame is
// blank. Only when no full-size result for the settings is there yet is a
// frame requested (it was coming anyway).
const RESIZE_MS = 200;
let resizeTimer = 0;
let resizing = false;
async function resizeShown() {
  if (!picture.loaded) return;
  if (loading || resizing) {  // after the picture in hand has opened, or the last resize
    resizeTimer = setTimeout(resizeShown, RESIZE_MS);
    return;
  }
  resizing = true;
  updateBusy();
  await idle();
  jobs.preview.busy = jobs.full.busy = true;
  let exact = false;
  try {
    const query = toQuery(settings);
    const reply = await call(worker, { type: 'resize', box: shownBox(), query });
    const [w, h] = [reply.shownWidth, reply.shownHeight];
    const fullShown = !picture.fresh && shown && shown.kind === 'full' && shown.query === query;
    if (w === ui.after.width && h === ui.after.height) {
      exact = fullShown;
      return;
    }
    const newWorking = w < picture.width ? { width: w, height: h } : null;
    if (newWorking) {
      const copy = reply.before.slice(0);
      await call(previewWorker, { type: 'picture', width: w, height: h, pixels: copy }, [copy]);
    }
    working = newWorking;
    picture.shown = new ImageData(new Uint8ClampedArray(reply.before), w, h);
    const old = document.createElement('canvas');
    old.width = ui.after.width;
    old.height = ui.after.height;
    old.getContext('2d').drawImage(ui.after, 0, 0);
    sizeCanvases(w, h);
    ui.before.getContext('2d').putImageData(picture.shown, 0, 0);
    const ctx = ui.after.getContext('2d');
    if (reply.after) {
      ctx.putImageData(new ImageData(new Uint8ClampedArray(reply.after), w, h), 0, 0);
      exact = fullShown;
    } else {
      ctx.drawImage(old, 0, 0, w, h);
    }
    ui.pictureInfo.textContent = pictureText();
    document.body.dataset.shownSize = `${w}x${h}`;
  } catch (error) {
    showError(`${error.message}. The picture is shown at its last size.`);
  } finally {
    jobs.preview.busy = jobs.full.busy = false;
    resizing = false;
    if (!exact) requestRender();
    updateBusy();
  }
}
window.addEventListener('resize', () => {
  clearTimeout(resizeTimer);
  resizeTimer = setTimeout(resizeShown, RESIZE_MS);
});

function pictureText() {
  return `${picture.name}, ${picture.width} × ${picture.height}`
    + (working ? ` (shown at ${working.width} × ${working.height})` : '');
}

// ------------------------------------------------------------- busy sign

let progressTimer = 0;
function updateBusy() {
  const current = toQuery(settings);
  const done = !picture.fresh && shown && shown.kind === 'full' && shown.query === current;
  const busy = Boolean(loading) || resizing || jobs.preview.busy || jobs.full.busy || restTimer !== 0
    || (!done && failed !== current && picture.loaded);
  if (busy) document.body.dataset.busy = '1';
  else delete document.body.dataset.busy;
  // The sign: opening a picture, or a full-size frame on its way.
  let text = '';
  let fraction = null;
  if (loading) {
    text = `Opening ${loading}…`;
  } else if (busy && failed !== current && (!jobs.full.busy || performance.now() - jobs.full.started > 200
    || (shown && shown.kind === 'preview'))) {
    const full = `${picture.width} × ${picture.height}`;
    text = shown && shown.kind === 'preview' && shown.query === current
      ? `Preview shown; full size (${full}) on its way…` : `Rendering at full size (${full})…`;
    if (jobs.full.busy && jobs.full.expected > 300) {
      fraction = Math.min(0.95, (performance.now() - jobs.full.started) / jobs.full.expected);
    }
  }
  ui.busy.hidden = !text;
  ui.busyText.textContent = text;
  ui.busyProgress.hidden = fraction === null;
  if (fraction !== null) ui.busyProgress.value = fraction;
  if (busy && !progressTimer) progressTimer = setInterval(updateBusy, 100);
  if (!busy && progressTimer) { clearInterval(progressTimer); progressTimer = 0; }
}

// ------------------------------------------------------------- pictures

// Waits until no frame is being made (a frame in flight belongs to the old
// picture).
async function idle() {
  clearTimeout(restTimer);
  restTimer = 0;
  while (jobs.preview.busy || jobs.full.busy) await new Promise((r) => setTimeout(r, 5));
}

// A new picture: the demo, or a file the full-size worker decodes. The
// last result stays on screen until the new picture's first frame.
async function setPicture(msg, name, transfer = []) {
  loading = name;
  updateBusy();
  await idle();
  jobs.preview.busy = jobs.full.busy = true;  // nothing else goes to the workers meanwhile
  try {
    const reply = await call(worker, { type: 'picture', box: shownBox(), ...msg }, transfer);
    working = reply.shownWidth < reply.width ? { width: reply.shownWidth, height: reply.shownHeight } : null;
    if (working) {
      const copy = reply.shown.slice(0);
      await call(previewWorker, { type: 'picture', width: working.width, height: working.height, pixels: copy }, [copy]);
    }
    picture = { name, demo: Boolean(msg.demo), width: reply.width, height: reply.height, loaded: true,
      shown: new ImageData(new Uint8ClampedArray(reply.shown), reply.shownWidth, reply.shownHeight),
      decodeMs: reply.ms, fresh: true };
    lastFullMsPerPixel = 0;
    failed = '';
    ui.toolCommand.textContent = toolCommand(settings);
    showError('');
  } catch (error) {
    showError(`${name}: ${error.message}. The picture shown is the last one.`);
  } finally {
    jobs.preview.busy = jobs.full.busy = false;
    loading = '';
  }
  requestRender();
}

// The browser decodes the file (off the page's thread) to pixels as the
// file stores them: no premultiplication, no conversion between colour
// spaces; EXIF orientation applied. The worker takes the pixels from there.
async function openFile(file) {
  if (!file) return;
  loading = file.name;
  updateBusy();
  let bitmap;
  try {
    bitmap = await createImageBitmap(file, { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
  } catch {
    loading = '';
    updateBusy();
    showError(`${file.name}: the browser cannot decode this file as a picture. The picture shown is the last one.`);
    return;
  }
  await setPicture({ bitmap }, file.name, [bitmap]);
}

function bindPictureInput() {
  ui.file.addEventListener('change', () => openFile(ui.file.files[0]));
  ui.demo.addEventListener('click', () => setPicture({ width: 800, height: 600, demo: true }, 'built-in picture'));
  const stage = ui.stage;
  const over = (on) => { stage.classList.toggle('dragover', on); ui.dropHint.hidden = !on; };
  stage.addEventListener('dragover', (e) => { e.preventDefault(); over(true); });
  stage.addEventListener('dragleave', () => over(false));
  stage.addEventListener('drop', (e) => {
    e.preventDefault();
    e.stopPropagation();
    over(false);
    openFile(e.dataTransfer.files[0]);
  });
  // Also accept a drop anywhere else on the page.
  document.addEventListener('dragover', (e) => e.preventDefault());
  document.addEventListener('drop', (e) => { e.preventDefault(); openFile(e.dataTransfer.files[0]); });
}

// ------------------------------------------------------------- frames

// Settings for the working size: lengths in pixels and a centre in pixels
// become per cent of the full-size picture, so the preview looks the same.
function workingSettings(s) {
  const w = { ...s };
  const halfDiagonal = Math.hypot(picture.width, picture.height) / 2;
  for (const key of LENGTHS) {
    const text = lengthOf(s, key);
    if (!text.endsWith('%')) w[key] = `${(100 * Number(text)) / halfDiagonal}%`;
  }
  if (w.centre) {
    const [x, y] = w.centre.split(',');
    w.centre = `${centrePercent(x, picture.width)}%,${centrePercent(y, picture.height)}%`;
  }
  return w;
}

// Settings changed: a frame at the working size now (when the picture is
// larger than it is shown), the full-size frame once the controls rest.
function requestRender() {
  if (!picture.loaded || !worker || !settings) return;
  clearTimeout(restTimer);
  restTimer = 0;
  requestFrame(working ? 'preview' : 'full');
  updateBusy();
}

// Result buffers the page is done with, by the worker that made them: they
// go back with its next request, for its next results.
const spares = { full: [], preview: [] };
function handBack(kind, buffer) {
  if (buffer && buffer.byteLength > 0 && spares[kind].length < 2) spares[kind].push(buffer);
}

function showFrame(reply, kind) {
  if (picture.fresh) {
    // The first frame of a new picture: the original and the picture's
    // figures change with it.
    picture.fresh = false;
    sizeCanvases(picture.shown.width, picture.shown.height);
    ui.before.getContext('2d').putImageData(picture.shown, 0, 0);
    ui.pictureInfo.textContent = pictureText();
    document.body.dataset.shownSize = `${picture.shown.width}x${picture.shown.height}`;
    showCentre(settings);
    result = null;
  }
  ui.after.getContext('2d').putImageData(
    new ImageData(new Uint8ClampedArray(reply.shown), reply.shownWidth, reply.shownHeight), 0, 0);
  if (reply.shown !== reply.pixels) handBack(kind, reply.shown);
  shown = { kind, query: reply.query };
  const ms = (v) => (v >= 1000 ? `${(v / 1000).toFixed(2)} s` : `${v.toFixed(1)} ms`);
  if (kind === 'full') {
    // Downloads read the result's pixels before their first wait: the last
    // result's buffer is free once this one replaces it.
    if (result && result.pixels.buffer !== reply.pixels) handBack('full', result.pixels.buffer);
    result = { width: reply.width, height: reply.height, pixels: new Uint8ClampedArray(reply.pixels), query: reply.query };
    showChecksum(reply.checksum);
    const plan = settings.geometry !== 'classic' ? `, plan ${reply.planBuilt ? 'built' : 'kept'}` : '';
    ui.frameInfo.textContent = `full size, ${reply.width} × ${reply.height}: ${ms(reply.workerMs)} in the worker (${buildName} build${plan})`;
    document.body.dataset.planBuilds = String(reply.planBuilds);
    document.body.dataset.rendered = reply.query;
  } else {
    ui.checksum.textContent = '… (the full-size result is on its way)';
    ui.frameInfo.textContent = `preview, ${reply.width} × ${reply.height}: ${ms(reply.workerMs)} in the worker; full size on its way`;
  }
  document.body.dataset.shown = kind;
}

// The checksum is a developer's figure: it costs a pass over the full-size
// result, so it is worked out only while the details section is open.
function showChecksum(checksum) {
  if (checksum) {
    ui.checksum.textContent = checksum;
    return;
  }
  ui.checksum.textContent = '…';
  if (!ui.details.open || !result) return;
  const query = result.query;
  call(worker, { type: 'checksum', query }).then((reply) => {
    if (reply.checksum && result && result.query === query) ui.checksum.textContent = reply.checksum;
  }, () => {});
}

function requestFrame(kind) {
  const job = jobs[kind];
  if (job.busy) { job.pending = true; return; }
  job.busy = true;
  job.pending = false;
  const query = toQuery(settings);
  const text = settingsText(kind === 'preview' ? workingSettings(settings) : settings);
  if (kind === 'full') {
    job.started = performance.now();
    job.expected = lastFullMsPerPixel * picture.width * picture.height;
  }
  const handed = spares[kind].splice(0);
  call(kind === 'full' ? worker : previewWorker, {
    type: 'render', id: nextId++, settings: text, query, full: kind === 'full', checksum: ui.details.open,
    shownSize: working ? [working.width, working.height] : null, spares: handed,
  }, handed).then((reply) => {
    if (kind === 'full') {
      lastFullMsPerPixel = reply.workerMs / (reply.width * reply.height);
      document.body.dataset.fullFrames = String(Number(document.body.dataset.fullFrames || 0) + 1);
    }
    if (kind === 'preview' && !lastFullMsPerPixel) {
      lastFullMsPerPixel = (2 * reply.workerMs) / (reply.width * reply.height);  // a first guess
    }
    // Frames for settings already left behind are not shown; nor is a
    // preview once the full-size result for its settings is there.
    if (reply.query !== toQuery(settings)) return;
    if (kind === 'preview' && !picture.fresh && shown && shown.kind === 'full' && shown.query === reply.query) return;
    showFrame(reply, kind);
    if (kind === 'full') failed = '';
    showError('');
  }, (error) => {
    if (query !== toQuery(settings)) return;
    if (kind === 'full') failed = query;
    showError(`${error.message}. The picture shows the last result that could be made.`);
  }).finally(() => {
    job.busy = false;
    if (job.pending) {
      requestFrame(kind);
    } else if (kind === 'preview' && failed !== query
      && !(!picture.fresh && shown && shown.kind === 'full' && shown.query === toQuery(settings))) {
      // The controls rest: the full-size frame.
      clearTimeout(restTimer);
      restTimer = setTimeout(() => { restTimer = 0; requestFrame('full'); updateBusy(); }, REST_MS);
    }
    updateBusy();
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

// The full-size result for the settings in force (downloads are always
// full size): waits for it when a preview is shown.
async function fullResult() {
  for (let i = 0; i < 1200 && !(result && result.query === toQuery(settings)); i++) {
    if (failed === toQuery(settings)) break;
    await new Promise((r) => setTimeout(r, 100));
  }
  return result;
}

// The result as a file of the given type: PNG exact, WebP with its alpha,
// JPEG laid over white (it has no alpha), as the tool lays transparency.
async function resultBlob(type) {
  const full = await fullResult();
  if (!full) return null;
  if (type === 'image/png') {
    const png = await exactPng(full);
    if (png) return png;
  }
  const canvas = document.createElement('canvas');
  canvas.width = full.width;
  canvas.height = full.height;
  const ctx = canvas.getContext('2d');
  if (type === 'image/jpeg') {
    const layer = document.createElement('canvas');
    layer.width = full.width;
    layer.height = full.height;
    layer.getContext('2d').putImageData(new ImageData(full.pixels, full.width, full.height), 0, 0);
    ctx.fillStyle = '#ffffff';
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    ctx.drawImage(layer, 0, 0);
  } else {
    ctx.putImageData(new ImageData(full.pixels, full.width, full.height), 0, 0);
  }
  return new Promise((resolve) => canvas.toBlob(resolve, type, 0.92));
}
window.polarmosaicResultBlob = resultBlob;  // for the browser test

async function download() {
  ui.download.disabled = true;
  const blob = await resultBlob(ui.format.value);
  ui.download.disabled = false;
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
  const reply = await call(w, { type: 'init', build });
  return [w, reply];
}

// Frames for the benchmark script (web/test/bench.mjs), each in a worker
// of its own holding the built-in picture at one size: start, frame (the
// page's render request: settings from the table's defaults and the
// changes given, the result made smaller for the screen and, for a
// full-size frame, copied out for downloads; no checksum, as while the
// details section is closed), stop.
const benchWorkers = {};
window.polarmosaicBenchStart = async (name, build, width, height) => {
  if (benchWorkers[name]) benchWorkers[name].terminate();
  benchWorkers[name] = new Worker('worker.js');
  await call(benchWorkers[name], { type: 'init', build });
  await call(benchWorkers[name], { type: 'benchPicture', width, height });
};
// As the page does, each frame's buffers go back with the next request.
const benchSpares = {};
window.polarmosaicBenchFrame = async (name, changes, shownSize, full) => {
  const handed = benchSpares[name] || [];
  const reply = await call(benchWorkers[name], {
    type: 'render', id: nextId++, settings: settingsText({ ...DEFAULTS, ...changes }), query: '', full, shownSize,
    spares: handed,
  }, handed);
  benchSpares[name] = [...new Set([reply.shown, reply.pixels].filter(Boolean))];
  return { workerMs: reply.workerMs, effectMs: reply.effectMs, checksum: reply.checksum, planBuilt: reply.planBuilt };
};
window.polarmosaicBenchStop = () => {
  for (const name of Object.keys(benchWorkers)) {
    benchWorkers[name].terminate();
    delete benchWorkers[name];
  }
};

// The controls' limits from the option table.
function applyLimits() {
  for (const key of NUMERIC) {
    const entry = OPTIONS[key];
    const box = $(`${key}-n`);
    box.min = String(entry.min);
    box.max = String(entry.max);
    box.step = entry.kind === 'whole' ? '1' : 'any';
    const slider = $(key);
    [slider.min, slider.max] = entry.typical.map(String);
    slider.step = String(entry.step);
  }
  for (const box of [ui.centreX, ui.centreY]) {
    box.min = String(OPTIONS.centre.minPercent);
    box.max = String(OPTIONS.centre.maxPercent);
  }
}

async function start() {
  bindControls();
  bindPictureInput();
  showCompare();
  buildName = chooseBuild();
  try {
    let info;
    [worker, info] = await startWorker(buildName);
    [previewWorker] = await startWorker(buildName);
    OPTIONS = Object.fromEntries(info.options.map((o) => [o.name, o]));
    DEFAULTS = {};
    for (const entry of info.options) {
      const d = entry.default;
      DEFAULTS[entry.name] = LENGTHS.includes(entry.name) ? ''
        : entry.kind === 'whole' || entry.kind === 'number' ? Number(d)
          : entry.kind === 'flag' ? d === '1'
            : entry.kind === 'colour' ? rgbToHex(d.split(',').map(Number)) : d;
    }
  } catch (error) {
    showError(`could not start the effect: ${error.message}`);
    return;
  }
  applyLimits();
  const read = fromQuery(location.search);
  settings = read.settings;
  showSettings(settings);
  // The address says what is shown.
  history.replaceState(null, '', `${location.pathname}?${toQuery(settings)}`);
  if (read.notes.length) read.notes.push(`The address now has the settings in use: ${location.search}`);
  showNotice(read.notes);
  document.body.dataset.addressRead = '1';
  ui.noticeClose.addEventListener('click', () => showNotice([]));
  ui.toolCommand.textContent = toolCommand(settings);
  await setPicture({ width: 800, height: 600, demo: true }, 'built-in picture');
  if ('serviceWorker' in navigator && location.protocol !== 'file:') {
    navigator.serviceWorker.register('sw.js').catch(() => {});
  }
}

start();
