// worker.js - runs the effect off the page's thread. Owns one instance of
// the WebAssembly module and the current picture; answers each render
// request with the result pixels (transferred, not copied), a copy made
// smaller by area averaging for the screen, and the checksum. The page
// runs two: one with the picture at full size (it also decodes chosen
// files), one with it at the size it is shown at, for frames while a
// control moves. The page sends a new request only when the last one is
// done, so a request never waits behind stale ones. Settings travel as the
// module's settings text: one "name=value" line per tool option.
'use strict';

let wasm = null;
let build = '';
let width = 0;
let height = 0;
let renderedQuery = null;  // the address of the result in the module's output

function cString(ptr) {
  const bytes = new Uint8Array(wasm.memory.buffer);
  let end = ptr;
  while (bytes[end] !== 0) end++;
  return new TextDecoder().decode(bytes.subarray(ptr, end));
}

// The page's clock, and the C library's file calls (linked by its number
// formatting, never made): each of those answers ENOSYS.
function moduleImports(module) {
  const wasi = {};
  for (const i of WebAssembly.Module.imports(module)) {
    if (i.module === 'wasi_snapshot_preview1') wasi[i.name] = () => 52;
  }
  return { env: { now_ms: () => performance.now() }, wasi_snapshot_preview1: wasi };
}

// The host layer's option table (see pm_options).
function options() {
  return JSON.parse(cString(wasm.pm_options()));
}

// The input (which 0) or the last result (1) at w x h by area averaging.
// Buffers of results the page no longer needs, handed back with its
// requests: a result of the same size is copied into one of them instead of
// a new buffer (a new one of megabytes for every frame keeps the garbage
// collector busy).
let spares = [];
function copyOut(view) {
  const i = spares.findIndex((b) => b.byteLength === view.length);
  const out = i >= 0 ? new Uint8Array(spares.splice(i, 1)[0]) : new Uint8Array(view.length);
  out.set(view);
  return out;
}

function shrink(which, w, h) {
  const ptr = wasm.pm_shrink(which, w, h);
  if (!ptr) throw new Error(`cannot show the picture at ${w} × ${h}`);
  return copyOut(new Uint8Array(wasm.memory.buffer, ptr, w * h * 4));
}

// The size a w x h picture is shown at in a box of [width, height] device
// pixels: as large as fits, never larger than the picture.
function shownSize(w, h, box) {
  if (!box) return [w, h];
  const scale = Math.min(1, box[0] / w, box[1] / h);
  return [Math.max(2, Math.min(w, Math.round(w * scale))), Math.max(2, Math.min(h, Math.round(h * scale)))];
}

// The pixels of a decoded picture (an ImageBitmap the page transferred).
function pixelsOf(bitmap) {
  const { width: w, height: h } = bitmap;
  const canvas = new OffscreenCanvas(w, h);
  const ctx = canvas.getContext('2d', { willReadFrequently: true });
  ctx.drawImage(bitmap, 0, 0);
  bitmap.close();
  return { w, h, pixels: ctx.getImageData(0, 0, w, h).data };
}

async function load(wanted) {
  build = wanted;
  const response = await fetch(`polarmosaic-${build}.wasm`);
  if (!response.ok) throw new Error(`polarmosaic-${build}.wasm: ${response.status}`);
  const module = await WebAssembly.compile(await response.arrayBuffer());
  const instance = await WebAssembly.instantiate(module, moduleImports(module));
  wasm = instance.exports;
  wasm._initialize();
}

// Sizes the module's input for a picture and returns a view of it.
function inputFor(w, h) {
  const ptr = wasm.pm_input(w, h);
  if (!ptr) throw new Error(cString(wasm.pm_error()));
  width = w;
  height = h;
  return new Uint8Array(wasm.memory.buffer, ptr, w * h * 4);
}

// One frame with the settings text; planBuilt tells whether the fitted
// geometry had to build its plan (a new size or geometry setting). The
// result stays in the module (output()).
function render(text) {
  const t0 = performance.now();
  const bytes = new TextEncoder().encode(text);
  new Uint8Array(wasm.memory.buffer, wasm.pm_settings_buffer(bytes.length), bytes.length).set(bytes);
  const builds = wasm.pm_plan_builds();
  const ok = wasm.pm_render();
  if (!ok) throw new Error(cString(wasm.pm_error()));
  const ms = performance.now() - t0;
  const planBuilds = wasm.pm_plan_builds();
  return { ms, effectMs: wasm.pm_effect_ms(), planBuilds, planBuilt: planBuilds > builds };
}

const output = () => new Uint8Array(wasm.memory.buffer, wasm.pm_output(), width * height * 4);

