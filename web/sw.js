// sw.js - keeps the page working offline once it has been loaded: every
// file of the page is cached at install, answered from the cache, and
// refreshed from the network in the background when it is reachable.
'use strict';

const CACHE = 'polarmosaic-page-v3';
const FILES = ['./', 'index.html', 'style.css', 'app.js', 'worker.js', 'icon.svg',
  'polarmosaic-scalar.wasm', 'polarmosaic-simd128.wasm'];

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((keys) => Promise.all(keys.filter((k) => k !== CACHE).map((k) => caches.delete(k))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== location.origin) return;
  event.respondWith(caches.open(CACHE).then(async (cache) => {
    // The page's address carries its settings: one cached copy serves all.
    const key = new URL(request.url);
    key.search = '';
    const cached = await cache.match(key);
    const fresh = fetch(request).then((response) => {
      if (response.ok) cache.put(key, response.clone());
      return response;
    });
    if (cached) {
      fresh.catch(() => {});
      event.waitUntil(fresh.then(() => {}, () => {}));
      return cached;
    }
    return fresh;
  }));
});
