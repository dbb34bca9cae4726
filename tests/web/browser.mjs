// Debian's Chromium, headless, driven over the DevTools protocol (puppeteer-core; nothing
// downloads a browser), on the demo build: the published page with the simulated unit behind a
// WebHID double. Shared by the tests, the bench and `run.sh web`.
import {mkdir} from 'node:fs/promises';
import {dirname, join, resolve} from 'node:path';
import {fileURLToPath} from 'node:url';
import puppeteer from 'puppeteer-core';

import {serve} from './serve.mjs';

export const repo = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
export const webTree = process.env.UPDATER_WEB_TREE || join(repo, 'build/web');
export const screenshots = join(repo, 'build/screenshots');

// Without the flags test drivers add to keep background pages at full speed: a hidden page here
// is throttled as in a user's browser.
const throttlingSwitches = ['--disable-background-timer-throttling', '--disable-renderer-backgrounding',
                            '--disable-backgrounding-occluded-windows'];

export async function startBrowser(folder = join(webTree, 'demo')) {
  const server = await serve(folder);
  const browser = await puppeteer.launch({
    executablePath: process.env.UPDATER_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    ignoreDefaultArgs: throttlingSwitches,
    // Without the network switches this machine's closed network refuses Chromium's own calls.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  return {
    browser,
    url: server.url,
    async close() {
      await browser.close();
      await server.close();
    },
  };
}

// One page in a window of its own (a browser context: its own permissions, its own visible
// window), in `language`, with `search` naming the demo's situation (sim/web/demo.js); with
// `beside`, a page in another tab of that page's window instead.
export async function openPage(session, {search = '', language = 'en-US', beside = null} = {}) {
  const context = beside ? beside.context : await session.browser.createBrowserContext();
  const page = await context.newPage();
  await page.setViewport({width: 960, height: 900});
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.evaluateOnNewDocument((lang) => {
    Object.defineProperty(navigator, 'language', {get: () => lang});
    Object.defineProperty(navigator, 'languages', {get: () => [lang]});
    // What the page does with the screen wake lock, for the tests to see.
    window.wakeLockLog = [];
    if (navigator.wakeLock) {
      const request = navigator.wakeLock.request.bind(navigator.wakeLock);
      navigator.wakeLock.request = async (type) => {
        const lock = await request(type);
        window.wakeLockLog.push('held');
        lock.addEventListener('release', () => window.wakeLockLog.push('released'));
        return lock;
      };
    }
  }, language);
  const workerReady = new Promise((resolveWorker) => page.once('workercreated', resolveWorker));
  await page.goto(session.url + search);
  const worker = await workerReady;
  const view = new PageView(page, worker, context, errors);
  await view.settled();
  return view;
}

export class PageView {
  constructor(page, worker, context, errors) {
    this.page = page;
    this.worker = worker;
    this.context = context;
    this.errors = errors;
  }

  // The worker has looked for units and the page shows what it found.
  async settled() {
    await this.page.waitForFunction(() => document.body.dataset.state !== undefined);
  }

  state() {
    return this.page.evaluate(() => ({
      state: document.body.dataset.state,
      phase: document.body.dataset.phase || '',
      hint: document.getElementById('hint').textContent,
      unitLabel: document.getElementById('label-unit').textContent,
      versions: ['value-unit', 'value-bootloader', 'value-esc'].map((id) => document.getElementById(id).textContent),
      greyed: document.getElementById('panel').classList.contains('greyed'),
      updateDisabled: document.getElementById('update').disabled,
      title: document.title,
      visibility: document.visibilityState,
    }));
  }

  // The open message box, or null.
  box() {
    return this.page.evaluate(() => {
      const dialog = document.getElementById('box');
      if (!dialog.open) return null;
      const buttons = [...dialog.querySelectorAll('button')].filter((b) => !b.hidden).map((b) => b.textContent);
      return {kind: dialog.dataset.kind, caption: document.getElementById('box-caption').textContent,
              text: document.getElementById('box-text').textContent, buttons,
              focusInside: dialog.contains(document.activeElement)};
    });
  }

  async waitForBox(timeout = 30000) {
    await this.page.waitForSelector('#box[open]', {timeout});
    return this.box();
  }

  // Presses the box's button with this label; returns once the box is closed, or another one
  // took its place.
  async press(label) {
    const shown = await this.page.evaluate(() => document.body.dataset.boxes);
    const pressed = await this.page.evaluate((text) => {
      const button = [...document.querySelectorAll('#box button')].find((b) => !b.hidden && b.textContent === text);
      if (!button) return false;
      button.click();
      return true;
    }, label);
    if (!pressed) throw new Error(`no button "${label}" in the box`);
    await this.page.waitForFunction((before) => !document.getElementById('box').open ||
                                                document.body.dataset.boxes !== before, {}, shown);
  }

  clickUpdate() { return this.page.click('#update'); }

  // Generous: the test command runs other stages beside the browser, on two cores.
  waitForPhase(phase, timeout = 300000) {
    return this.page.waitForFunction((p) => document.body.dataset.phase === p, {timeout, polling: 'mutation'}, phase);
  }

  // The transfer's bar has reached `percent`.
  waitForProgress(percent, timeout = 120000) {
    return this.page.waitForFunction(
      (p) => Number(document.getElementById('progress-bar').getAttribute('aria-valuenow')) >= p, {timeout}, percent);
  }

  waitForHint(text, timeout = 30000) {
    return this.page.waitForFunction((t) => document.getElementById('hint').textContent === t, {timeout, polling: 'mutation'}, text);
  }

  // The simulated unit's side (sim/web/hid_double.js), in the worker.
  unit(call, ...args) {
    return this.worker.evaluate((name, list) => simulatedHid[name](...list), call, args);
  }

  async screenshot(name) {
    await mkdir(screenshots, {recursive: true});
    await this.page.screenshot({path: join(screenshots, `web-${name}.png`)});
  }

  // Closes the page's window, or only its tab when it shares the window with another page.
  close({tabOnly = false} = {}) { return tabOnly ? this.page.close() : this.context.close(); }
}

// The window's texts as the page has them, in English or German (texts.js of the build).
export async function catalogue(view, language) {
  return view.page.evaluate((lang) => {
    const texts = pageTexts[lang];
    const byId = {};
    for (const [id, name] of Object.entries(pageTexts.ids)) byId[name] = Number(id);
    return {texts, byId};
  }, language);
}
