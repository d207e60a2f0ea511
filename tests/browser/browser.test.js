// dirhttp as a person sees it in headless Chromium: the listing pages, every link of the root
// listing clicked in turn, awkward names, and a page with many images, scripts and stylesheets.
// Run with `node --test` from this directory after `npm ci`; DIRHTTP_BIN names the server binary
// (default ../../build/debug/dirhttp).
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

const GALLERY_IMAGES = 30;
const GALLERY_LOAD_BOUND_MS = 10000;

const pixel = h.make_png(7, 5, (x, y) => [x * 36, y * 50, 200]);

// The root of the served tree: [name bytes, what clicking its link must show, contents].
// Names cover the bytes a URL or HTML treats specially, and bytes above 0x7F both as UTF-8 and
// as a lone Latin-1 byte.
const ROOT_ENTRIES = [
  { name: 'hello.txt', kind: 'text' },
  { name: 'sub', kind: 'dir', heading: 'Listing /sub' },
  { name: 'pixel.png', kind: 'image' },
  { name: 'page.html', kind: 'html' },
  { name: 'a space.txt', kind: 'text' },
  { name: 'amp&ersand.txt', kind: 'text' },
  { name: 'hash#tag.txt', kind: 'text' },
  { name: '100%.txt', kind: 'text' },
  { name: "it's.txt", kind: 'text' },
  { name: 'a+b.txt', kind: 'text' },
  { name: '~tilde.txt', kind: 'text' },
  { name: Buffer.from('café.txt', 'utf8'), kind: 'text' },
  { name: Buffer.from('caf\xe9-latin1.txt', 'latin1'), kind: 'text' },
  // A directory "<b>x<" holding "b>": the nested listing's heading reads /<b>x</b>.
  { name: '<b>x<', kind: 'dir', heading: 'Listing /<b>x<' },
  { name: 'gallery', kind: 'dir', heading: 'Listing /gallery' },
  { name: 'scripts', kind: 'dir', heading: 'Listing /scripts' },
  { name: 'photos', kind: 'dir', heading: 'Listing /photos' },
].map((entry, index) => ({ ...entry, bytes: Buffer.from(entry.name), marker: `contents of entry ${index}` }));

// A folder of names in several scripts, 2-, 3- and 4-byte UTF-8, and one name that is not
// UTF-8 (Latin-1 bytes): each link must read as the name itself and open its file.
const SCRIPT_NAMES = [
  { bytes: Buffer.from('café.txt'), reads: 'café.txt' },
  { bytes: Buffer.from('naïve résumé & co.txt'), reads: 'naïve résumé & co.txt' },
  { bytes: Buffer.from('Ελληνικά.txt'), reads: 'Ελληνικά.txt' },
  { bytes: Buffer.from('Привет.txt'), reads: 'Привет.txt' },
  { bytes: Buffer.from('עברית.txt'), reads: 'עברית.txt' },
  { bytes: Buffer.from('日本語.txt'), reads: '日本語.txt' },
  { bytes: Buffer.from('emoji 🎉.txt'), reads: 'emoji 🎉.txt' },
  { bytes: Buffer.from('r\xe9sum\xe9-latin1.txt', 'latin1'), reads: 'r\ufffdsum\ufffd-latin1.txt' },
].map((entry, index) => ({ ...entry, marker: `contents of script name ${index}` }));
const SCRIPT_DIRECTORY = { bytes: Buffer.from('données'), reads: 'données' };

// Names in the order the listing must give them (NTFS order), made in another order.
const PHOTOS_IN_ORDER = ['-cover.txt', '2024', 'a.txt', 'B.txt', 'IMG_0001.JPG', 'img_0002.jpg',
  'IMG_0010.JPG', 'IMG_0100.JPG', 'Zoo', '_index.txt', 'été.txt'];

