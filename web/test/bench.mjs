// bench.mjs - the page's frame times in headless Chromium, against the
// page's goals: the worker's time per render (median of the rounds) for a
// colour or shade change and for a sectors, ring or line-width change on a
// 1024 x 768 picture, and on a 5640 x 3172 photo the working-size frame
// while a slider moves, the full-size result once it rests, and the first
// frame from choosing the file.
//
//   cmake --preset wasm && cmake --build --preset wasm
//   (cd web/test && npm ci) && node web/test/bench.mjs [--site build/wasm/web/site] [--rounds 7] [--build simd128]
//
// Three figures per render:
//  - CPU: the worker thread's own CPU time for the request, from the
//    kernel's per-thread run time (/proc/PID/task/TID/schedstat, in
//    nanoseconds) read before and after each request; the page's other
//    workers are idle meanwhile. Compilation and garbage collection on V8's
//    helper threads are not in it.
//  - wall: the worker's request from start to reply (performance.now()
//    around the handler: settings, the effect, the result made smaller for
//    the screen and copied out; no checksum, as on the page while its
//    details section is closed).
//  - compute: performance.now() around the module's Prepare and Apply
//    inside the wasm call (pm_effect_ms).
// The first frame from choosing a file is measured on the page itself
// (drop event to the first frame drawn, wall) with the CPU time of all the
// browser's processes meanwhile (/proc/PID/stat, 10 ms ticks): it is
// decoding, two workers and the page's thread.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import { pngBytes, testPicture } from './png.mjs';
import { serve } from './serve.mjs';
import { commandOptions } from './options.mjs';

const args = commandOptions();
const site = path.resolve(args.site || 'build/wasm/web/site');
const out = path.resolve(args.out || 'build/wasm/web-bench');
const rounds = Number(args.rounds || 7);
const build = args.build || 'simd128';
const [photoWidth, photoHeight] = [5640, 3172];
fs.mkdirSync(out, { recursive: true });

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const loadAverage = () => os.loadavg().map((l) => l.toFixed(2)).join(' ');

// ------------------------------------------------------------ /proc

