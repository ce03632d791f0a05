// The page in Debian's Chromium, on a machine without MIDI devices (this one has no /dev/snd, so
// the browser finds no MIDI system): how fast it is ready and what it says, its use by keyboard
// alone, its accessibility (axe-core) and its reading at 200 % zoom, what it loads, the instance
// numbers of up to 20 tabs and the refusal of a 21st, and its words for each thing a browser
// can't do.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { launchBrowser, pageState, serveSite, setMidiPermission } from './browser.mjs';

const require = createRequire(import.meta.url);
const AXE_SOURCE = await readFile(require.resolve('axe-core/axe.min.js'), 'utf8');
const TITLE = 'Tarnet System Ver 1.10 Updater';

let site;
let chromium;
let permission;

before(async () => {
  site = await serveSite();
  chromium = await launchBrowser();
  permission = await setMidiPermission(chromium.browser, chromium.browser.defaultBrowserContext(), site.origin, 'granted');
});

after(async () => {
  await permission?.detach();
  await chromium?.close();
  await site?.close();
});

async function openPage(context = chromium.browser.defaultBrowserContext(), url = site.url) {
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  page.errors = errors;
  await page.goto(url);
  return page;
}

function texts(page) {
  return page.evaluate(() => ({
    title: document.title,
    heading: document.getElementById('title').textContent,
    message: document.getElementById('message').hidden ? '' : document.getElementById('message').textContent,
    midi: document.body.dataset.midi,
    instance: document.body.dataset.instance,
    inputs: document.getElementById('midi-in').options.length,
    outputs: document.getElementById('midi-out').options.length,
    status: document.getElementById('status').value,
    progress: document.getElementById('progress').value,
  }));
}

