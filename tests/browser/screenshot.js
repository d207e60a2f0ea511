// Takes the picture of a listing page that the README shows: the real server serving a small
// example tree, looked at in headless Chromium. Usage: node screenshot.js OUTPUT.png
'use strict';

const h = require('./harness');

async function main(output) {
  // Names in several scripts: the listing shows each as its characters, in name order.
  const root = h.make_tree([
    ['Photos', null],
    ['Photos/beach.png', h.make_png(8, 8, () => [40, 120, 200])],
    ['Musique', null],
    ['notes.txt', 'Shopping: bread, milk, apples\n'],
    ['index.html', '<!DOCTYPE html><h1>Hello</h1>'],
    ['report 2026.pdf', '%PDF-1.4\n'],
    ['recipes & tips.txt', 'Bake at 180 degrees.\n'],
    ['résumé café.txt', 'CV\n'],
    ['Ελληνικά.txt', 'Greek\n'],
    ['Москва 2025.jpg', h.make_png(8, 8, () => [200, 40, 40])],
    ['東京の写真', null],
    ['.git', null], // dot-names are not listed
  ]);
  let server;
  let browser;
  try {
    server = await h.start_server(root);
    browser = await h.launch_browser({ width: 480, height: 265 });
    const page = await browser.context.newPage();
    await page.goto(`${h.BASE_URL}/`);
    await page.screenshot({ path: output });
    console.log(`wrote ${output}`);
  } finally {
    await h.close_browser(browser);
    await h.stop_server(server);
    h.remove_tree(root);
  }
}

if (process.argv.length !== 3) {
  console.error('usage: node screenshot.js OUTPUT.png');
  process.exit(2);
}
main(process.argv[2]).catch((error) => {
  console.error(error);
  process.exit(1);
});
