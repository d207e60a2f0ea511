// Shared pieces of the browser suite and the screenshot tool: a fixture tree on disk, the real
// server started in it while holding the port lock, and headless Chromium driven by playwright-core.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');
const { chromium } = require('playwright-core');

const PORT_LOCK = '/tmp/dirhttp-port-8080.lock';
const BASE_URL = 'http://127.0.0.1:8080';
// Other suites may hold the port for a while; DIRHTTP_LOCK_WAIT_S sets how long to wait for it.
const LOCK_WAIT_S = Number(process.env.DIRHTTP_LOCK_WAIT_S) || 240;
const START_WAIT_MS = (LOCK_WAIT_S + 10) * 1000;

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--disable-quic',
];

function default_server_binary() {
  return path.resolve(__dirname, '../../build/debug/dirhttp');
}

// ---- PNG images written from bytes ---------------------------------------------------------

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function png_chunk(type, data) {
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'ascii'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([length, body, crc]);
}

// A width x height RGB PNG whose pixels come from colour(x, y) -> [r, g, b].
function make_png(width, height, colour) {
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header[8] = 8; // bit depth
  header[9] = 2; // truecolour
  const rows = Buffer.alloc((width * 3 + 1) * height);
  for (let y = 0; y < height; y++) {
    const row = y * (width * 3 + 1); // each row starts with filter type 0
    for (let x = 0; x < width; x++) rows.set(colour(x, y), row + 1 + x * 3);
  }
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    png_chunk('IHDR', header),
    png_chunk('IDAT', zlib.deflateSync(rows)),
    png_chunk('IEND', Buffer.alloc(0)),
  ]);
}

// ---- fixture trees -------------------------------------------------------------------------

// Writes `entries` under a new temporary directory and returns its path. Each entry is
// [relative path (string or Buffer of raw bytes), contents (string or Buffer), or null for a directory].
function make_tree(entries) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'dirhttp-browser-'));
  for (const [name, contents] of entries) {
    const full = Buffer.concat([Buffer.from(root + '/'), Buffer.from(name)]);
    if (contents === null) fs.mkdirSync(full, { recursive: true });
    else fs.writeFileSync(full, contents);
  }
  return root;
}

function remove_tree(root) {
  fs.rmSync(root, { recursive: true, force: true });
}

// ---- the server ----------------------------------------------------------------------------

// Starts the server with `root` as its current directory. The shell takes the port lock on a
// descriptor and then becomes the server, so the lock is held exactly as long as the server runs
// and the child's PID is the server's own. A lock taken on a file that its last holder removed
// (stop_server does) is taken again on the file that is there now. The server gets SIGKILL when
// this process ends (setpriv --pdeathsig), so a killed suite leaves no server behind.
// Resolves once the start-up hint is printed.
function start_server(root, binary = process.env.DIRHTTP_BIN || default_server_binary()) {
  if (!fs.existsSync(binary)) throw new Error(`server binary not found: ${binary}`);
  // In a private network namespace (tools/netns-run) the port is this run's alone: no lock.
  const locked = process.env.DIRHTTP_NETNS !== '1';
  const take_lock = 'while :; do exec 9>>"$1" && flock -w ' + LOCK_WAIT_S + ' 9 || exit 75; ' +
    '[ "$(stat -c %i "$1" 2>/dev/null)" = "$(stat -L -c %i /proc/$$/fd/9)" ] && break; done; ';
  const script = (locked ? take_lock : '') + 'exec setpriv --pdeathsig KILL "$2"';
  const child = spawn('sh', ['-c', script, 'sh', PORT_LOCK, binary], {
    cwd: root,
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { ...process.env, DISPLAY: '', WAYLAND_DISPLAY: '' }, // never open a desktop browser
  });
  const server = { child, output: '', locked };
  child.stdout.on('data', (d) => (server.output += d));
  child.stderr.on('data', (d) => (server.output += d));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      stop_server(server);
      reject(new Error(`server did not start within ${START_WAIT_MS} ms:\n${server.output}`));
    }, START_WAIT_MS);
    const check = () => {
      if (server.output.includes('Open your browser to ')) {
        clearTimeout(timer);
        server.ready = true;
        child.stdout.off('data', check);
        resolve(server);
      }
    };
    child.stdout.on('data', check);
    child.on('exit', (code) => {
      clearTimeout(timer);
      server.exited = true;
      reject(new Error(`server exited with ${code} before it was ready:\n${server.output}`));
    });
  });
}

function stop_server(server) {
  if (!server || server.exited) return Promise.resolve();
  // Removed while the server still holds it, so that the suite leaves no lock file behind.
  if (server.locked && server.ready) fs.rmSync(PORT_LOCK, { force: true });
  return new Promise((resolve) => {
    const timer = setTimeout(() => {
      server.child.kill('SIGKILL');
    }, 3000);
    server.child.once('exit', () => {
      clearTimeout(timer);
      server.exited = true;
      resolve();
    });
    server.child.kill('SIGTERM');
  });
}

// ---- the browser ---------------------------------------------------------------------------

// Headless Debian Chromium in a fresh profile directory; returns { context, profile }.
async function launch_browser(viewport = { width: 1000, height: 700 }) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'dirhttp-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
    viewport,
    timeout: 60000,
  });
  return { context, profile };
}

async function close_browser(browser) {
  if (!browser) return;
  await browser.context.close();
  remove_tree(browser.profile);
}

module.exports = {
  BASE_URL,
  make_png,
  make_tree,
  remove_tree,
  start_server,
  stop_server,
  launch_browser,
  close_browser,
};
