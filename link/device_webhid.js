// The browser's side of link/device_webhid.cpp: the units this page was granted, reached through
// WebHID. Added to the module with --pre-js; the C++ calls these and awaits the promises.
// All of it runs in the worker that runs the update chain.
Module['webhid'] = (() => {
  // Kept in step with link/device_webhid.cpp.
  const gone = -1, timedOut = -2, tooShort = -3, tooLong = -4, refused = -5, noSuchDevice = -6;
  const maxQueued = 256;

  const idOf = new WeakMap();
  const deviceOf = new Map();
  let nextId = 1;
  const open = new Map();  // handle -> {device, queue, wake, gone, onReport}
  let nextHandle = 1;
  let listed = [];

  function pathId(device) {
    if (!idOf.has(device)) {
      idOf.set(device, nextId);
      deviceOf.set(nextId, device);
      nextId++;
    }
    return idOf.get(device);
  }

  // A unit unplugged while open: its waiting read ends now, not at its time-out.
  navigator.hid.addEventListener('disconnect', (event) => {
    for (const session of open.values()) {
      if (session.device !== event.device) continue;
      session.gone = true;
      if (session.wake) session.wake();
    }
  });

  // Bits of every item of the report, in whole bytes, and the report ID byte before them.
  function longestReport(reports) {
    let longest = 0;
    for (const report of reports || []) {
      let bits = 0;
      for (const item of report.items || []) bits += item.reportSize * item.reportCount;
      longest = Math.max(longest, Math.ceil(bits / 8) + 1);
    }
    return longest;
  }

  function lengths(device, direction) {
    let longest = 0;
    for (const collection of device.collections || [])
      longest = Math.max(longest, longestReport(collection[direction]));
    return longest;
  }

  return {
    pathId,
    async list() {
      listed = await navigator.hid.getDevices();
      return listed.length;
    },
    listedId(index) {
      return index < listed.length ? pathId(listed[index]) : 0;
    },
    async open(id) {
      const device = deviceOf.get(id);
      if (!device) return noSuchDevice;
      try {
        await device.open();
      } catch (error) {
        return error && error.name === 'NotFoundError' ? noSuchDevice : refused;
      }
      const session = {device, queue: [], wake: null, gone: false};
      session.onReport = (event) => {
        const data = event.data;
        const report = new Uint8Array(data.byteLength + 1);
        report[0] = event.reportId;
        report.set(new Uint8Array(data.buffer, data.byteOffset, data.byteLength), 1);
        if (session.queue.length === maxQueued) session.queue.shift();
        session.queue.push(report);
        if (session.wake) session.wake();
      };
      device.addEventListener('inputreport', session.onReport);
      open.set(nextHandle, session);
      return nextHandle++;
    },
    async close(handle) {
      const session = open.get(handle);
      if (!session) return;
      open.delete(handle);
      session.device.removeEventListener('inputreport', session.onReport);
      if (session.wake) session.wake();
      try {
        await session.device.close();
      } catch (error) {
        // Closing a unit that is gone has nothing left to do.
      }
    },
    vendorId(handle) { return open.get(handle).device.vendorId; },
    productId(handle) { return open.get(handle).device.productId; },
    outputLength(handle) { return lengths(open.get(handle).device, 'outputReports'); },
    inputLength(handle) { return lengths(open.get(handle).device, 'inputReports'); },
    // The report ID travels apart from the data, as WebHID wants it.
    async write(handle, report) {
      const session = open.get(handle);
      if (!session || session.gone) return gone;
      try {
        await session.device.sendReport(report[0], report.subarray(1));
        return 0;
      } catch (error) {
        return gone;
      }
    },
    // The next input report with its ID byte put back, into `into` when it has exactly `length`
    // bytes; waits at most timeoutMs for one.
    async read(handle, length, timeoutMs) {
      const session = open.get(handle);
      if (!session) return gone;
      if (session.queue.length === 0 && !session.gone) {
        await new Promise((resolve) => {
          const timer = setTimeout(resolve, timeoutMs);
          session.wake = () => { clearTimeout(timer); resolve(); };
        });
        session.wake = null;
      }
      if (session.queue.length === 0) return session.gone ? gone : timedOut;
      const report = session.queue.shift();
      if (report.length !== length) return report.length < length ? tooShort : tooLong;
      return report;
    },
    drop(handle) {
      const session = open.get(handle);
      if (!session) return gone;
      const dropped = session.queue.length;
      session.queue = [];
      return session.gone ? gone : dropped;
    },
    sleep(milliseconds) {
      return new Promise((resolve) => setTimeout(resolve, milliseconds));
    },
  };
})();