function fixture_entries() {
  const files = [];
  files.push(['scripts', null]);
  for (const e of SCRIPT_NAMES) files.push([Buffer.concat([Buffer.from('scripts/'), e.bytes]), `${e.marker}\n`]);
  files.push([Buffer.concat([Buffer.from('scripts/'), SCRIPT_DIRECTORY.bytes]), null]);
  files.push([Buffer.from('scripts/données/inner.txt'), 'inner\n']);
  files.push(['photos', null]);
  for (const name of [...PHOTOS_IN_ORDER].reverse()) files.push([`photos/${name}`, '']);
  for (const e of ROOT_ENTRIES) {
    if (e.kind === 'text') files.push([e.bytes, `${e.marker}\n`]);
    if (e.kind === 'image') files.push([e.bytes, pixel]);
    if (e.kind === 'html') {
      files.push([e.bytes, `<!DOCTYPE html><title>t</title><h2 id="rendered">${e.marker}</h2>`]);
    }
  }
  files.push(['sub', null], ['sub/inner.txt', 'inside sub\n']);
  // Dot-names are never listed: the root's and sub's listings must not show these.
  files.push(['.hidden.txt', 'hidden\n'], ['sub/.git', null], ['sub/.git/HEAD', 'ref\n']);
  files.push(['<b>x<', null], ['<b>x</b>', null], ['<b>x</b>/deep.txt', 'deep\n']);
  files.push(['gallery', null]);
  let body = '<!DOCTYPE html><html><head><title>gallery</title>';
  for (let i = 0; i < 2; i++) {
    files.push([`gallery/style${i}.css`, `.mark${i} { width: ${101 + i}px; }\n`]);
    body += `<link rel="stylesheet" href="style${i}.css">`;
  }
  for (let i = 0; i < 3; i++) {
    files.push([`gallery/script${i}.js`, `window.ran = (window.ran || 0) + 1;\n`]);
    body += `<script src="script${i}.js"></script>`;
  }
  body += '</head><body><div class="mark0"></div><div class="mark1"></div>';
  for (let i = 0; i < GALLERY_IMAGES; i++) {
    files.push([`gallery/img${i}.png`, h.make_png(16 + i, 12, (x, y) => [i * 8, x * 10, y * 20])]);
    body += `<img src="img${i}.png" alt="${i}">`;
  }
  files.push(['gallery/gallery.html', body + '</body></html>']);
  return files;
}

let root;
let server;
let browser;

before(async () => {
  root = h.make_tree(fixture_entries());
  server = await h.start_server(root);
  browser = await h.launch_browser();
});

after(async () => {
  await h.close_browser(browser);
  await h.stop_server(server);
  if (root) h.remove_tree(root);
});

async function listing(page) {
  return {
    heading: await page.locator('h1').innerText(),
    links: await page.$$eval('a', (as) => as.map((a) => a.textContent)),
    markup: await page.$$eval('b, i, script, img', (els) => els.length),
  };
}

// What a person must read for a name's bytes: its characters, U+FFFD for bytes that are not UTF-8.
function displayed(bytes) {
  return new TextDecoder('utf-8').decode(bytes);
}

test('the root listing shows its heading and one link per entry', { timeout: 30000 }, async () => {
  const page = await browser.context.newPage();
  await page.goto(`${h.BASE_URL}/`);
  const seen = await listing(page);
  assert.equal(seen.heading, 'Listing /');
  const expected = [];
  for (const e of ROOT_ENTRIES) expected.push(displayed(e.bytes));
  assert.deepEqual([...seen.links].sort(), [...expected].sort());
  assert.equal(seen.markup, 0, 'a name was taken as markup');
  await page.close();
});

// A test name for raw name bytes: ASCII as it is, other bytes as [nn] in hex.
function label(bytes) {
  return [...bytes].map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : `[${b.toString(16)}]`)).join('');
}

test('each link of the root listing opens the right thing, and back', { timeout: 90000 }, async (t) => {
  const page = await browser.context.newPage();
  for (const e of ROOT_ENTRIES) {
    await t.test(`link ${label(e.bytes)} (${e.kind})`, async () => {
      await page.goto(`${h.BASE_URL}/`);
      const text = displayed(e.bytes);
      const texts = await page.$$eval('a', (as) => as.map((a) => a.textContent));
      assert.equal(texts.filter((x) => x === text).length, 1, `one link reads ${text}`);
      await Promise.all([page.waitForNavigation(), page.locator('a').nth(texts.indexOf(text)).click()]);
      if (e.kind === 'text') {
        assert.equal((await page.locator('body').innerText()).trim(), e.marker);
      } else if (e.kind === 'image') {
        const size = await page.evaluate(() => {
          const img = document.images[0];
          return img && img.complete ? [img.naturalWidth, img.naturalHeight] : null;
        });
        assert.deepEqual(size, [7, 5], 'the image did not decode');
      } else if (e.kind === 'html') {
        assert.equal(await page.locator('#rendered').innerText(), e.marker);
        assert.equal(await page.title(), 't');
      } else {
        const seen = await listing(page);
        assert.equal(seen.heading, e.heading);
        assert.equal(seen.markup, 0, 'a name was taken as markup');
      }
      await page.goBack();
      assert.equal(await page.locator('h1').innerText(), 'Listing /');
    });
  }
  await page.close();
});

