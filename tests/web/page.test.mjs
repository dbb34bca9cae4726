// The page in a real Chromium, against the simulated unit behind the WebHID double: what the user
// sees in every state, what reaches the unit, and that the published files carry no simulator.
// Each row has a window of its own; the rows run side by side, most of their time is the unit's.
import assert from 'node:assert/strict';
import {readFile, readdir} from 'node:fs/promises';
import {join} from 'node:path';
import {after, before, describe, test} from 'node:test';

import {catalogue, openPage, repo, startBrowser, webTree} from './browser.mjs';

const Identify = 0x08, SystemLock = 0x0B, WriteProtect = 0x20, EraseFirmware = 0x1E;
const SetWriteAddress = 0x1F, WriteDataBlock = 0x1B;

let session;
before(async () => { session = await startBrowser(); });
after(async () => { await session.close(); });

// The page shows the catalogue's CR LF as LF.
const shown = (text) => text.replace(/\r\n/g, '\n');

async function texts(view, language = 'en') {
  const {texts: t} = await catalogue(view, language);
  return {
    ...t,
    withSteps: (name) => shown(t[name] + '\r\n\r\n' + t.IDS_STEPS),
    plain: (name) => shown(t[name]),
    codeLine: (code, systemError = 0) => t.IDS_ERROR_CODE_LINE
      .replace('0x%08x', '0x' + (code >>> 0).toString(16).padStart(8, '0'))
      .replace('0x%08x', '0x' + (systemError >>> 0).toString(16).padStart(8, '0')),
  };
}

// Update, and OK to the warning.
async function confirmUpdate(view, t) {
  await view.clickUpdate();
  await view.waitForBox();
  await view.press(t.IDS_PAGE_OK);
}

const commands = (record) => record.received.map((r) => r.command);

// From the update's re-identification on: the command order of the shared facts, and every
// pause at least its length on the unit's clock (from the answer's arrival to the next request;
// the erase's wait inside it counts from its request). Returns the shortest margin in ms.
function checkUpdateOnTheUnit(record, facts) {
  const updateOrder = facts.updateCommands.flatMap(([code, count]) => Array(count).fill(code));
  const received = record.received;
  const start = received.length - updateOrder.length;
  assert.ok(start >= facts.identifyCommands.length, 'the unit was identified before the update');
  assert.deepEqual(commands(record).slice(start), updateOrder);
  const at = (offset) => received[start + offset];
  const p = facts.pausesBeforeTransferMs;
  const gaps = [
    [at(3).writtenAtMs - at(2).readAtMs, p[0], 'after identifying the ESC again'],
    [at(4).writtenAtMs - at(3).readAtMs, p[1], 'after the lock'],
    [at(5).writtenAtMs - at(4).readAtMs, p[2], 'after removing the write protection'],
    [at(6).writtenAtMs - at(5).writtenAtMs, p[3] + p[4] + p[5], 'the erase, its wait and the step pause'],
    [at(7).writtenAtMs - at(6).readAtMs, p[6], 'after the address'],
  ];
  for (let block = 0; block < facts.blocks; block++)
    gaps.push([at(8 + block).writtenAtMs - at(7 + block).readAtMs, facts.blockPauseMs, `after block ${block}`]);
  let shortest = Infinity;
  for (const [gap, pause, where] of gaps) {
    assert.ok(at(0).readAtMs > 0, 'answers are recorded as taken');
    assert.ok(gap >= pause, `${where}: ${gap} ms, not ${pause}`);
    shortest = Math.min(shortest, gap - pause);
  }
  return shortest;
}

async function carriedImageHex() {
  return (await readFile(join(repo, 'resources/firmware/placeholder_140.bin'))).toString('hex');
}