function descendants(pid) {
  const all = [pid];
  for (let i = 0; i < all.length; i++) {
    let tasks;
    try { tasks = fs.readdirSync(`/proc/${all[i]}/task`); } catch { continue; }
    for (const task of tasks) {
      try {
        const kids = fs.readFileSync(`/proc/${all[i]}/task/${task}/children`, 'utf8').trim();
        if (kids) all.push(...kids.split(/\s+/).map(Number));
      } catch { /* gone */ }
    }
  }
  return all;
}
// Nanoseconds of CPU of every Web Worker thread of the browser.
function workerCpuNs(browserPid) {
  let ns = 0;
  for (const pid of descendants(browserPid)) {
    let tasks;
    try { tasks = fs.readdirSync(`/proc/${pid}/task`); } catch { continue; }
    for (const task of tasks) {
      try {
        if (!fs.readFileSync(`/proc/${pid}/task/${task}/comm`, 'utf8').startsWith('DedicatedWorker')) continue;
        ns += Number(fs.readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').split(' ')[0]);
      } catch { /* gone */ }
    }
  }
  return ns;
}
// Milliseconds of CPU of all the browser's processes (user and system).
function browserCpuMs(browserPid) {
  let ticks = 0;
  for (const pid of descendants(browserPid)) {
    try {
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      ticks += Number(fields[11]) + Number(fields[12]);
    } catch { /* gone */ }
  }
  return ticks * 10;  // USER_HZ 100
}

// ------------------------------------------------------------ the runs

const photoPng = path.join(out, 'photo.png');
if (!fs.existsSync(photoPng)) {
  fs.writeFileSync(photoPng, pngBytes(photoWidth, photoHeight, testPicture(photoWidth, photoHeight, 5640)));
}
const photoBytes = fs.readFileSync(photoPng).toString('base64');

const server = await serve(site);
const origin = `http://127.0.0.1:${server.address().port}`;
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const pid = browser.process().pid;
const results = {};
const add = (key, value) => { (results[key] ||= []).push(value); };
const loads = [loadAverage()];

async function ready(page) {
  await page.waitForFunction(() => document.body.dataset.rendered && !document.body.dataset.busy,
    { timeout: 300000, polling: 50 });
}

try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(`${origin}/index.html?build=${build}`);
  await ready(page);

  // The first frame from choosing the file: the photo dropped on the page
  // (under a new name each round), until its first frame is drawn.
  for (let round = 0; round < Math.min(rounds, 3); round++) {
    const name = `photo-${round}.png`;
    await page.evaluate((fileName, b64) => {
      const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
      window.benchFile = new File([bytes], fileName, { type: 'image/png' });
    }, name, photoBytes);
    const cpu0 = browserCpuMs(pid);
    const ms = await page.evaluate(async (fileName) => {
      const transfer = new DataTransfer();
      transfer.items.add(window.benchFile);
      const info = document.getElementById('picture-info');
      const drawn = new Promise((resolve) => {
        const observer = new MutationObserver(() => {
          if (info.textContent.startsWith(fileName)) { observer.disconnect(); resolve(performance.now()); }
        });
        observer.observe(info, { childList: true, characterData: true, subtree: true });
      });
      const t0 = performance.now();
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
      return (await drawn) - t0;
    }, name);
    add('open wall', ms);
    add('open cpu', browserCpuMs(pid) - cpu0);
    await ready(page);
  }
  const shownSize = await page.evaluate(() => document.body.dataset.shownSize);
  const working = shownSize.split('x').map(Number);
  loads.push(loadAverage());

  // Frames in workers of their own: a fresh page (the photo's memory goes).
  await page.goto(`${origin}/index.html?build=${build}`);
  await ready(page);
  const runs = [
    // name, picture size, the changes frame after frame, the size shown,
    // a full-size frame (else a preview), warm-up frames, frames per round
    ['colour', [1024, 768], [{ 'border-colour': '#c83c28', 'shade-outer': 2.5 }, { 'shade-cw': 1 }, {}], null, true, 5, 6],
    ['geometry', [1024, 768], [{ sectors: 35 }, { ring: '4.5%' }, { 'border-width': '0.8%' }], null, true, 4, 3],
    ['working', working, [{ sectors: 35 }, { sectors: 34 }, { sectors: 33 }], working, false, 4, 3],
    ['full', [photoWidth, photoHeight], [{ sectors: 35 }, { sectors: 36 }], working, true, 1, 1],
  ];
  for (const [name, [w, h]] of runs) {
    await page.evaluate((n, b, ww, hh) => window.polarmosaicBenchStart(n, b, ww, hh), name, build, w, h);
  }
  const planBuilt = {};
  const step = {};  // frames so far: each frame's change differs from the last one's
  for (let round = 0; round < rounds; round++) {
    for (const [name, , changes, shown, full, warmup, frames] of runs) {
      for (let i = 0; i < (round === 0 ? warmup : 0) + frames; i++) {
        step[name] = (step[name] || 0) + 1;
        const change = changes[step[name] % changes.length];
        const cpu0 = workerCpuNs(pid);
        const r = await page.evaluate((n, c, s, f) => window.polarmosaicBenchFrame(n, c, s, f), name, change, shown, full);
        const cpu = (workerCpuNs(pid) - cpu0) / 1e6;
        if (round === 0 && i < warmup) continue;
        add(`${name} cpu`, cpu);
        add(`${name} wall`, r.workerMs);
        add(`${name} compute`, r.effectMs);
        (planBuilt[name] ||= new Set()).add(r.planBuilt);
      }
    }
  }
  await page.evaluate(() => window.polarmosaicBenchStop());
  loads.push(loadAverage());

  const ms = (v) => (v >= 1000 ? `${(v / 1000).toFixed(2)} s` : `${v.toFixed(1)} ms`);
  // Goals are met by the worker's CPU time, the first frame by the time the user waits (wall).
  const row = (what, goal, key, by = 'cpu') => `| ${what} | ≤ ${goal} | ${ms(median(results[`${key} cpu`]))} | ${ms(median(results[`${key} wall`]))} | ${
    results[`${key} compute`] ? ms(median(results[`${key} compute`])) : '–'} | ${
    median(results[`${key} ${by}`]) <= parseFloat(goal) * (goal.endsWith(' s') ? 1000 : 1) ? 'yes' : 'no'} |`;
  console.log(`Chromium ${(await browser.version()).replace(/^[^/]*\//, '')}, ${build} build, ${os.cpus()[0].model}, ${os.cpus().length} cores`);
  console.log(`load average (1, 5, 15 min): ${loads.join(' → ')}`);
  console.log(`median of ${rounds} rounds (${results['colour cpu'].length}, ${results['geometry cpu'].length}, ${results['working cpu'].length}, ${results['full cpu'].length}, ${results['open cpu'].length} renders); working size ${working.join(' × ')}`);
  console.log(`plan built per frame: colour ${[...planBuilt.colour]}, geometry ${[...planBuilt.geometry]}, working ${[...planBuilt.working]}, full ${[...planBuilt.full]}\n`);
  console.log('| Render | Goal | CPU | wall | compute | Goal met |');
  console.log('|---|---|---|---|---|---|');
  console.log(row('1024 × 768, colour or shade change (plan kept; full-size frame, copied out for downloads)', '8 ms', 'colour'));
  console.log(row('1024 × 768, sectors, ring or width change (plan built; full-size frame, copied out for downloads)', '20 ms', 'geometry'));
  console.log(row(`${photoWidth} × ${photoHeight} photo, working-size frame (${working.join(' × ')}, a preview) while a slider moves`, '30 ms', 'working'));
  console.log(row(`${photoWidth} × ${photoHeight} photo, full-size result after the slider rests`, '1.5 s', 'full'));
  console.log(row(`${photoWidth} × ${photoHeight} photo, first frame from choosing the file (CPU: whole browser)`, '4 s', 'open', 'wall'));
} finally {
  await browser.close();
  server.close();
}