async function runAxe(page) {
  // Through the DevTools protocol, which the page's policy does not govern: the page itself runs
  // no script but its own.
  await page.evaluate(AXE_SOURCE);
  const result = await page.evaluate(async () => {
    const r = await window.axe.run(document, { resultTypes: ['violations'] });
    return r.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
  return result;
}

describe('the page on a machine without MIDI devices', () => {
  it('is ready within 1 s of loading, with its lists empty and its message', async () => {
    const page = await chromium.browser.newPage();
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    const start = Date.now();
    await page.goto(site.url);
    assert.equal(await pageState(page), 'ready');
    const elapsed = Date.now() - start;
    assert.ok(elapsed < 1000, `ready after ${elapsed} ms`);
    const t = await texts(page);
    assert.equal(t.title, TITLE);
    assert.equal(t.heading, TITLE);
    assert.equal(t.instance, '1');
    assert.equal(t.midi, 'nosystem');
    assert.match(t.message, /no MIDI system/);
    assert.equal(t.inputs, 0);
    assert.equal(t.outputs, 0);
    assert.equal(t.status, '');
    assert.equal(t.progress, 0);
    assert.deepEqual(errors, []);
    await page.close();
  });

  it('is used by keyboard alone: Tab reaches every control, Enter executes, Escape closes the box', async () => {
    const page = await openPage();
    await pageState(page);
    const order = [];
    for (let i = 0; i < 6; i++) {
      await page.keyboard.press('Tab');
      order.push(await page.evaluate(() => document.activeElement.id));
    }
    assert.deepEqual(order, ['midi-in', 'midi-out', 'rescan', 'status', 'about', 'execute']);
    // Enter in a list is "Execute": with no device the engine says the input can't open, in its
    // modal box with the desktop's caption, and the OK button has the focus.
    await page.focus('#midi-in');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.getElementById('error-box').open, { timeout: 5000 });
    const box = await page.evaluate(() => ({
      caption: document.getElementById('error-caption').textContent,
      text: document.getElementById('error-text').textContent,
      focus: document.activeElement.id,
      role: document.getElementById('error-box').getAttribute('role'),
    }));
    assert.deepEqual(box, { caption: 'Error', text: "Can't open MIDI In device.", focus: 'error-ok', role: 'alertdialog' });
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => !document.getElementById('error-box').open, { timeout: 5000 });
    // Enter on "Execute" itself does the same; Enter on OK closes the box.
    await page.focus('#execute');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.getElementById('error-box').open, { timeout: 5000 });
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => !document.getElementById('error-box').open, { timeout: 5000 });
    // "Rescan Device" by Enter gives the lists again (still empty) and no box.
    await page.focus('#rescan');
    await page.keyboard.press('Enter');
    await new Promise((resolve) => setTimeout(resolve, 300));
    assert.equal(await page.evaluate(() => document.getElementById('error-box').open), false);
    assert.deepEqual(page.errors, []);
    await page.close();
  });

  it("shows About with the program's name and version, closed by Escape or Enter", async () => {
    const page = await openPage();
    await pageState(page);
    const label = await page.evaluate(() => ({
      text: document.getElementById('about').textContent,
      key: document.getElementById('about').accessKey,
    }));
    assert.deepEqual(label, { text: 'About Tarnet Updater(A)...', key: 'a' });
    await page.focus('#about');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.getElementById('about-box').open, { timeout: 5000 });
    const about = await page.evaluate(() => ({
      caption: document.getElementById('about-caption').textContent,
      version: document.getElementById('about-version').value,
      text: document.getElementById('about-box').textContent,
    }));
    assert.equal(about.caption, 'About Tarnet Updater');
    assert.equal(about.version, TITLE);
    assert.match(about.text, /Installs system software into the device over MIDI\./);
    await page.keyboard.press('Escape');
    await page.waitForFunction(() => !document.getElementById('about-box').open, { timeout: 5000 });
    await page.click('#about');
    await page.waitForFunction(() => document.getElementById('about-box').open, { timeout: 5000 });
    await page.focus('#about-ok');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => !document.getElementById('about-box').open, { timeout: 5000 });
    await page.close();
  });

  it('has no accessibility violations (axe-core), with its boxes closed and open', async () => {
    const page = await openPage();
    await pageState(page);
    assert.deepEqual(await runAxe(page), []);
    await page.click('#about');
    await page.waitForFunction(() => document.getElementById('about-box').open);
    assert.deepEqual(await runAxe(page), []);
    await page.keyboard.press('Escape');
    await page.click('#execute');
    await page.waitForFunction(() => document.getElementById('error-box').open);
    assert.deepEqual(await runAxe(page), []);
    await page.close();
  });

  it('reads at 200 % zoom and narrower without scrolling sideways, its history included', async () => {
    const context = await chromium.browser.createBrowserContext();
    const session = await setMidiPermission(chromium.browser, context, site.origin, 'granted');
    const page = await openPage(context);
    await pageState(page);
    // A run in the history, as the page keeps it, so that its table is there too.
    await page.evaluate(() => new Promise((resolve, reject) => {
      const request = indexedDB.open('tarnet-updater', 1);
      request.onsuccess = () => {
        const transaction = request.result.transaction('records', 'readwrite');
        transaction.objectStore('records').add({
          json: JSON.stringify({ midi_in: 'USB Audio Device (12)', midi_out: 'USB Audio Device (12)', model: '0x6A',
            program_version: '1.10', start: '2026-03-05T14:03:22.125Z', end: '2026-03-05T14:03:24.301Z',
            ending: 'NotInVersionUpMode', duration_ms: 2176, block_sends: [], floor_ms: 1900, floor_ratio: 1.145 }),
        });
        transaction.oncomplete = resolve;
        transaction.onerror = reject;
      };
      request.onerror = reject;
    }));
    await page.reload();
    await pageState(page);
    await page.waitForFunction(() => !document.getElementById('history').hidden, { timeout: 5000 });
    // 200 % of a 1280 px wide window, and 400 % (320 CSS pixels, the narrowest a page must reflow to).
    for (const width of [640, 320]) {
      await page.setViewport({ width, height: 480, deviceScaleFactor: 2 });
      const layout = await page.evaluate(() => {
        const ids = ['midi-in', 'midi-out', 'rescan', 'status', 'progress', 'about', 'execute', 'message', 'history',
          'download-report'];
        const wide = [];
        for (const element of document.querySelectorAll('body *')) {
          const r = element.getBoundingClientRect();
          if (r.right > window.innerWidth + 0.5) wide.push(`${element.tagName}#${element.id} ${Math.round(r.right)}`);
        }
        return {
          wide,
          scrollWidth: document.documentElement.scrollWidth,
          width: window.innerWidth,
          outside: ids.filter((id) => {
            const r = document.getElementById(id).getBoundingClientRect();
            return r.left < 0 || r.right > window.innerWidth;
          }),
          fontSize: parseFloat(getComputedStyle(document.getElementById('status')).fontSize),
        };
      });
      assert.ok(layout.scrollWidth <= layout.width, `${width}: ${layout.scrollWidth} > ${layout.width}: ${layout.wide}`);
      assert.deepEqual(layout.outside, [], `${width}`);
      assert.ok(layout.fontSize >= 16);
    }
    await session.detach();
    await context.close();
  });

  it("loads nothing but the site's own files, and its policy refuses anything from elsewhere", async () => {
    const page = await chromium.browser.newPage();
    const requested = [];
    const answered = [];
    const failed = [];
    page.on('request', (request) => requested.push(request.url()));
    page.on('response', (response) => answered.push(response.url()));
    page.on('requestfailed', (request) => failed.push(`${request.url()} ${request.failure()?.errorText}`));
    await page.goto(site.url);
    await pageState(page);
    const foreign = requested.filter((url) => !url.startsWith(site.origin + '/'));
    assert.deepEqual(foreign, []);
    // The worker and the WebAssembly came from the site.
    assert.ok(site.requests.includes('/engine.js') && site.requests.includes('/engine.wasm'));
    const violations = await page.evaluate(async () => {
      const seen = [];
      document.addEventListener('securitypolicyviolation', (e) => seen.push(`${e.effectiveDirective} ${e.blockedURI}`));
      for (const [tag, attribute] of [['script', 'src'], ['img', 'src'], ['link', 'href']]) {
        const element = document.createElement(tag);
        if (tag === 'link') element.rel = 'stylesheet';
        element[attribute] = `https://elsewhere.invalid/x.${tag}`;
        document.body.append(element);
      }
      const inline = document.createElement('script');
      inline.textContent = 'window.inlineRan = true;';
      document.body.append(inline);
      await new Promise((resolve) => setTimeout(resolve, 500));
      return { seen, inlineRan: window.inlineRan === true };
    });
    assert.equal(violations.inlineRan, false);
    for (const directive of ['script-src-elem', 'img-src', 'style-src-elem']) {
      assert.ok(violations.seen.some((v) => v.startsWith(directive + ' https://elsewhere.invalid')), `${directive}: ${violations.seen}`);
    }
    // Refused before they left: none was answered, each failed.
    assert.deepEqual(answered.filter((url) => url.includes('elsewhere.invalid')), []);
    assert.equal(failed.filter((line) => line.includes('elsewhere.invalid')).length, 3);
    await page.close();
  });

  it("gives up to 20 tabs each its own number and refuses a 21st with the desktop's message", async () => {
    const context = await chromium.browser.createBrowserContext();
    const session = await setMidiPermission(chromium.browser, context, site.origin, 'granted');
    const pages = [];
    try {
      for (let n = 1; n <= 20; n++) {
        const page = await openPage(context);
        assert.equal(await pageState(page, 20000), 'ready');
        const t = await texts(page);
        assert.equal(t.instance, String(n));
        assert.equal(t.title, n === 1 ? TITLE : `${TITLE} (${n})`);
        pages.push(page);
      }
      const refused = await openPage(context);
      assert.equal(await pageState(refused, 20000), 'refused');
      const shown = await refused.evaluate(() => ({
        open: document.getElementById('refusal-box').open,
        text: document.getElementById('refusal-text').textContent,
        windowHidden: document.getElementById('window').hidden,
        instance: document.body.dataset.instance ?? null,
      }));
      assert.deepEqual(shown, {
        open: true,
        text: 'It is forbidden to launch more than 20 instance of this application.',
        windowHidden: true,
        instance: null,
      });
      await refused.close();
      // A closed tab's number is free again for the next one, the lowest first.
      await pages[4].close();
      const again = await openPage(context);
      assert.equal(await pageState(again, 20000), 'ready');
      assert.equal((await texts(again)).title, `${TITLE} (5)`);
      pages[4] = again;
    } finally {
      await session.detach();
      await context.close();
    }
  });

  it('says how to grant System Exclusive when the browser refused it', async () => {
    const context = await chromium.browser.createBrowserContext();
    const session = await setMidiPermission(chromium.browser, context, site.origin, 'denied');
    try {
      const page = await openPage(context);
      assert.equal(await pageState(page), 'ready');
      const t = await texts(page);
      assert.equal(t.midi, 'refused');
      assert.match(t.message, /System Exclusive/);
      assert.match(t.message, /Allow/);
    } finally {
      await session.detach();
      await context.close();
    }
  });

  it('says which browsers work in a browser without Web MIDI', async () => {
    const context = await chromium.browser.createBrowserContext();
    try {
      const page = await context.newPage();
      await page.evaluateOnNewDocument(() => {
        delete Navigator.prototype.requestMIDIAccess;
      });
      await page.goto(site.url);
      assert.equal(await pageState(page), 'ready');
      const t = await texts(page);
      assert.equal(t.midi, 'none');
      assert.match(t.message, /Chrome, Edge or\s+Opera/);
      assert.match(t.message, /Firefox/);
    } finally {
      await context.close();
    }
  });

  it('says so when it was not loaded from a secure context', async () => {
    const page = await openPage(chromium.browser.defaultBrowserContext(), site.insecureUrl);
    assert.equal(await pageState(page), 'ready');
    const t = await texts(page);
    assert.equal(await page.evaluate(() => window.isSecureContext), false);
    assert.equal(t.midi, 'insecure');
    assert.match(t.message, /https:\/\//);
    assert.equal(t.title, TITLE);
    await page.close();
  });
});