test('names in several scripts read as themselves and open their files', { timeout: 60000 }, async (t) => {
  const page = await browser.context.newPage();
  await page.goto(`${h.BASE_URL}/scripts`);
  const seen = await listing(page);
  assert.equal(seen.heading, 'Listing /scripts');
  assert.deepEqual([...seen.links].sort(), [...SCRIPT_NAMES.map((e) => e.reads), SCRIPT_DIRECTORY.reads].sort());
  for (const e of SCRIPT_NAMES) {
    await t.test(`link ${e.reads}`, async () => {
      await page.goto(`${h.BASE_URL}/scripts`);
      await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: e.reads, exact: true }).click()]);
      assert.equal((await page.locator('body').innerText()).trim(), e.marker);
    });
  }
  await page.goto(`${h.BASE_URL}/scripts`);
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: SCRIPT_DIRECTORY.reads, exact: true }).click()]);
  assert.deepEqual(await listing(page), { heading: 'Listing /scripts/données', links: ['inner.txt'], markup: 0 });
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'inner.txt' }).click()]);
  assert.equal((await page.locator('body').innerText()).trim(), 'inner');
  await page.close();
});

test('a folder lists its entries in name order', { timeout: 30000 }, async () => {
  const page = await browser.context.newPage();
  await page.goto(`${h.BASE_URL}/photos/`);
  assert.deepEqual(await listing(page), { heading: 'Listing /photos/', links: PHOTOS_IN_ORDER, markup: 0 });
  await page.close();
});

test('a subdirectory listing links to its files and back up', { timeout: 30000 }, async () => {
  const page = await browser.context.newPage();
  await page.goto(`${h.BASE_URL}/`);
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'sub', exact: true }).click()]);
  assert.deepEqual(await listing(page), { heading: 'Listing /sub', links: ['inner.txt'], markup: 0 });
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'inner.txt' }).click()]);
  assert.equal(new URL(page.url()).pathname, '/sub/inner.txt');
  assert.equal((await page.locator('body').innerText()).trim(), 'inside sub');
  await page.goBack();
  assert.equal(await page.locator('h1').innerText(), 'Listing /sub');
  await page.goBack();
  assert.equal(await page.locator('h1').innerText(), 'Listing /');
  await page.close();
});

test('a name holding <b>x</b> is shown as text, never as markup', { timeout: 30000 }, async () => {
  const page = await browser.context.newPage();
  await page.goto(`${h.BASE_URL}/`);
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: '<b>x<', exact: true }).click()]);
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'b>', exact: true }).click()]);
  assert.deepEqual(await listing(page), { heading: 'Listing /<b>x</b>', links: ['deep.txt'], markup: 0 });
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'deep.txt' }).click()]);
  assert.equal((await page.locator('body').innerText()).trim(), 'deep');
  await page.close();
});

test(`a page with ${GALLERY_IMAGES} images, 3 scripts and 2 stylesheets loads completely`, { timeout: 60000 }, async (t) => {
  // Reached as a person would, through the listings, so the browser has already learnt the host
  // and opens its speculative extra connections to it.
  const page = await browser.context.newPage();
  await page.goto(`${h.BASE_URL}/`);
  await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'gallery', exact: true }).click()]);
  const started = Date.now();
  await Promise.all([
    page.waitForNavigation({ waitUntil: 'load', timeout: 30000 }),
    page.getByRole('link', { name: 'gallery.html' }).click(),
  ]);
  const elapsed = Date.now() - started;
  const state = await page.evaluate(() => ({
    images: [...document.images].map((img) => img.complete && img.naturalWidth),
    scripts: window.ran,
    widths: [0, 1].map((i) => getComputedStyle(document.querySelector(`.mark${i}`)).width),
    load_ms: Math.round(performance.getEntriesByType('navigation')[0].loadEventStart),
    slowest_ms: Math.round(Math.max(...performance.getEntriesByType('resource').map((r) => r.duration))),
  }));
  const line = `gallery page load: ${elapsed} ms wall clock (load event at ${state.load_ms} ms, ` +
    `slowest resource ${state.slowest_ms} ms)`;
  t.diagnostic(line);
  const idle = (server.output.match(/^recv failed: /gm) || []).length;
  t.diagnostic(`connections the server closed unused so far: ${idle}`);
  assert.deepEqual(state.images, Array.from({ length: GALLERY_IMAGES }, (_, i) => 16 + i));
  assert.equal(state.scripts, 3);
  assert.deepEqual(state.widths, ['101px', '102px']);
  assert.ok(elapsed <= GALLERY_LOAD_BOUND_MS, `took ${elapsed} ms, over ${GALLERY_LOAD_BOUND_MS} ms`);
  await page.close();
});
