// dirhttp as a person sees it, in headless Chromium and in headless Firefox ESR, each case once
// per engine: the listing pages, every link of the root listing clicked in turn, awkward names,
// the 404 page, a page with many images, scripts and stylesheets, a file saved byte for byte, and
// what each engine does with the fixed content types. Run with `node --test` from this directory
// after `npm ci`; DIRHTTP_BIN names the server binary (default ../../build/debug/dirhttp),
// BROWSER_ENGINES=chromium (or firefox) runs one engine.
'use strict';

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const engines = require('./engines');
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
  { name: 'types', kind: 'dir', heading: 'Listing /types' },
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

// Files whose content types browsers treat in ways a user should know: .js is application/js,
// .htm has no type of its own (application/octet-stream), .txt is text/plain with no character set.
const EVERY_BYTE = Buffer.concat([Buffer.from([...Array(256).keys()]), Buffer.from('\r\n\x1a\n\r\0'),
  Buffer.from([...Array(100000).keys()].map((i) => (i * 7 + (i >> 8)) & 0xff))]);
const TYPE_FILES = {
  'classic.js': 'window.classic_ran = true;\n',
  'module.js': 'window.module_ran = true;\n',
  'classic.html': '<!DOCTYPE html><title>classic</title>' +
    '<script src="classic.js" onerror="window.classic_refused = true"></script>',
  'module.html': '<!DOCTYPE html><title>module</title>' +
    '<script type="module" src="module.js" onerror="window.module_refused = true"></script>',
  'page.htm': '<!DOCTYPE html><title>htm</title><h2 id="rendered">an .htm page</h2>',
  'utf8.txt': Buffer.from('caf\u00e9 \u65e5\u672c\n', 'utf8'),
  'latin1.txt': Buffer.from('caf\xe9 na\xefve\n', 'latin1'),
  'every-byte.bin': EVERY_BYTE,
};

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
  files.push(['types', null]);
  for (const [name, contents] of Object.entries(TYPE_FILES)) files.push([`types/${name}`, contents]);
  return files;
}

let root;
let server;

before(async () => {
  root = h.make_tree(fixture_entries());
  server = await h.start_server(root);
});

after(async () => {
  await h.stop_server(server);
  if (root) h.remove_tree(root);
});

// What a listing page shows: its heading, its link texts in order, and how many elements its
// names turned into (none, when every name is shown as text).
async function listing(tab) {
  return tab.evaluate(() => ({
    heading: document.querySelector('h1').innerText,
    links: [...document.querySelectorAll('a')].map((a) => a.textContent),
    markup: document.querySelectorAll('b, i, script, img').length,
  }));
}

// What a person must read for a name's bytes: its characters, U+FFFD for bytes that are not UTF-8.
function displayed(bytes) {
  return new TextDecoder('utf-8').decode(bytes);
}

// A test name for raw name bytes: ASCII as it is, other bytes as [nn] in hex.
function label(bytes) {
  return [...bytes].map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : `[${b.toString(16)}]`)).join('');
}

