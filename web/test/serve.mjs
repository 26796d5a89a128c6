// serve.mjs - a tiny static server for the page (loopback only).
//   node web/test/serve.mjs [FOLDER] [PORT]   (default build/wasm/web/site, 8000)
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import url from 'node:url';

const TYPES = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm', '.svg': 'image/svg+xml', '.png': 'image/png',
  '.json': 'application/json',
};

// Serves folder on 127.0.0.1:port (0 picks a free port); resolves to the server.
export function serve(folder, port = 0) {
  const root = path.resolve(folder);
  const server = http.createServer((req, res) => {
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    let file = path.join(root, path.normalize(name));
    if (!file.startsWith(root)) { res.writeHead(403).end(); return; }
    if (name.endsWith('/')) file = path.join(file, 'index.html');
    fs.readFile(file, (err, data) => {
      if (err) { res.writeHead(404).end('not found'); return; }
      res.writeHead(200, {
        'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
        'Cache-Control': 'no-cache',
      });
      res.end(data);
    });
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () => resolve(server)));
}

if (process.argv[1] === url.fileURLToPath(import.meta.url)) {
  const here = path.dirname(url.fileURLToPath(import.meta.url));
  const folder = process.argv[2] || path.join(here, '../../build/wasm/web/site');
  const server = await serve(folder, Number(process.argv[3] || 8000));
  console.log(`serving ${path.resolve(folder)} at http://127.0.0.1:${server.address().port}/`);
}
