// The demo's worker: the simulated unit and the WebHID double first, then the page's own worker
// script, unchanged. The situation comes from the page's address (sim/web/demo.js).
importScripts('sim_unit.js', 'hid_double.js');

const demoSituations = {
  ready: {},
  current: {esc: {version: 0x0303}},
  'no-firmware': {esc: {version: 0xFFFF}},
  'no-esc': {esc: {kind: 'none'}},
  foreign: {esc: {typeId: 0x0B07403C}},
  bootloader: {inBootloader: true},
  zelquad: {productId: 1},
};
{
  const params = new URLSearchParams(self.location.search);
  const name = params.get('unit') || 'ready';
  if (name !== 'none') {
    const situation = demoSituations[name];
    if (!situation) throw new Error(`no demo situation ${name}`);
    simulatedHid.plug(Object.assign({granted: params.get('granted') !== '0', versionAfterUpdate: 0x0303},
                                    situation));
  }
}
importScripts('worker.js');
