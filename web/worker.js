// worker.js - runs the effect off the page's thread. Owns one instance of
// the WebAssembly module and the current picture; answers each render
// request with the result pixels (transferred, not copied) and their
// checksum. The page sends a new request only when the last one is done,
// so a request never waits behind stale ones.
'use strict';

const GEOMETRY = { classic: 0, fitted: 1 };
const BORDER = { none: 1, grid: 2, rings: 3, spokes: 4 };

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

async function load(wanted) {
  build = wanted;
  const response = await fetch(`polarmosaic-${build}.wasm`);
  if (!response.ok) throw new Error(`polarmosaic-${build}.wasm: ${response.status}`);
  const bytes = await response.arrayBuffer();
  const { instance } = await WebAssembly.instantiate(bytes, {
    env: { now_ms: () => performance.now() },
  });
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

function render(s) {
  const t0 = performance.now();
  const ok = wasm.pm_render(
    GEOMETRY[s.geometry], s.sectors, s.ring, BORDER[s.border], s.width,
    s.colour[0], s.colour[1], s.colour[2], s.outer, s.inner, s.ccw, s.cw,
    s.split ? 1 : 0);
  if (!ok) throw new Error(cString(wasm.pm_error()));
  const ms = performance.now() - t0;
  const pixels = new Uint8Array(wasm.memory.buffer, wasm.pm_output(), width * height * 4).slice();
  return { pixels, ms, effectMs: wasm.pm_effect_ms(), checksum: cString(wasm.pm_checksum()) };
}

const handlers = {
  async init(msg) {
    await load(msg.build);
    return {
      build,
      geometries: Object.keys(GEOMETRY).filter((g) => wasm.pm_has_geometry(GEOMETRY[g])),
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
      checksum: r.checksum, ms: r.ms, effectMs: r.effectMs, transfer: [r.pixels.buffer],
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
