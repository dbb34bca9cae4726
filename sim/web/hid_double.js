// A stand-in for navigator.hid, served by the simulated unit (sim_unit.js, the model of
// sim/unit_model compiled to WebAssembly). It follows the WebHID interfaces: HIDDevice objects
// with `collections` and their report items, open/close, sendReport resolving once the report
// is taken, `inputreport` events carrying a DataView, `connect`/`disconnect` on navigator.hid.
// The double only carries what the model decides, as the substitute DLLs and the emulated hidraw
// node do for the other platforms.
//
// In the worker it holds the units; in the page it offers requestDevice (the chooser), which
// asks the worker's double to grant the units that match. Demo and test builds only.
(() => {
  'use strict';
  const channel = new BroadcastChannel('zirvano-simulated-hid');
  const kVendorId = 0xF0E1;
  const kSupportedType = 0x111F403C;

  function reportsOf(reportId, length) {
    return [{reportId, items: [{reportSize: 8, reportCount: length - 1, usages: [0xFF000001],
                                isArray: false, hasNull: false, isRange: false}]}];
  }

  function collectionsOf(output, input) {
    return [{usagePage: 0xFF00, usage: 1, type: 0, children: [], featureReports: [],
             inputReports: reportsOf(1, input), outputReports: reportsOf(1, output)}];
  }

  function matches(filters, device) {
    return (filters || []).some((f) => (f.vendorId === undefined || f.vendorId === device.vendorId) &&
                                       (f.productId === undefined || f.productId === device.productId));
  }

  if (typeof WorkerGlobalScope === 'undefined') {
    // The page: the chooser picks every matching unit at once, as a user would pick the one.
    class PageDevice extends EventTarget {
      constructor(info) {
        super();
        Object.assign(this, info);
        this.opened = false;
      }
    }
    let asked = 0;
    const hid = new EventTarget();
    hid.getDevices = async () => [];
    hid.requestDevice = (options) => {
      if (!navigator.userActivation.isActive)
        return Promise.reject(new DOMException('Must be handling a user gesture to show a permission request.',
                                               'SecurityError'));
      const id = ++asked;
      return new Promise((resolve) => {
        const answer = (event) => {
          if (event.data.type !== 'granted' || event.data.id !== id) return;
          channel.removeEventListener('message', answer);
          resolve(event.data.devices.map((info) => new PageDevice(info)));
        };
        channel.addEventListener('message', answer);
        channel.postMessage({type: 'request', id, filters: options.filters});
      });
    };
    Object.defineProperty(Navigator.prototype, 'hid', {get: () => hid, configurable: true});
    return;
  }

  // The worker: the units, each a model instance behind a device object.
  // Compiled synchronously (one file, -sWASM_ASYNC_COMPILATION=0): ready when this returns.
  const sim = {};
  createSimUnit(sim);
  const units = [];  // {index, device, granted, present}

  class SimInputReportEvent extends Event {
    constructor(device, reportId, data) {
      super('inputreport');
      this.device = device;
      this.reportId = reportId;
      this.data = data;
    }
  }

  class SimConnectionEvent extends Event {
    constructor(type, device) {
      super(type);
      this.device = device;
    }
  }

  const hid = new EventTarget();

  // As a browser fires them: the listeners, and the on... handler.
  function fire(target, event) {
    target.dispatchEvent(event);
    const handler = target['on' + event.type];
    if (typeof handler === 'function') handler.call(target, event);
  }

  function unplug(unit) {
    if (!unit.present) return;
    unit.present = false;
    unit.device.opened = false;
    if (unit.granted) fire(hid, new SimConnectionEvent('disconnect', unit.device));
  }

  class SimDevice extends EventTarget {
    constructor(unit) {
      super();
      this.unit = unit;
      this.opened = false;
      this.vendorId = kVendorId;
      this.productId = sim._simWebProductId(unit.index);
      this.productName = this.productId === 1 ? 'ZELQUAD' : 'TAVILINK';
      this.collections = collectionsOf(sim._simWebOutputLength(unit.index),
                                       sim._simWebInputLength(unit.index));
      this.oninputreport = null;
    }
    async open() {
      if (!this.unit.present) throw new DOMException('Failed to open the device.', 'NotFoundError');
      if (this.opened) throw new DOMException('The device is already open.', 'InvalidStateError');
      this.opened = true;
    }
    async close() { this.opened = false; }
    async forget() { this.opened = false; this.unit.granted = false; }
    async sendFeatureReport() { throw new DOMException('Unsupported.', 'NotSupportedError'); }
    async receiveFeatureReport() { throw new DOMException('Unsupported.', 'NotSupportedError'); }
    async sendReport(reportId, data) {
      if (!this.opened) throw new DOMException('The device must be opened first.', 'InvalidStateError');
      const body = ArrayBuffer.isView(data) ? new Uint8Array(data.buffer, data.byteOffset, data.byteLength)
                                            : new Uint8Array(data);
      const report = new Uint8Array(body.length + 1);
      report[0] = reportId;
      report.set(body, 1);
      // WebHID writes a report whole or not at all.
      if (!carry(this.unit, report)) throw new DOMException('Failed to write the report.', 'NotAllowedError');
    }
  }

  // One output report through the model; its answers reach the device's open handle, as a HID
  // device's input reports reach every program that has it open. False when the report was not
  // taken whole.
  function carry(unit, report) {
    const at = sim._malloc(report.length);
    sim.HEAPU8.set(report, at);
    let word = sim._simWebExchange(unit.index, at, report.length, performance.now()) / 4;
    sim._free(at);
    const words = sim.HEAPU32;
    const [taken, vanished, bytesTaken, count] = words.subarray(word, word + 4);
    word += 4;
    const deliveries = [];
    for (let i = 0; i < count; i++) {
      const [afterMs, answers, length] = words.subarray(word, word + 3);
      const bytes = sim.HEAPU8.slice(4 * (word + 3), 4 * (word + 3) + length);
      deliveries.push({afterMs, answers: answers === 0xFFFFFFFF ? -1 : answers, bytes});
      word += 3 + Math.ceil(length / 4);
    }
    if (vanished) setTimeout(() => unplug(unit), 0);
    if (!taken || bytesTaken < report.length) return false;
    for (const delivery of deliveries) {
      later(delivery.afterMs, () => {
        const device = unit.device;
        if (!unit.present || !device.opened) return;
        if (delivery.answers >= 0) sim._simWebAnswerTaken(unit.index, delivery.answers, performance.now());
        const bytes = delivery.bytes;
        fire(device, new SimInputReportEvent(device, bytes[0], new DataView(bytes.buffer, 1)));
      });
    }
    return true;
  }

  // An answer due at once arrives as the next task, as a USB answer does within the millisecond:
  // setTimeout(0) would add the 4 ms browsers give nested timers.
  const soon = new MessageChannel();
  const due = [];
  soon.port1.onmessage = () => due.shift()();
  function later(milliseconds, deliver) {
    if (milliseconds > 0) {
      setTimeout(deliver, milliseconds);
      return;
    }
    due.push(deliver);
    soon.port2.postMessage(0);
  }

  hid.getDevices = async () => units.filter((u) => u.present && u.granted).map((u) => u.device);
  hid.onconnect = null;
  hid.ondisconnect = null;
  Object.defineProperty(WorkerNavigator.prototype, 'hid', {get: () => hid, configurable: true});

  channel.addEventListener('message', (event) => {
    if (event.data.type !== 'request') return;
    const devices = [];
    for (const unit of units) {
      if (!unit.present || !matches(event.data.filters, unit.device)) continue;
      unit.granted = true;
      const {vendorId, productId, productName, collections} = unit.device;
      devices.push({vendorId, productId, productName, collections});
    }
    channel.postMessage({type: 'granted', id: event.data.id, devices});
  });

  // What a test or the demo sets up. An ESC: {kind: 'ready' | 'none', version, typeId}.
  function escArgs(esc) {
    const e = Object.assign({kind: 'ready', version: 0x0302, typeId: kSupportedType}, esc);
    return [e.kind === 'none' ? 0 : 1, e.version, e.typeId >>> 0];
  }

  self.simulatedHid = {
    // {productId, inBootloader, outputLength, inputLength, esc, swapTo, versionAfterUpdate,
    //  faults: [{command, occurrence, kind, code}], granted}; returns the unit's number.
    plug(setup = {}) {
      const index = sim._simWebAddUnit();
      sim._simWebSetUnit(index, setup.productId ?? 2, setup.inBootloader ? 1 : 0,
                         setup.outputLength ?? 60, setup.inputLength ?? 60);
      sim._simWebConnectEsc(index, ...escArgs(setup.esc));
      if (setup.swapTo) sim._simWebSwapTo(index, ...escArgs(setup.swapTo));
      if (setup.versionAfterUpdate) sim._simWebSetVersionAfterUpdate(index, setup.versionAfterUpdate);
      for (const fault of setup.faults || []) {
        const bytes = new TextEncoder().encode(fault.kind + '\0');
        const name = sim._malloc(bytes.length);
        sim.HEAPU8.set(bytes, name);
        const known = sim._simWebAddFault(index, fault.command, fault.occurrence ?? 1, name, fault.code ?? 0);
        sim._free(name);
        if (!known) throw new Error(`no such fault: ${fault.kind}`);
      }
      const unit = {index, granted: setup.granted !== false, present: true};
      unit.device = new SimDevice(unit);
      units.push(unit);
      if (unit.granted) fire(hid, new SimConnectionEvent('connect', unit.device));
      return index;
    },
    unplug(index) { unplug(units[index]); },
    // The ESC on the unit's cable changes: no USB event.
    swapEsc(index, esc) { sim._simWebConnectEsc(index, ...escArgs(esc)); },
    record(index) { return JSON.parse(sim.UTF8ToString(sim._simWebRecord(index))); },
    // Another program on the same unit (one of ours, which the browser cannot see): its request
    // goes to the unit, and the unit's answer reaches this page too.
    anotherProgramSends(index, request) { return carry(units[index], Uint8Array.from(request)); },
    facts() { return JSON.parse(sim.UTF8ToString(sim._simWebUpdateFacts())); },
    handwrittenCatalogue() { return JSON.parse(sim.UTF8ToString(sim._simWebHandwrittenCatalogue())); },
  };
})();
