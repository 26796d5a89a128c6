// worker.js - runs the effect off the page's thread. Owns one instance of
// the WebAssembly module and the current picture; answers each render
// request with the result pixels (transferred, not copied) and their
// checksum. The page sends a new request only when the last one is done,
// so a request never waits behind stale ones. Settings travel as the
// module's settings text: one "name=value" line per tool option.
'use strict';

const GEOMETRY = { classic: 0, fitted: 1 };

let wasm = null;
let build = '';
let width = 0;
let height = 0;

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

// The host's defaults as { name: value } (see pm_defaults).
function defaults() {
  return Object.fromEntries(cString(wasm.pm_defaults()).split('\n').map((l) => l.split('=')));
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
// geometry had to build its plan (a new size or geometry setting).
function render(text) {
  const t0 = performance.now();
  const bytes = new TextEncoder().encode(text);
  new Uint8Array(wasm.memory.buffer, wasm.pm_settings_buffer(bytes.length), bytes.length).set(bytes);
  const builds = wasm.pm_plan_builds();
  const ok = wasm.pm_render();
  if (!ok) throw new Error(cString(wasm.pm_error()));
  const ms = performance.now() - t0;
  const pixels = new Uint8Array(wasm.memory.buffer, wasm.pm_output(), width * height * 4).slice();
  const planBuilds = wasm.pm_plan_builds();
  return {
    pixels, ms, effectMs: wasm.pm_effect_ms(), checksum: cString(wasm.pm_checksum()),
    planBuilds, planBuilt: planBuilds > builds,
  };
}

const handlers = {
  async init(msg) {
    await load(msg.build);
    return {
      build,
      geometries: Object.keys(GEOMETRY).filter((g) => wasm.pm_has_geometry(GEOMETRY[g])),
      defaults: defaults(),
    };
  },

  // The built-in picture of the tool (--demo), or decoded RGBA pixels.
  picture(msg) {
    const ptr = inputFor(msg.width, msg.height).byteOffset;
    if (msg.demo) {
      wasm.pm_fill_demo();
    } else {
      new Uint8Array(wasm.memory.buffer, ptr, width * height * 4).set(new Uint8Array(msg.pixels));
    }
    // The demo allocates, and a grown memory detaches older views.
    const copy = new Uint8Array(wasm.memory.buffer, ptr, width * height * 4).slice();
    return { width, height, pixels: copy.buffer, transfer: [copy.buffer] };
  },

  render(msg) {
    const r = render(msg.settings);
    return {
      id: msg.id, query: msg.query, width, height, pixels: r.pixels.buffer,
      checksum: r.checksum, ms: r.ms, effectMs: r.effectMs, planBuilds: r.planBuilds,
      planBuilt: r.planBuilt, transfer: [r.pixels.buffer],
    };
  },

  // Frame times on the built-in picture at one size. Setup sizes the
  // buffers and runs the warm-up frames (the engine compiles the module's
  // hot code in tiers); reuse false makes every frame run the whole effect,
  // as for a new picture.
  benchSetup(msg) {
    inputFor(msg.width, msg.height);
    wasm.pm_fill_demo();
    wasm.pm_reuse_forward_pass(msg.reuse ? 1 : 0);
    for (let i = 0; i < msg.warmup; i++) render(msg.settings);
    return {};
  },

  bench(msg) {
    const times = [];
    let checksum = '';
    for (let i = 0; i < msg.frames; i++) {
      const r = render(msg.settings);
      times.push(r.ms);
      checksum = r.checksum;
    }
    return { times, checksum };
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
