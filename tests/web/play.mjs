// `run.sh web`: serves the demo build (the page with the simulated unit in it) on 127.0.0.1,
// prints its address, and plays a whole update in headless Chromium as a user would, saving a
// screenshot of each state into build/screenshots/. With a terminal it then goes on serving
// until Ctrl-C, for a browser of your own.
import {join} from 'node:path';

import {openPage, screenshots, startBrowser, webTree} from './browser.mjs';
import {serve} from './serve.mjs';

const port = Number(process.env.UPDATER_WEB_PORT || 8080);
let server;
try {
  server = await serve(join(webTree, 'demo'), port);
} catch {
  server = await serve(join(webTree, 'demo'));  // that port is taken: any free one
}
console.log(`the demo page (simulated unit): ${server.url}`);
console.log(`  other situations: ${server.url}?unit=no-esc, ?unit=foreign, ?unit=bootloader, ` +
            `?unit=current, ?unit=none, ?granted=0`);
console.log(`the published page: ${join(webTree, 'site')} (static files, no simulator)`);

const session = await startBrowser();
const view = await openPage(session);
const say = async (step) => {
  const state = await view.state();
  console.log(`${step}: ${state.hint.split('\n')[0]}`);
};
await say('ready');
await view.screenshot('run-1-ready');
await view.clickUpdate();
const warning = await view.waitForBox();
console.log(`Update: "${warning.caption}"`);
await view.screenshot('run-2-warning');
await view.press(warning.buttons[0]);
await view.waitForPhase('erased');
await view.waitForProgress(30);
await view.screenshot('run-3-progress');
console.log('transfer under way ...');
await view.waitForPhase('ended');
await say('done');
await view.screenshot('run-4-updated');
const record = await view.unit('record', 0);
console.log(`the unit received ${record.received.length} reports; the ESC holds ${record.flash.length / 2} bytes`);
console.log(`screenshots: ${screenshots}/web-run-*.png`);
await session.close();

if (process.stdin.isTTY) {
  console.log(`serving ${server.url} until Ctrl-C`);
} else {
  await server.close();
}
