// A static file server on 127.0.0.1 (a secure context for WebHID), for the tests, the bench and
// `run.sh web`: serve(folder) resolves with {url, close}. Run as a program it serves the folder
// given until stopped:  node serve.mjs FOLDER [PORT]
import {createServer} from 'node:http';
import {readFile} from 'node:fs/promises';
import {extname, join, normalize, resolve} from 'node:path';
import {fileURLToPath} from 'node:url';

const types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8', '.wasm': 'application/wasm', '.png': 'image/png',
  '.ico': 'image/x-icon', '.json': 'application/json', '.bin': 'application/octet-stream',
};

export function serve(folder, port = 0) {
  const root = resolve(folder);
  const server = createServer(async (request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://127.0.0.1').pathname);
    const file = normalize(join(root, path.endsWith('/') ? path + 'index.html' : path));
    if (!file.startsWith(root)) {
      response.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      response.writeHead(200, {'Content-Type': types[extname(file)] || 'application/octet-stream',
                               'Cache-Control': 'no-store'});
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((done) => server.listen(port, '127.0.0.1', () => done({
    url: `http://127.0.0.1:${server.address().port}/`,
    close: () => new Promise((closed) => server.close(closed)),
  })));
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const {url} = await serve(process.argv[2] || '.', Number(process.argv[3] || 0));
  console.log(url);
}
