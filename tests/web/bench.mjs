// The page's figures (bench.sh runs this after its own): the whole update in the page, visible
// and hidden, against the fixed-pause floor and the browser reference client (write, wait for
// the answer, pause) on the same simulated unit in the same browser; the CPU time of all the
// browser's processes during the update; the time from load to a drawn panel; the published
// page's transfer size. BENCH_ROUNDS rounds (3 unless set), each: visible, hidden, reference.
import {readFile, readdir} from 'node:fs/promises';
import {join} from 'node:path';
import {gzipSync} from 'node:zlib';

import {openPage, repo, startBrowser, webTree} from './browser.mjs';

const rounds = Number(process.env.BENCH_ROUNDS || 3);
const clockTicks = 100;  // USER_HZ

// CPU seconds of the browser's process and all below it, from /proc.
async function cpuSeconds(rootPid) {
  const children = new Map();
  const ticks = new Map();
  for (const entry of await readdir('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    let stat;
    try { stat = await readFile(`/proc/${entry}/stat`, 'utf8'); } catch { continue; }
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    const pid = Number(entry), parent = Number(fields[1]);
    ticks.set(pid, Number(fields[11]) + Number(fields[12]));
    if (!children.has(parent)) children.set(parent, []);
    children.get(parent).push(pid);
  }
  let total = 0;
  const walk = (pid) => { total += ticks.get(pid) || 0; for (const c of children.get(pid) || []) walk(c); };
  walk(rootPid);
  return total / clockTicks;
}

// From the update's first request (the re-identification) to its last answer, on the unit's clock.
function unitSpanMs(record, facts) {
  const count = facts.updateCommands.reduce((n, [, c]) => n + c, 0);
  const received = record.received;
  return received[received.length - 1].readAtMs - received[received.length - count].writtenAtMs;
}

async function pageUpdate(session, hidden) {
  const view = await openPage(session);
  const facts = await view.unit('facts');
  await view.clickUpdate();
  const warning = await view.waitForBox();
  if (hidden) {
    const front = await view.context.newPage();
    await front.goto('about:blank');
  }
  // A navigation makes the browser start a spare renderer process for the next one: its start
  // is the browser's, not the update's, and is over within a few seconds.
  await new Promise((settled) => setTimeout(settled, 4000));
  const cpuBefore = await cpuSeconds(session.browser.process().pid);
  const started = performance.now();
  await view.press(warning.buttons[0]);
  await view.waitForPhase('ended', 180000);
  const wallMs = performance.now() - started;
  const cpu = await cpuSeconds(session.browser.process().pid) - cpuBefore;
  const state = await view.state();
  if (state.hint.indexOf('successful') < 0) throw new Error(`the update did not succeed: ${state.hint}`);
  if (hidden && state.visibility !== 'hidden') throw new Error('the page was not hidden');
  const span = unitSpanMs(await view.unit('record', 0), facts);
  await view.close();
  return {span, cpuPercent: 100 * cpu / (wallMs / 1000), visibility: state.visibility};
}

async function referenceUpdate(session) {
  const context = await session.browser.createBrowserContext();
  const page = await context.newPage();
  const workerReady = new Promise((resolve) => page.once('workercreated', resolve));
  await page.goto(session.url + 'web_reference.html');
  const worker = await workerReady;
  const cpuBefore = await cpuSeconds(session.browser.process().pid);
  const started = performance.now();
  await page.waitForFunction(() => document.body.dataset.done !== undefined, {timeout: 180000, polling: 'mutation'});
  const cpu = await cpuSeconds(session.browser.process().pid) - cpuBefore;
  const cpuPercent = 100 * cpu / ((performance.now() - started) / 1000);
  if (await page.evaluate(() => document.body.dataset.done) !== 'answered') throw new Error('the reference failed');
  const facts = await worker.evaluate(() => simulatedHid.facts());
  const span = unitSpanMs(await worker.evaluate(() => simulatedHid.record(0)), facts);
  await context.close();
  return {span, cpuPercent};
}

async function loadTimeMs(session) {
  const view = await openPage(session);
  await view.page.waitForFunction(() => performance.getEntriesByName('panel-drawn').length > 0);
  const ms = await view.page.evaluate(() => performance.getEntriesByName('panel-drawn')[0].startTime);
  await view.close();
  return ms;
}

async function gzipBytes(folder) {
  let total = 0;
  for (const name of await readdir(folder)) total += gzipSync(await readFile(join(folder, name)), {level: 9}).length;
  return total;
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};
const fixed = (n, digits = 1) => n.toFixed(digits);

const session = await startBrowser();
try {
  const facts = JSON.parse(await (async () => {
    const view = await openPage(session);
    const text = JSON.stringify(await view.unit('facts'));
    await view.close();
    return text;
  })());
  const floor = facts.fixedPausesMs;
  const visible = [], hidden = [], reference = [], loads = [];
  for (let round = 1; round <= rounds; round++) {
    visible.push(await pageUpdate(session, false));
    hidden.push(await pageUpdate(session, true));
    reference.push(await referenceUpdate(session));
    loads.push(await loadTimeMs(session));
    console.log(`round ${round}: page ${visible.at(-1).span} ms (CPU ${fixed(visible.at(-1).cpuPercent, 2)} %), ` +
                `hidden page ${hidden.at(-1).span} ms (CPU ${fixed(hidden.at(-1).cpuPercent, 2)} %), ` +
                `reference ${reference.at(-1).span} ms (CPU ${fixed(reference.at(-1).cpuPercent, 2)} %), panel drawn ${fixed(loads.at(-1))} ms after load`);
  }
  const page = median(visible.map((r) => r.span));
  const pageHidden = median(hidden.map((r) => r.span));
  const ref = median(reference.map((r) => r.span));
  console.log(`page, visible: ${page} ms over the browser reference client's ${ref} ms = ${fixed(page / ref, 4)} ` +
              `(target at most 1.000); over the fixed pauses' ${floor} ms = ${fixed(page / floor, 4)}`);
  console.log(`page, hidden: ${pageHidden} ms over the reference = ${fixed(pageHidden / ref, 4)}; over the ` +
              `visible page = ${fixed(pageHidden / page, 4)} (target within 1.02); over the fixed pauses = ` +
              `${fixed(pageHidden / floor, 4)}`);
  console.log(`reference over the fixed pauses: ${fixed(ref / floor, 4)}`);
  console.log(`CPU of the browser's processes during the update: visible ${fixed(median(visible.map((r) => r.cpuPercent)), 2)} %, ` +
              `hidden ${fixed(median(hidden.map((r) => r.cpuPercent)), 2)} % of its wall time (target at most 3 %); ` +
              `with the reference client ${fixed(median(reference.map((r) => r.cpuPercent)), 2)} % (its start included)`);
  console.log(`panel drawn after load: ${fixed(median(loads))} ms, median (target at most 1000 ms)`);
  const site = await gzipBytes(join(webTree, 'site'));
  const image = await readFile(join(repo, 'resources/firmware/placeholder_140.bin'));
  const imageGzip = gzipSync(image, {level: 9}).length;
  console.log(`published page, gzip -9: ${fixed(site / 1024)} kB with the placeholder image (which compresses ` +
              `to ${fixed(imageGzip / 1024)} kB); without the image ${fixed((site - imageGzip) / 1024)} kB; with an ` +
              `image that does not compress at all ${fixed((site - imageGzip + image.length) / 1024)} kB (target at most 400 kB)`);
} finally {
  await session.close();
}
