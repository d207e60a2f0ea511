// The two browser engines of the suite behind one small interface, so that each case is written
// once: Debian's Chromium driven by playwright-core, and Debian's Firefox ESR driven by
// puppeteer-core over WebDriver BiDi. Each engine is launched headless in a profile directory of
// its own, which close() removes with everything the browser wrote there (downloads included).
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const h = require('./harness');

const FIREFOX = process.env.FIREFOX || '/usr/bin/firefox-esr';
const LAUNCH_TIMEOUT_MS = 90000;

// One tab, whichever library drives it. Both libraries' pages share the calls used here
// (goto, waitForNavigation, goBack, evaluate, url, $$ and an element's click).
class Tab {
  constructor(page) {
    this.page = page;
  }

  // Opens `url`; returns { status, type } of the document shown, or null when the response shows
  // no document (the browser took it as a download).
  async goto(url) {
    let response;
    try {
      response = await this.page.goto(url, { waitUntil: 'load', timeout: 30000 });
    } catch (error) {
      if (/download|NS_BINDING_ABORTED|ERR_ABORTED/i.test(String(error.message))) return null;
      throw error;
    }
    if (!response) return null;
    return { status: response.status(), type: response.headers()['content-type'] };
  }

  // The texts of the page's links, in page order.
  async link_texts() {
    return this.page.evaluate(() => [...document.querySelectorAll('a')].map((a) => a.textContent));
  }

  // Clicks the one link whose text is `text` and waits for the page it opens.
  async follow(text) {
    const texts = await this.link_texts();
    const at = texts.reduce((found, t, i) => (t === text ? [...found, i] : found), []);
    assert.equal(at.length, 1, `one link reads ${JSON.stringify(text)} among ${JSON.stringify(texts)}`);
    const links = await this.page.$$('a');
    await Promise.all([this.page.waitForNavigation({ waitUntil: 'load', timeout: 30000 }), links[at[0]].click()]);
  }

  // Clicks the one link whose text is `text`, whose response the browser takes as a download,
  // and returns the bytes the browser saved; the tab keeps showing the page it showed.
  async download(text) {
    const links = await this.page.$$('a');
    const at = (await this.link_texts()).indexOf(text);
    assert.ok(at >= 0, `no link reads ${text}`);
    return this.saved_download(() => links[at].click());
  }

  // Goes back one page, as the Back button does, and waits until the page before is shown whole:
  // a document other than the one left, complete (the same wait in both libraries).
  async back() {
    await this.page.evaluate(() => {
      window.dirhttp_left = true;
      history.back();
    });
    await this.wait_for(() => !window.dirhttp_left && document.readyState === 'complete');
  }

  // Waits until `condition` holds in the page, for 30 s at most. While a page is being replaced
  // a look may fail; the next one is made in the page that follows.
  async wait_for(condition) {
    const deadline = Date.now() + 30000;
    let failure = null;
    while (true) {
      try {
        if (await this.page.evaluate(condition)) return;
      } catch (error) {
        failure = error;
      }
      assert.ok(Date.now() < deadline, `not so within 30 s: ${condition}; last failure: ${failure}`);
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
  }

  // Runs `fn(arg)` in the page and returns its result.
  async evaluate(fn, arg) {
    return this.page.evaluate(fn, arg);
  }

  async text(selector) {
    return this.page.evaluate((s) => document.querySelector(s).innerText, selector);
  }

  async body_text() {
    return (await this.text('body')).trim();
  }

  url() {
    return this.page.url();
  }

  async close() {
    await this.page.close();
  }
}

// Chromium: the harness's playwright-core launch, which keeps downloads until it closes.
class ChromiumTab extends Tab {
  async saved_download(start) {
    const [download] = await Promise.all([this.page.waitForEvent('download', { timeout: 30000 }), start()]);
    return fs.readFileSync(await download.path());
  }
}

async function launch_chromium() {
  const browser = await h.launch_browser();
  return {
    name: 'chromium',
    new_tab: async () => new ChromiumTab(await browser.context.newPage()),
    close: () => h.close_browser(browser),
  };
}

// Firefox saves a download as NAME.part and renames it to NAME once it is whole.
class FirefoxTab extends Tab {
  constructor(page, downloads) {
    super(page);
    this.downloads = downloads;
  }

  async saved_download(start) {
    const before = new Set(fs.existsSync(this.downloads) ? fs.readdirSync(this.downloads) : []);
    await start();
    const deadline = Date.now() + 30000;
    while (true) {
      const names = fs.existsSync(this.downloads) ? fs.readdirSync(this.downloads) : [];
      const fresh = names.filter((n) => !before.has(n));
      if (fresh.length === 1 && !fresh[0].endsWith('.part') && !names.includes(`${fresh[0]}.part`)) {
        return fs.readFileSync(path.join(this.downloads, fresh[0]));
      }
      assert.ok(Date.now() < deadline, `no download saved within 30 s: ${JSON.stringify(fresh)}`);
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
  }
}

// Firefox ESR: puppeteer-core over WebDriver BiDi (no geckodriver), Debian's binary, no download
// of a browser of its own. Downloads go to the profile directory.
async function launch_firefox() {
  const puppeteer = require('puppeteer-core');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'dirhttp-firefox-'));
  const downloads = path.join(profile, 'downloads');
  let browser;
  try {
    browser = await puppeteer.launch({
      browser: 'firefox',
      executablePath: FIREFOX,
      headless: true,
      userDataDir: profile,
      timeout: LAUNCH_TIMEOUT_MS,
      defaultViewport: { width: 1000, height: 700 },
      extraPrefsFirefox: {
        'browser.download.dir': downloads,
        'browser.download.folderList': 2,
        'browser.download.useDownloadDir': true,
        'browser.download.always_ask_before_handling_new_types': false,
        // Back loads the page again, as Chromium does here: puppeteer does not follow a page that
        // Firefox shows again from its cache of pages, and its next navigation never ends.
        'browser.sessionhistory.max_total_viewers': 0,
      },
    });
  } catch (error) {
    h.remove_tree(profile);
    throw error;
  }
  return {
    name: 'firefox',
    new_tab: async () => new FirefoxTab(await browser.newPage(), downloads),
    close: async () => {
      try {
        await browser.close();
      } finally {
        h.remove_tree(profile);
      }
    },
  };
}

// The engines every case runs in, by name; BROWSER_ENGINES=chromium (or firefox) picks one.
const ENGINES = { chromium: launch_chromium, firefox: launch_firefox };

function engine_names() {
  const wanted = (process.env.BROWSER_ENGINES || 'chromium,firefox').split(',').filter(Boolean);
  for (const name of wanted) assert.ok(ENGINES[name], `no browser engine ${name}`);
  return wanted;
}

function launch(name) {
  return ENGINES[name]();
}

module.exports = { engine_names, launch };