// Each case, run in one engine: `browser()` is that engine's running browser.
function cases(browser) {
  // A tab for one case, closed whatever the case's outcome.
  async function in_tab(run) {
    const tab = await browser().new_tab();
    try {
      await run(tab);
    } finally {
      await tab.close();
    }
  }

  test('the root listing shows its heading and one link per entry', { timeout: 30000 }, () => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/`);
    const seen = await listing(tab);
    assert.equal(seen.heading, 'Listing /');
    const expected = ROOT_ENTRIES.map((e) => displayed(e.bytes));
    assert.deepEqual([...seen.links].sort(), [...expected].sort());
    assert.equal(seen.markup, 0, 'a name was taken as markup');
  }));

  test('each link of the root listing opens the right thing, and back', { timeout: 120000 }, (t) => in_tab(async (tab) => {
    for (const e of ROOT_ENTRIES) {
      await t.test(`link ${label(e.bytes)} (${e.kind})`, async () => {
        await tab.goto(`${h.BASE_URL}/`);
        await tab.follow(displayed(e.bytes));
        if (e.kind === 'text') {
          assert.equal(await tab.body_text(), e.marker);
        } else if (e.kind === 'image') {
          const size = await tab.evaluate(() => {
            const img = document.images[0];
            return img && img.complete ? [img.naturalWidth, img.naturalHeight] : null;
          });
          assert.deepEqual(size, [7, 5], 'the image did not decode');
        } else if (e.kind === 'html') {
          assert.equal(await tab.text('#rendered'), e.marker);
          assert.equal(await tab.evaluate(() => document.title), 't');
        } else {
          const seen = await listing(tab);
          assert.equal(seen.heading, e.heading);
          assert.equal(seen.markup, 0, 'a name was taken as markup');
        }
        await tab.back();
        assert.equal(await tab.text('h1'), 'Listing /');
      });
    }
  }));

  test('names in several scripts read as themselves and open their files', { timeout: 60000 }, (t) => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/scripts`);
    const seen = await listing(tab);
    assert.equal(seen.heading, 'Listing /scripts');
    assert.deepEqual([...seen.links].sort(), [...SCRIPT_NAMES.map((e) => e.reads), SCRIPT_DIRECTORY.reads].sort());
    for (const e of SCRIPT_NAMES) {
      await t.test(`link ${e.reads}`, async () => {
        await tab.goto(`${h.BASE_URL}/scripts`);
        await tab.follow(e.reads);
        assert.equal(await tab.body_text(), e.marker);
      });
    }
    await tab.goto(`${h.BASE_URL}/scripts`);
    await tab.follow(SCRIPT_DIRECTORY.reads);
    assert.deepEqual(await listing(tab), { heading: 'Listing /scripts/données', links: ['inner.txt'], markup: 0 });
    await tab.follow('inner.txt');
    assert.equal(await tab.body_text(), 'inner');
  }));

  test('a folder lists its entries in name order', { timeout: 30000 }, () => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/photos/`);
    assert.deepEqual(await listing(tab), { heading: 'Listing /photos/', links: PHOTOS_IN_ORDER, markup: 0 });
  }));

  test('a subdirectory listing links to its files and back up', { timeout: 30000 }, () => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/`);
    await tab.follow('sub');
    assert.deepEqual(await listing(tab), { heading: 'Listing /sub', links: ['inner.txt'], markup: 0 });
    await tab.follow('inner.txt');
    assert.equal(new URL(tab.url()).pathname, '/sub/inner.txt');
    assert.equal(await tab.body_text(), 'inside sub');
    await tab.back();
    assert.equal(await tab.text('h1'), 'Listing /sub');
    await tab.back();
    assert.equal(await tab.text('h1'), 'Listing /');
  }));

  test('a name holding <b>x</b> is shown as text, never as markup', { timeout: 30000 }, () => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/`);
    await tab.follow('<b>x<');
    await tab.follow('b>');
    assert.deepEqual(await listing(tab), { heading: 'Listing /<b>x</b>', links: ['deep.txt'], markup: 0 });
    await tab.follow('deep.txt');
    assert.equal(await tab.body_text(), 'deep');
  }));

  test('a missing path shows the 404 page', { timeout: 30000 }, () => in_tab(async (tab) => {
    for (const path of ['/missing.txt', '/sub/missing/', '/../etc/passwd']) {
      assert.deepEqual(await tab.goto(`${h.BASE_URL}${path}`), { status: 404, type: 'text/html' }, path);
      assert.equal(await tab.text('h1'), 'File not found', path);
      assert.equal(await tab.evaluate(() => document.links.length), 0, path);
    }
  }));

  test(`a page with ${GALLERY_IMAGES} images, 3 scripts and 2 stylesheets loads completely`, { timeout: 60000 }, (t) => in_tab(async (tab) => {
    // Reached as a person would, through the listings, so the browser has already learnt the host
    // and opens its speculative extra connections to it.
    await tab.goto(`${h.BASE_URL}/`);
    await tab.follow('gallery');
    const started = Date.now();
    await tab.follow('gallery.html');
    const elapsed = Date.now() - started;
    const state = await tab.evaluate(() => ({
      images: [...document.images].map((img) => img.complete && img.naturalWidth),
      scripts: window.ran,
      widths: [0, 1].map((i) => getComputedStyle(document.querySelector(`.mark${i}`)).width),
      load_ms: Math.round(performance.getEntriesByType('navigation')[0].loadEventStart),
      slowest_ms: Math.round(Math.max(...performance.getEntriesByType('resource').map((r) => r.duration))),
    }));
    t.diagnostic(`gallery page load: ${elapsed} ms wall clock (load event at ${state.load_ms} ms, ` +
      `slowest resource ${state.slowest_ms} ms)`);
    const idle = (server.output.match(/^recv failed: /gm) || []).length;
    t.diagnostic(`connections the server closed unused so far: ${idle}`);
    assert.deepEqual(state.images, Array.from({ length: GALLERY_IMAGES }, (_, i) => 16 + i));
    assert.equal(state.scripts, 3);
    assert.deepEqual(state.widths, ['101px', '102px']);
    assert.ok(elapsed <= GALLERY_LOAD_BOUND_MS, `took ${elapsed} ms, over ${GALLERY_LOAD_BOUND_MS} ms`);
  }));

  test('a file the browser saves is every byte of it', { timeout: 60000 }, () => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/types/`);
    const saved = await tab.download('every-byte.bin');
    assert.ok(saved.equals(EVERY_BYTE), `saved ${saved.length} bytes, not the ${EVERY_BYTE.length} of the file`);
    assert.equal(await tab.text('h1'), 'Listing /types/');
  }));

  // What the engine does with the fixed content types. Both engines agree today; a change in
  // either shows up here, and docs/BEHAVIOUR.md and the manual page say the same.
  test('scripts: a classic one runs, a module one is refused (application/js)', { timeout: 30000 }, () => in_tab(async (tab) => {
    const cases = [
      // page, what the page records once loaded
      ['classic.html', { ran: true, refused: false }],
      ['module.html', { ran: false, refused: true }],
    ];
    for (const [page, want] of cases) {
      assert.deepEqual(await tab.goto(`${h.BASE_URL}/types/${page}`), { status: 200, type: 'text/html' });
      // The load event waits for both kinds of script to run or fail.
      const seen = await tab.evaluate(() => ({
        ran: Boolean(window.classic_ran || window.module_ran),
        refused: Boolean(window.classic_refused || window.module_refused),
      }));
      assert.deepEqual(seen, want, page);
    }
  }));

  test('an .htm file is downloaded, not shown', { timeout: 60000 }, () => in_tab(async (tab) => {
    await tab.goto(`${h.BASE_URL}/types/`);
    const saved = await tab.download('page.htm');
    assert.equal(String(saved), TYPE_FILES['page.htm']);
    assert.equal(await tab.text('h1'), 'Listing /types/');
  }));

  test('a text file without a character set is read as windows-1252', { timeout: 30000 }, () => in_tab(async (tab) => {
    const cases = [
      // file, the text shown: UTF-8 bytes come out as their windows-1252 characters
      ['utf8.txt', 'caf\u00c3\u00a9 \u00e6\u2014\u00a5\u00e6\u0153\u00ac'],
      ['latin1.txt', 'caf\u00e9 na\u00efve'],
    ];
    for (const [file, shown] of cases) {
      assert.deepEqual(await tab.goto(`${h.BASE_URL}/types/${file}`), { status: 200, type: 'text/plain' });
      assert.deepEqual([await tab.body_text(), await tab.evaluate(() => document.characterSet)],
        [shown, 'windows-1252'], file);
    }
  }));
}

for (const name of engines.engine_names()) {
  describe(name, () => {
    let browser;
    // Launched once for all the engine's cases (Firefox takes seconds), and always closed.
    before(async () => {
      browser = await engines.launch(name);
    }, { timeout: 120000 });
    after(async () => {
      if (browser) await browser.close();
    });
    cases(() => browser);
  });
}