// Six windows at a time: more only queue for the two cores while starting.
describe('the page', {concurrency: 6}, () => {
  test('a whole update: the ESC holds the image, every pause is kept, the screen is kept awake', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    const facts = await view.unit('facts');
    assert.equal((await view.state()).state, 'ready');
    assert.equal((await view.state()).hint, t.plain('IDS_READY'));
    assert.deepEqual((await view.state()).versions, ['1.2', '2.1.5', '3.2']);
    // The window's title ends in a blank, which a page's title drops.
    assert.equal((await view.state()).title, 'TESSERAN ZIRVANO 60 LV FW Updater 3.3');
    await view.screenshot('ready');

    await view.clickUpdate();
    const warning = await view.waitForBox();
    assert.deepEqual(warning, {kind: 'warning', caption: t.IDS_WARNING_CAPTION, text: shown(t.IDS_WARNING_TEXT),
                               buttons: [t.IDS_PAGE_OK, t.IDS_PAGE_CANCEL], focusInside: true});
    await view.screenshot('warning');
    await view.press(t.IDS_PAGE_OK);
    await view.waitForPhase('erased');
    await view.waitForProgress(10);
    const during = await view.page.evaluate(() => ({
      stay: !document.getElementById('progress').hidden && document.getElementById('stay').textContent,
      wakeLock: window.wakeLockLog.slice()}));
    assert.equal(during.stay, t.IDS_PAGE_STAY);
    assert.deepEqual(during.wakeLock, ['held']);
    await view.screenshot('progress');

    await view.waitForPhase('ended');
    await view.waitForHint(t.plain('IDS_UPDATE_SUCCEEDED'));
    const end = await view.state();
    assert.equal(end.updateDisabled, true);
    assert.equal(end.versions[2], '3.3');
    assert.deepEqual(await view.page.evaluate(() => window.wakeLockLog), ['held', 'released']);
    await view.screenshot('updated');

    const record = await view.unit('record', 0);
    assert.equal(record.flash, await carriedImageHex());
    assert.equal(record.locked, false);
    assert.equal(record.writeProtected, true);
    checkUpdateOnTheUnit(record, facts);
    assert.deepEqual(view.errors, []);
    await view.close();
  });

  test('an update in a hidden page keeps every pause at its length', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    const facts = await view.unit('facts');
    await view.clickUpdate();
    await view.waitForBox();
    // Another tab in front of it, in the same window: the page is hidden and its timers
    // throttled; the chain runs in the worker, whose timers are not. Hidden already when OK
    // takes effect: a hidden page draws no frame, and the update must not wait for one.
    const front = await view.context.newPage();
    await front.goto('about:blank');
    assert.equal((await view.state()).visibility, 'hidden');
    await view.press(t.IDS_PAGE_OK);
    await view.waitForPhase('ended');
    assert.equal((await view.state()).visibility, 'hidden');
    assert.equal((await view.state()).hint, t.plain('IDS_UPDATE_SUCCEEDED'));
    const record = await view.unit('record', 0);
    assert.equal(record.flash, await carriedImageHex());
    checkUpdateOnTheUnit(record, facts);
    await view.close();
  });

  // A step that fails: one box with its text and code line, nothing sent after the failing
  // request, the link closed and Update disabled, then the failure hint.
  const failingSteps = [
    // The lock is judged by its status byte: an error answer is a refusal (1627).
    {step: 'lock', fault: {command: SystemLock, kind: 'errorAnswer', code: 0x5A}, text: 'IDS_LOCK_FAILED', code: 1627},
    {step: 'unlockFlash', fault: {command: WriteProtect, kind: 'errorAnswer', code: 9}, text: 'IDS_UNLOCK_FLASH_FAILED'},
    {step: 'erase', fault: {command: EraseFirmware, kind: 'errorAnswer', code: 0x44}, text: 'IDS_ERASE_FAILED'},
    {step: 'setAddress', fault: {command: SetWriteAddress, kind: 'errorAnswer', code: 0x31}, text: 'IDS_ADDRESS_FAILED'},
    {step: 'transfer', fault: {command: WriteDataBlock, occurrence: 3, kind: 'errorAnswer', code: 0x31},
     text: 'IDS_BLOCK_FAILED'},
    // A late duplicate of a block's answer arrives in the pause after it: out of step (-6).
    {step: 'transfer, out of step', fault: {command: WriteDataBlock, occurrence: 10, kind: 'duplicateLate', code: 5},
     text: 'IDS_BLOCK_FAILED', code: -6},
    // An answer cut short or one byte too long is a failed read (-3), never padded or cut to fit:
    // EPROTO and EMSGSIZE as on Linux.
    {step: 'transfer, an answer cut short', fault: {command: WriteDataBlock, occurrence: 2, kind: 'cutShort', code: 20},
     text: 'IDS_BLOCK_FAILED', code: -3, systemError: 71},
    {step: 'transfer, an answer too long', fault: {command: WriteDataBlock, occurrence: 2, kind: 'overlong'},
     text: 'IDS_BLOCK_FAILED', code: -3, systemError: 90},
    // A block the unit takes and never answers: the read's bound ends it (ETIMEDOUT).
    {step: 'transfer, no answer', fault: {command: WriteDataBlock, occurrence: 2, kind: 'noAnswer'},
     text: 'IDS_BLOCK_FAILED', code: -3, systemError: 110},
  ];
  for (const row of failingSteps) {
    test(`a failing step: ${row.step}`, async () => {
      const view = await openPage(session, {search: '?unit=none'});
      const t = await texts(view);
      await view.unit('plug', {faults: [row.fault]});
      await view.page.waitForFunction(() => document.body.dataset.state === 'ready');
      await view.clickUpdate();
      await view.waitForBox();
      await view.press(t.IDS_PAGE_OK);
      const failure = await view.waitForBox(60000);
      assert.deepEqual(failure, {kind: 'error', caption: t.IDS_UPDATE_FAILED_CAPTION,
                                 text: shown(t[row.text]) + '\n' + t.codeLine(row.code ?? row.fault.code, row.systemError),
                                 buttons: [t.IDS_PAGE_OK], focusInside: true});
      const state = await view.state();
      assert.equal(state.updateDisabled, true);
      assert.equal(state.greyed, true);
      if (row.step === 'erase') await view.screenshot('failure');
      await view.press(t.IDS_PAGE_OK);
      await view.waitForHint(t.plain('IDS_FAILURE_HINT'));
      const sent = commands(await view.unit('record', 0));
      assert.equal(sent[sent.length - 1], row.fault.command, `nothing after the failing request: ${sent.slice(-3)}`);
      await view.close();
    });
  }

  test('the unit unplugged while the warning is open: noticed at once, and OK sends nothing', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    await view.clickUpdate();
    await view.waitForBox();
    await view.unit('unplug', 0);
    // The worker takes the removal while the question is open, as the window does.
    await view.waitForHint(t.withSteps('IDS_CONNECTION_LOST'));
    const sentBefore = commands(await view.unit('record', 0)).length;
    await view.press(t.IDS_PAGE_OK);
    // No link: the lock step fails without sending, and without a code to show.
    const failure = await view.waitForBox();
    assert.equal(failure.text, shown(t.IDS_LOCK_FAILED));
    assert.equal(commands(await view.unit('record', 0)).length, sentBefore);
    await view.close();
  });

  test('the ESC swapped on the cable before Update: the new one is shown, nothing is locked', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    await view.unit('swapEsc', 0, {version: 0x0301});
    await confirmUpdate(view, t);
    await view.page.waitForFunction(() => document.getElementById('value-esc').textContent === '3.1');
    const state = await view.state();
    assert.equal(state.state, 'ready');
    assert.equal(state.hint, t.plain('IDS_READY'));
    assert.equal(await view.box(), null);
    assert.ok(!commands(await view.unit('record', 0)).includes(SystemLock));
    await view.close();
  });

  test('the ESC swapped for a foreign one while the warning is open: the notice, nothing is locked', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    await view.clickUpdate();
    await view.waitForBox();
    await view.unit('swapEsc', 0, {typeId: 0x0B07403C});
    await view.press(t.IDS_PAGE_OK);
    const notice = await view.waitForBox();
    assert.equal(notice.caption, t.IDS_INCOMPATIBLE_CAPTION);
    assert.equal(notice.text, t.IDS_INCOMPATIBLE_TEXT.replace('%s', 'ZIRVANO 60 LV'));
    await view.press(t.IDS_PAGE_OK);
    assert.equal((await view.state()).hint, t.withSteps('IDS_INCOMPATIBLE_HINT'));
    assert.ok(!commands(await view.unit('record', 0)).includes(SystemLock));
    await view.close();
  });

  // What the page says of the unit it finds; nothing but identification reaches it.
  const situations = [
    {name: 'a foreign ESC', search: '?unit=foreign', hint: 'IDS_INCOMPATIBLE_HINT', notice: true},
    {name: 'no ESC', search: '?unit=no-esc', hint: 'IDS_NO_UPDATABLE_ESC'},
    {name: 'the unit in its bootloader', search: '?unit=bootloader', hint: 'IDS_WRONG_MODE'},
    {name: 'no unit', search: '?unit=none', hint: 'IDS_NO_UNIT'},
    {name: 'a unit not granted yet', search: '?granted=0', hint: 'IDS_NO_UNIT'},
  ];
  for (const row of situations) {
    test(`on load: ${row.name}`, async () => {
      const view = await openPage(session, {search: row.search});
      const t = await texts(view);
      if (row.notice) {
        const notice = await view.waitForBox();
        assert.equal(notice.kind, 'information');
        assert.equal(notice.caption, t.IDS_INCOMPATIBLE_CAPTION);
        await view.screenshot('incompatible');
        await view.press(t.IDS_PAGE_OK);
      }
      const state = await view.state();
      assert.equal(state.hint, t.withSteps(row.hint));
      assert.equal(state.updateDisabled, true);
      assert.equal(state.greyed, true);
      assert.deepEqual(state.versions, ['0.0.0', '0.0.0', '0.0.0']);
      await view.screenshot(row.search.replace(/\W+/g, '-').replace(/^-/, ''));
      if (row.search !== '?unit=none' && row.search !== '?granted=0') {
        const sent = commands(await view.unit('record', 0));
        assert.ok(sent.every((c) => [Identify, 0x0A, 0x1D, 0x22].includes(c)), `only identification: ${sent}`);
      }
      await view.close();
    });
  }

  test('the chooser grants a unit, connect links it, disconnect loses it', async () => {
    const view = await openPage(session, {search: '?granted=0'});
    const t = await texts(view);
    await view.page.click('#connect');
    await view.waitForHint(t.plain('IDS_READY'));
    await view.unit('unplug', 0);
    await view.waitForHint(t.withSteps('IDS_CONNECTION_LOST'));
    assert.equal((await view.state()).greyed, true);
    await view.screenshot('connection-lost');
    await view.unit('plug', {productId: 1});
    await view.waitForHint(t.plain('IDS_READY'));
    assert.equal((await view.state()).unitLabel, 'ZELQUAD');
    await view.close();
  });

  test('the downgrade question: No leaves the ESC as it was', async () => {
    const view = await openPage(session, {search: '?unit=current'});
    const t = await texts(view);
    await confirmUpdate(view, t);
    const question = await view.waitForBox();
    assert.deepEqual(question, {kind: 'warning', caption: t.IDS_DOWNGRADE_CAPTION, text: shown(t.IDS_DOWNGRADE_QUESTION),
                                buttons: [t.IDS_PAGE_YES, t.IDS_PAGE_NO], focusInside: true});
    await view.screenshot('downgrade');
    await view.press(t.IDS_PAGE_NO);
    assert.equal((await view.state()).updateDisabled, false);
    assert.ok(!commands(await view.unit('record', 0)).includes(SystemLock));
    await view.close();
  });

  test('leaving during the transfer is asked about; the unit unplugged then ends in the failure box', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    await confirmUpdate(view, t);
    await view.waitForProgress(2);
    const asked = new Promise((resolve) => view.page.once('dialog', async (dialog) => {
      resolve(dialog.type());
      await dialog.dismiss();  // stay
    }));
    await view.page.evaluate(() => { location.reload(); });
    assert.equal(await asked, 'beforeunload');
    assert.equal((await view.state()).phase, 'erased');
    await view.unit('unplug', 0);
    const failure = await view.waitForBox();
    assert.equal(failure.caption, t.IDS_UPDATE_FAILED_CAPTION);
    assert.match(failure.text, new RegExp('^' + shown(t.IDS_BLOCK_FAILED).replace(/[.()]/g, '\\$&') +
                                          '\\n.*0x[0-9a-f]{8}-0x[0-9a-f]{8}$'));
    await view.press(t.IDS_PAGE_OK);
    await view.waitForHint(t.plain('IDS_FAILURE_HINT'));
    assert.equal((await view.state()).updateDisabled, true);
    await view.close();
  });

  test('another program on the same unit: crossed answers end the update before more is sent', async () => {
    const view = await openPage(session);
    const t = await texts(view);
    await confirmUpdate(view, t);
    await view.waitForProgress(2);
    // A flasher of ours, which the browser cannot see, asks the unit who it is.
    const identify = new Array(60).fill(0);
    identify[0] = 1;
    identify[1] = Identify;
    await view.unit('anotherProgramSends', 0, identify);
    const atCrossing = (await view.unit('record', 0)).received.length;
    const failure = await view.waitForBox();
    assert.ok(failure.text.startsWith(shown(t.IDS_BLOCK_FAILED)), failure.text);
    const sent = (await view.unit('record', 0)).received.length;
    // At most the request that was already on its way when the crossed answer came.
    assert.ok(sent - atCrossing <= 1, `${sent - atCrossing} requests after the crossing`);
    await view.close();
  });

  test('a second tab of the page waits until the first is closed', async () => {
    const first = await openPage(session);
    const t = await texts(first);
    const second = await openPage(session, {beside: first});
    assert.equal((await second.state()).state, 'waiting');
    assert.equal((await second.state()).hint, t.withSteps('IDS_NO_UNIT'));
    // Its own simulated unit was never asked anything.
    assert.deepEqual(commands(await second.unit('record', 0)), []);
    await first.close({tabOnly: true});
    await second.waitForHint(t.plain('IDS_READY'));
    assert.equal((await second.state()).state, 'ready');
    await second.close();
  });

  test('every window text the page carries is the handwritten catalogue\'s, in both languages', async () => {
    const view = await openPage(session);
    const handwritten = await view.unit('handwrittenCatalogue');
    const page = await view.page.evaluate(() => pageTexts);
    const ids = Object.keys(page.ids);
    assert.ok(ids.length >= 28, `${ids.length} texts`);
    for (const id of ids) {
      assert.ok(handwritten[id], `${id} is in the handwritten catalogue`);
      for (const language of ['en', 'de'])
        assert.equal(page[language][page.ids[id]], handwritten[id][language], `${page.ids[id]} (${language})`);
    }
    await view.close();
  });

  test('in German, from the browser language', async () => {
    const view = await openPage(session, {language: 'de-DE'});
    const t = await texts(view, 'de');
    const state = await view.state();
    assert.equal(state.hint, t.plain('IDS_READY'));
    assert.equal(await view.page.$eval('#connect', (b) => b.textContent), 'Programmiereinheit verbinden');
    assert.equal(await view.page.$eval('#group-heading', (h) => h.textContent), 'Installierte Firmware Versionen');
    assert.equal(await view.page.evaluate(() => document.documentElement.lang), 'de');
    await view.clickUpdate();
    const warning = await view.waitForBox();
    assert.deepEqual(warning.buttons, ['OK', 'Abbrechen']);
    await view.screenshot('german-warning');
    await view.press('Abbrechen');
    assert.ok(!commands(await view.unit('record', 0)).includes(SystemLock));
    await view.close();
  });

  test('by keyboard: Update is reached with Tab, the box takes the focus, Escape cancels', async () => {
    const view = await openPage(session);
    let focused = '';
    for (let i = 0; i < 6 && focused !== 'update'; i++) {
      await view.page.keyboard.press('Tab');
      focused = await view.page.evaluate(() => document.activeElement.id);
    }
    assert.equal(focused, 'update');
    await view.page.keyboard.press('Enter');
    const box = await view.waitForBox();
    assert.equal(box.focusInside, true);
    const tree = await view.page.accessibility.snapshot({interestingOnly: true});
    const names = JSON.stringify(tree);
    assert.ok(names.includes('"role":"dialog"'), 'the box is a dialog to a screen reader');
    await view.page.keyboard.press('Escape');
    await view.page.waitForFunction(() => !document.getElementById('box').open);
    assert.ok(!commands(await view.unit('record', 0)).includes(SystemLock));
    await view.close();
  });
});

test('the published page carries neither the WebHID double nor the simulated unit', async () => {
  const site = join(webTree, 'site');
  const files = await readdir(site);
  for (const name of ['index.html', 'page.js', 'worker.js', 'texts.js', 'zirvano.js', 'zirvano.wasm'])
    assert.ok(files.includes(name), `${name} is published`);
  const simulated = ['simulatedHid', 'hid_double', 'createSimUnit', 'simWeb', 'demo_worker', 'sim_unit'];
  for (const name of files) {
    const content = (await readFile(join(site, name))).toString('latin1');
    for (const word of simulated) assert.ok(!content.includes(word), `${name} carries "${word}"`);
  }
  // The demo does, so the words are the right ones to look for.
  const demo = (await readFile(join(webTree, 'demo', 'hid_double.js'))).toString();
  assert.ok(demo.includes('simulatedHid') && demo.includes('createSimUnit'));
});
