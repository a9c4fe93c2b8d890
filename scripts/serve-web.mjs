#!/usr/bin/env node
// Serves the web page (build-web/site) over HTTP for a browser on this computer, which Web
// Serial accepts as a secure origin: `make serve-web`, then open the address it prints.
// Loopback only unless --host says otherwise. The tests start the same server in-process.
import http from "node:http";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".wasm": "application/wasm",
  ".svg": "image/svg+xml",
  ".png": "image/png",
  ".json": "application/json",
  ".txt": "text/plain; charset=utf-8",
};

// The file under `root` that a request path names, or null (outside the root, or no file).
function fileFor(root, urlPath) {
  let relative;
  try {
    relative = decodeURIComponent(urlPath.split("?")[0]);
  } catch {
    return null;
  }
  if (relative.endsWith("/")) relative += "index.html";
  const file = path.resolve(root, "." + path.posix.normalize(relative));
  if (!file.startsWith(root + path.sep)) return null;
  try {
    return fs.statSync(file).isFile() ? file : null;
  } catch {
    return null;
  }
}

// `mounts` maps a path prefix ("/test/") to a folder of its own.
function serve(root, mounts, request, response) {
  const [prefix, folder] = Object.entries(mounts).find(([p]) => request.url.startsWith(p))
    ?? ["/", root];
  const file = request.method === "GET" || request.method === "HEAD"
    ? fileFor(folder, request.url.slice(prefix.length - 1)) : null;
  if (!file) {
    response.writeHead(404, { "Content-Type": "text/plain; charset=utf-8" });
    response.end("Not found\n");
    return;
  }
  response.writeHead(200, {
    "Content-Type": TYPES[path.extname(file)] || "application/octet-stream",
    "Cache-Control": "no-cache",
    "X-Content-Type-Options": "nosniff",
  });
  if (request.method === "HEAD") response.end();
  else fs.createReadStream(file).pipe(response);
}

// Starts serving `root` (and each of `mounts`: a path prefix and its folder); resolves with the
// server and its address once it listens.
export function startServer({ root, mounts = {}, host = "127.0.0.1", port = 0 }) {
  const absolute = path.resolve(root);
  const folders = Object.fromEntries(Object.entries(mounts).map(([p, f]) => [p, path.resolve(f)]));
  const server = http.createServer((request, response) => serve(absolute, folders, request, response));
  return new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(port, host, () => {
      const { port: bound } = server.address();
      const shown = host.includes(":") ? `[${host}]` : host;
      resolve({ server, url: `http://${shown}:${bound}/` });
    });
  });
}

function usage(exitCode) {
  const text = `Usage: serve-web.mjs [--host ADDRESS] [--port N] [SITE]

Serves the Vestrel web page in SITE (default build-web/site) until Ctrl-C. The host defaults
to 127.0.0.1: a browser on this computer may use Web Serial there. A page served to other
computers needs HTTPS for Web Serial; put the files on any static host that has it.
`;
  (exitCode === 0 ? process.stdout : process.stderr).write(text);
  process.exit(exitCode);
}

async function main(args) {
  const here = path.dirname(fileURLToPath(import.meta.url));
  let root = path.join(here, "..", "build-web", "site");
  let host = "127.0.0.1";
  let port = 8080;
  for (let i = 0; i < args.length; ++i) {
    const arg = args[i];
    if (arg === "--help" || arg === "-h") usage(0);
    else if (arg === "--host" && i + 1 < args.length) host = args[++i];
    else if (arg === "--port" && /^\d+$/.test(args[i + 1] ?? "")) port = Number(args[++i]);
    else if (!arg.startsWith("-")) root = arg;
    else usage(2);
  }
  if (!fs.existsSync(path.join(root, "index.html"))) {
    process.stderr.write(`serve-web: no page in ${root} (make web builds it)\n`);
    process.exit(1);
  }
  try {
    const { url } = await startServer({ root, host, port });
    process.stdout.write(`Vestrel page at ${url} (Ctrl-C ends)\n`);
  } catch (error) {
    process.stderr.write(`serve-web: cannot listen on ${host}:${port}: ${error.message}\n`);
    process.exit(1);
  }
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) main(process.argv.slice(2));
