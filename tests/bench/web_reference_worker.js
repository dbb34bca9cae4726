// The browser reference client's worker: the simulated unit behind the WebHID double, a ready
// unit granted, then the client (web_reference.js). Posts {answered} when it is done.
importScripts('sim_unit.js', 'hid_double.js', 'web_reference.js');
simulatedHid.plug({});
createReference({finished: (answered) => postMessage({answered})});