const handlers = {
  async init(msg) {
    await load(msg.build);
    return { build, options: options() };
  },

  // The built-in picture of the tool (--demo), a decoded picture (an
  // ImageBitmap), or RGBA pixels. display(w, h) gives the size it is shown at: the reply has the
  // picture at that size (area averaged).
  async picture(msg) {
    const t0 = performance.now();
    let decoded = null;
    if (msg.bitmap) {
      decoded = pixelsOf(msg.bitmap);
      if (decoded.w < 2 || decoded.h < 2 || decoded.w > 32752 || decoded.h > 32767) {
        throw new Error(`${decoded.w} × ${decoded.h} pixels; the effect takes 2 × 2 up to 32752 × 32767`);
      }
    }
    const decodeMs = performance.now() - t0;
    const w = decoded ? decoded.w : msg.width;
    const h = decoded ? decoded.h : msg.height;
    const ptr = inputFor(w, h).byteOffset;
    renderedQuery = null;
    if (msg.demo) wasm.pm_fill_demo();
    else new Uint8Array(wasm.memory.buffer, ptr, w * h * 4).set(decoded ? decoded.pixels : new Uint8Array(msg.pixels));
    const [dw, dh] = shownSize(w, h, msg.box);
    const shown = shrink(0, dw, dh);
    return {
      width, height, shownWidth: dw, shownHeight: dh, shown: shown.buffer, decodeMs,
      ms: performance.now() - t0, transfer: [shown.buffer],
    };
  },

  // A frame; full: also the result at full size (for downloads).
  render(msg) {
    const start = performance.now();
    if (msg.spares) spares = spares.concat(msg.spares).slice(-4);
    renderedQuery = null;
    const r = render(msg.settings);
    renderedQuery = msg.query;
    const [dw, dh] = msg.shownSize || [width, height];
    const t0 = performance.now();
    // A full frame's pixels (for downloads) are also what is shown when it
    // is shown at full size: one copy, one buffer in both fields. A
    // preview, never shown with its checksum, goes without one.
    const pixels = msg.full ? copyOut(output()) : null;
    const shown = dw === width && dh === height ? pixels || copyOut(output()) : shrink(1, dw, dh);
    const reply = {
      id: msg.id, query: msg.query, width, height, shownWidth: dw, shownHeight: dh, shown: shown.buffer,
      checksum: msg.full && msg.checksum ? cString(wasm.pm_checksum()) : '', ms: r.ms, shrinkMs: performance.now() - t0,
      effectMs: r.effectMs, planBuilds: r.planBuilds, planBuilt: r.planBuilt, transfer: [shown.buffer],
    };
    if (pixels) {
      reply.pixels = pixels.buffer;
      if (pixels !== shown) reply.transfer.push(pixels.buffer);
    }
    reply.workerMs = performance.now() - start;  // the whole request
    return reply;
  },

  // The picture and, when the module's output is the result for query,
  // that result, at the size they are shown at in box: a new window size
  // shows them without rendering again.
  resize(msg) {
    const [dw, dh] = shownSize(width, height, msg.box);
    const before = shrink(0, dw, dh);
    const after = renderedQuery !== null && renderedQuery === msg.query ? shrink(1, dw, dh) : null;
    const transfer = after ? [before.buffer, after.buffer] : [before.buffer];
    return { shownWidth: dw, shownHeight: dh, before: before.buffer, after: after && after.buffer, transfer };
  },

  // The checksum of the full-size result for query, when it is still the
  // module's output ('' when a newer frame has replaced it).
  checksum(msg) {
    const current = renderedQuery !== null && renderedQuery === msg.query;
    return { query: msg.query, checksum: current ? cString(wasm.pm_checksum()) : '' };
  },

  // The built-in picture at a size, for the benchmark's frames.
  benchPicture(msg) {
    inputFor(msg.width, msg.height);
    wasm.pm_fill_demo();
    renderedQuery = null;
    return {};
  },
};

self.onmessage = async (event) => {
  const msg = event.data;
  try {
    const reply = await handlers[msg.type](msg);
    const transfer = reply.transfer || [];
    delete reply.transfer;
    self.postMessage({ type: msg.type, ok: true, ...reply }, transfer);
  } catch (error) {
    let message = String(error && error.message || error);
    if (error instanceof WebAssembly.RuntimeError && build) {
      // A trap (memory exhausted) leaves the instance unusable: start afresh.
      message = `the effect stopped (${message}): the picture may be too large for this browser`;
      width = 0;
      height = 0;
      await load(build).catch(() => {});
    }
    self.postMessage({ type: msg.type, ok: false, id: msg.id, message });
  }
};
