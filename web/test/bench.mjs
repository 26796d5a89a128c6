// bench.mjs - time per preview frame: the page's worker in headless
// Chromium (scalar and SIMD128 builds) next to the same frame natively on
// one thread (with the x86-64 vector kernels, and without them as the wasm
// builds run). Rounds are interleaved so that a change of load on a shared
// machine hits every column alike.
//
//   cmake --preset bench && cmake --build --preset bench \
//       --target polarmosaic_web_frame_bench_native polarmosaic_web_frame_bench_portable
//   node web/test/bench.mjs [--site build/wasm/web/site] [--native build/bench/web] [--rounds 3]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';
import { serve } from './serve.mjs';
import { commandOptions } from './options.mjs';

const args = commandOptions();
const site = path.resolve(args.site || 'build/wasm/web/site');
const nativeDir = path.resolve(args.native || 'build/bench/web');
const rounds = Number(args.rounds || 3);
const frames = Number(args.frames || 10);
const sizes = [[1024, 768], [1920, 1080]];

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const results = {};
const add = (key, times) => { (results[key] ||= []).push(...times); };

const server = await serve(site);
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const checksums = {};

// CPU time (ms) of every Web Worker thread of the browser's processes, from
// /proc (Linux): the benchmark's worker is the only busy one.
const TICK_MS = 1000 / 100;  // USER_HZ
function descendants(pid) {
  const all = [pid];
  for (let i = 0; i < all.length; i++) {
    for (const task of fs.readdirSync(`/proc/${all[i]}/task`)) {
      try {
        const kids = fs.readFileSync(`/proc/${all[i]}/task/${task}/children`, 'utf8').trim();
        if (kids) all.push(...kids.split(/\s+/).map(Number));
      } catch { /* gone */ }
    }
  }
  return all;
}
function workerCpuMs() {
  let ticks = 0;
  for (const pid of descendants(browser.process().pid)) {
    let tasks = [];
    try { tasks = fs.readdirSync(`/proc/${pid}/task`); } catch { continue; }
    for (const task of tasks) {
      try {
        if (!fs.readFileSync(`/proc/${pid}/task/${task}/comm`, 'utf8').startsWith('DedicatedWorker')) continue;
        const stat = fs.readFileSync(`/proc/${pid}/task/${task}/stat`, 'utf8');
        const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
        ticks += Number(fields[11]) + Number(fields[12]);  // utime, stime
      } catch { /* gone */ }
    }
  }
  return ticks * TICK_MS;
}
console.log(`load average before: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
try {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/index.html?geometry=classic`);
  await page.waitForFunction(() => document.body.dataset.rendered && !document.body.dataset.busy, { timeout: 120000 });
  for (let round = 0; round < rounds; round++) {
    for (const [w, h] of sizes) {
      for (const mode of ['preview', 'full', 'fitted']) {
        for (const variant of ['native', 'portable']) {
          const line = execFileSync(path.join(nativeDir, `polarmosaic_web_frame_bench_${variant}`),
            [...(mode === 'preview' ? [] : ['--full']), ...(mode === 'fitted' ? ['--fitted'] : []),
              String(w), String(h), String(frames)]).toString();
          const r = JSON.parse(line);
          add(`${w}x${h} ${mode} ${variant}`, [r.median_ms]);
          add(`${w}x${h} ${mode} ${variant} cpu`, [r.cpu_median_ms]);
          checksums[`${w}x${h} ${mode} ${variant}`] = r.checksum;
        }
        for (const build of ['scalar', 'simd128']) {
          await page.evaluate((b, ww, hh, reuse, g) => window.polarmosaicBenchStart(b, ww, hh, reuse, 5, g),
            build, w, h, mode === 'preview', mode === 'fitted' ? 'fitted' : 'classic');
          const cpu0 = workerCpuMs();
          const r = await page.evaluate((n) => window.polarmosaicBenchRun(n), frames);
          const cpu = workerCpuMs() - cpu0;
          await page.evaluate(() => window.polarmosaicBenchStop());
          add(`${w}x${h} ${mode} ${build}`, r.times);
          add(`${w}x${h} ${mode} ${build} cpu`, [cpu / frames]);
          checksums[`${w}x${h} ${mode} ${build}`] = r.checksum;
        }
      }
    }
  }
} finally {
  await browser.close();
  server.close();
}
console.log(`load average after: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
console.log('\nMedian wall time per frame and, in brackets, CPU time of the thread that ran it (wasm: the worker thread, from /proc, averaged over the timed frames), built-in picture, default settings, borders on.');
console.log('"preview": classic, a settings change, the forward pass kept; "full": classic, a new picture, the whole effect; "fitted": the fitted geometry through the host layer, its plan built once for the size and settings (each frame: tile sums and the output).\n');
console.log('| Picture | Frame | wasm scalar | wasm SIMD128 | native, vector kernels | native, portable code |');
console.log('|---|---|---|---|---|---|');
let same = true;
for (const [w, h] of sizes) {
  for (const mode of ['preview', 'full', 'fitted']) {
    const k = `${w}x${h} ${mode}`;
    const ms = (key) => `${median(results[key]).toFixed(1)} ms`;
    console.log(`| ${w} × ${h} | ${mode} | ${ms(`${k} scalar`)} (CPU ${ms(`${k} scalar cpu`)}) | ${ms(`${k} simd128`)} (CPU ${ms(`${k} simd128 cpu`)}) | ${ms(`${k} native`)} (CPU ${ms(`${k} native cpu`)}) | ${ms(`${k} portable`)} (CPU ${ms(`${k} portable cpu`)}) |`);
    if (new Set(['native', 'portable', 'scalar', 'simd128'].map((v) => checksums[`${k} ${v}`])).size !== 1) same = false;
  }
}
console.log(same ? '\nevery build gave the same result checksum' : '\nCHECKSUMS DIFFER');
