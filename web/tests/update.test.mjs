// Whole updates in Debian's Chromium through the page, its worker and the engine, against a
// stand-in for Web MIDI that the tests put into the page (midi-double.mjs): the image arrives
// intact, nothing goes out before "Execute", the run is kept in the browser's history and the
// report downloads in the desktop report's shape; a device unplugged during the transfer ends the
// run with the clear error within 5 s.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { mkdtemp, readdir, readFile, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { launchBrowser, pageState, serveSite, setMidiPermission, SOURCE_DIR } from './browser.mjs';
import { installMidiDouble } from './midi-double.mjs';

const IMAGE_SHA256 = createHash('sha256')
  .update(await readFile(path.join(SOURCE_DIR, 'app/resources/firmware.bin')))
  .digest('hex');

let site;
let chromium;

before(async () => {
  site = await serveSite();
  chromium = await launchBrowser();
});

after(async () => {
  await chromium?.close();
  await site?.close();
});

// A page of a context of its own (its own history) with the stand-in device.
async function openWithDevice(options = {}) {
  const context = await chromium.browser.createBrowserContext();
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.evaluateOnNewDocument(installMidiDouble, options);
  await page.goto(site.url);
  assert.equal(await pageState(page), 'ready');
  return { context, page, errors };
}

function controls(page) {
  return page.evaluate(() => {
    const select = (id) => {
      const s = document.getElementById(id);
      return { names: Array.from(s.options, (o) => o.textContent), selected: s.selectedIndex, disabled: s.disabled };
    };
    return {
      in: select('midi-in'),
      out: select('midi-out'),
      execute: document.getElementById('execute').disabled,
      rescan: document.getElementById('rescan').disabled,
      status: document.getElementById('status').value,
      progress: document.getElementById('progress').value,
      message: document.getElementById('message').hidden ? '' : document.getElementById('message').textContent,
      history: Array.from(document.querySelectorAll('#history tbody tr'), (row) => row.dataset.ending),
    };
  });
}

describe('a whole update through a stand-in for Web MIDI', () => {
  it('delivers the image intact, keeps the run in the history and downloads the report', async () => {
    const { context, page, errors } = await openWithDevice();
    const downloads = await mkdtemp(path.join(tmpdir(), 'tarnet-downloads-'));
    try {
      let c = await controls(page);
      assert.deepEqual(c.in, { names: ['USB Audio Device'], selected: 0, disabled: false });
      assert.deepEqual(c.out, { names: ['USB Audio Device'], selected: 0, disabled: false });
      assert.equal(c.message, '');
      // Nothing has gone to the device before "Execute".
      assert.equal(await page.evaluate(() => window.__midiDouble.sends), 0);

      await page.click('#execute');
      await page.waitForFunction(() => document.getElementById('execute').disabled, { timeout: 5000 });
      c = await controls(page);
      assert.equal(c.in.disabled && c.out.disabled && c.rescan, true);
      await page.waitForFunction(() => document.getElementById('status').value === 'Version update completed.',
        { timeout: 60000 });
      const device = await page.evaluate(async () => {
        const d = window.__midiDouble;
        const digest = await crypto.subtle.digest('SHA-256', d.image);
        return {
          blocks: d.blocksAccepted,
          crcErrors: d.crcErrors,
          finishes: d.finishes,
          sha256: Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join(''),
        };
      });
      assert.deepEqual(device, { blocks: 36, crcErrors: 0, finishes: 1, sha256: IMAGE_SHA256 });
      await page.waitForFunction(() => document.querySelectorAll('#history tbody tr').length === 1, { timeout: 5000 });
      c = await controls(page);
      assert.equal(c.progress, 327680);
      assert.equal(c.execute, true);  // after a completed update, until "Rescan Device"
      assert.equal(c.in.disabled || c.out.disabled || c.rescan, false);
      assert.deepEqual(c.history, ['Completed']);

      // The report, as the desktop's report: downloaded into a folder of the test's own.
      const session = await page.createCDPSession();
      await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads, browserContextId: context.id });
      await page.click('#download-report');
      let files = [];
      for (let i = 0; i < 100 && !files.some((f) => f.endsWith('.json')); i++) {
        await new Promise((resolve) => setTimeout(resolve, 100));
        files = await readdir(downloads);
      }
      assert.deepEqual(files, ['tarnet-updater-report.json']);
      const text = await readFile(path.join(downloads, files[0]), 'utf8');
      const report = JSON.parse(text);
      assert.equal(report.program, 'tarnet-updater-web');
      assert.equal(report.version, '1.10');
      assert.equal(report.records.length, 1);
      const record = report.records[0];
      assert.equal(record.ending, 'Completed');
      assert.equal(record.midi_in, 'USB Audio Device');
      assert.equal(record.midi_out, 'USB Audio Device');
      assert.equal(record.model, '0x6A');
      assert.equal(record.software_revision, '31 30 30 30');
      assert.deepEqual(record.block_sends, new Array(36).fill(1));
      assert.ok(record.duration_ms > 0 && record.floor_ratio > 0);
      // One record a line, as the desktop writes it.
      assert.match(text, /^\{"program":"tarnet-updater-web","version":"1\.10","records":\[\n {2}\{"midi_in"/);

      // The history outlives the page.
      await page.reload();
      assert.equal(await pageState(page), 'ready');
      await page.waitForFunction(() => document.querySelectorAll('#history tbody tr').length === 1, { timeout: 5000 });
      assert.deepEqual((await controls(page)).history, ['Completed']);
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
      await rm(downloads, { recursive: true, force: true });
    }
  });

  it('ends the run with the clear error within 5 s when the device is unplugged during the transfer', async () => {
    const { context, page, errors } = await openWithDevice({ vanishAfterBlocks: 10 });
    try {
      await page.click('#execute');
      await page.waitForFunction(() => document.getElementById('error-box').open, { timeout: 30000 });
      const shown = await page.evaluate(() => ({
        afterUnplug: performance.now() - window.__midiDouble.unplugAt,
        text: document.getElementById('error-text').textContent,
        caption: document.getElementById('error-caption').textContent,
        gone: window.__midiDouble.gone,
      }));
      assert.equal(shown.gone, true);
      assert.equal(shown.caption, 'Error');
      assert.equal(shown.text, 'Transfer error occurred.');
      assert.ok(shown.afterUnplug < 5000, `${shown.afterUnplug} ms`);
      // The box closed, the controls come back, the lists are empty now, the run is recorded.
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => !document.getElementById('execute').disabled
        && document.getElementById('midi-in').options.length === 0, { timeout: 5000 });
      await page.waitForFunction(() => document.querySelectorAll('#history tbody tr').length === 1, { timeout: 5000 });
      const c = await controls(page);
      assert.deepEqual(c.history, ['DeviceGone']);
      assert.match(c.message, /No MIDI device is connected/);
      assert.deepEqual(errors, []);
    } finally {
      await context.close();
    }
  });
});
