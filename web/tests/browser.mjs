// What the browser tests share: the site served from this machine's loopback interface by a small
// server of the tests' own (it notes every request), and Debian's Chromium started headless with a
// profile of its own, driven by puppeteer-core.
//
// TARNET_SITE_DIR names the site (default: build/web/site beside this folder's parent);
// TARNET_CHROMIUM the browser (default: /usr/bin/chromium).
import { createServer } from 'node:http';
import { mkdtemp, readFile, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const SOURCE_DIR = path.resolve(here, '../..');
export const SITE_DIR = process.env.TARNET_SITE_DIR || path.join(SOURCE_DIR, 'build/web/site');
export const CHROMIUM = process.env.TARNET_CHROMIUM || '/usr/bin/chromium';
// A name that resolves to the loopback interface but, unlike localhost, is no secure context.
export const INSECURE_HOST = 'tarnet-updater.test';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.svg': 'image/svg+xml',
};

// Serves SITE_DIR on 127.0.0.1 at a free port, as a static host does: the files and their types,
// no further headers. `requests` lists every path asked for.
export async function serveSite() {
  const requests = [];
  const server = createServer(async (request, response) => {
    requests.push(request.url);
    const url = new URL(request.url, 'http://127.0.0.1');
    const name = url.pathname === '/' ? 'index.html' : url.pathname.slice(1);
    const file = path.join(SITE_DIR, path.normalize(name));
    if (!file.startsWith(SITE_DIR + path.sep) && file !== SITE_DIR) {
      response.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      response.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
      response.end(body);
    } catch (e) {
      response.writeHead(404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const port = server.address().port;
  return {
    url: `http://127.0.0.1:${port}/`,
    insecureUrl: `http://${INSECURE_HOST}:${port}/`,
    origin: `http://127.0.0.1:${port}`,
    requests,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// Chromium, headless, with a fresh profile that is removed again by close(). Nothing of the
// browser's own reaches out to the network.
export async function launchBrowser() {
  const profile = await mkdtemp(path.join(tmpdir(), 'tarnet-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    protocolTimeout: 60000,
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      '--no-first-run',
      '--disable-quic',
      `--user-data-dir=${profile}`,
      `--host-resolver-rules=MAP ${INSECURE_HOST} 127.0.0.1`,
    ],
  });
  return {
    browser,
    close: async () => {
      await browser.close();
      await rm(profile, { recursive: true, force: true });
    },
  };
}

// Grants MIDI with System Exclusive to `origin` in `context` (Browser.grantPermissions), or denies
// it (Browser.setPermission), through the DevTools protocol, as a user's choice in the site
// settings would. The browser keeps the setting while the returned session stays attached.
export async function setMidiPermission(browser, context, origin, setting) {
  const session = await browser.target().createCDPSession();
  const target = context.id ? { browserContextId: context.id } : {};
  if (setting === 'granted') {
    await session.send('Browser.grantPermissions', { origin, permissions: ['midi', 'midiSysex'], ...target });
  } else {
    for (const sysex of [false, true]) {
      await session.send('Browser.setPermission', { origin, permission: { name: 'midi', sysex }, setting, ...target });
    }
  }
  return session;
}

// Waits until the page has said it is ready (lists filled, or why there is no MIDI) or refused to
// start, at most `timeout` ms; returns its state.
export async function pageState(page, timeout = 10000) {
  await page.waitForFunction(() => document.body.dataset.state !== 'loading', { timeout });
  return page.evaluate(() => document.body.dataset.state);
}
