// The page's worker: runs the update chain (zirvano.js, web/web_session.cpp in WebAssembly) and
// carries messages between it and the page (web/page.js). It has WebHID and timers of its own,
// which a background tab does not throttle.
//
// From the page: {type: 'start'}, {type: 'chosen'} after the chooser granted a unit,
// {type: 'update'}, {type: 'answer', yes} to a question, {type: 'failureClosed'}.
// To the page: what web_session.cpp and link/device_webhid.js say, and {type: 'ask', question}.
'use strict';
importScripts('zirvano.js');

let chain = null;
const early = [];  // messages that came before the chain was ready
let queue = Promise.resolve();
let updating = false;
let answer = null;  // resolves the question that is open

// One call into the chain at a time: a call may wait for the unit, and the chain is one.
function serially(name, ...numbers) {
  const call = queue.then(() => chain.ccall(name, 'number', numbers.map(() => 'number'), numbers, {async: true}));
  queue = call.catch(() => {});
  return call;
}

function ask(question) {
  return new Promise((resolve) => {
    answer = resolve;
    postMessage({type: 'ask', question});
  });
}

// The window's Update sequence, with the page's questions asked between calls into the chain.
async function update() {
  if (updating) return;
  updating = true;
  try {
    if (!(await serially('webUpdateBegin'))) return;
    if (!(await ask('warning'))) return;
    if ((await serially('webUpdateAsksDowngrade')) && !(await ask('downgrade'))) return;
    await serially('webUpdateRun');
  } finally {
    updating = false;
    postMessage({type: 'idle'});
  }
}

function receive(message) {
  switch (message.type) {
    case 'start': serially('webStart'); break;
    case 'chosen': serially('webLook', 1); break;
    case 'update': update(); break;
    case 'failureClosed': serially('webFailureClosed'); break;
    case 'answer':
      if (answer) {
        const settle = answer;
        answer = null;
        settle(message.yes === true);
      }
      break;
  }
}

self.onmessage = (event) => {
  if (chain) receive(event.data);
  else early.push(event.data);
};

function startChain() {
  createZirvano({toPage: (message) => postMessage(message)}).then((module) => {
    chain = module;
    navigator.hid.addEventListener('connect', () => serially('webLook', 0));
    navigator.hid.addEventListener('disconnect', (event) =>
      serially('webRemoval', chain.webhid.pathId(event.device)));
    for (const message of early.splice(0)) receive(message);
  });
}

// One page of ours talks to programming units at a time, as one of our programs does: two tabs
// updating through one unit would cross their answers. The lock reaches every tab of this site
// in this browser (not our native programs, which the browser cannot see); it is held for the
// page's life and given back when the page closes. The page that waits for it says that no
// usable unit was found, as the window does for a unit another program holds.
const kUnitsLock = 'zirvano-programming-units';
function holdUnits(lock) {
  if (!lock) return null;
  startChain();
  return new Promise(() => {});
}

if (!('hid' in navigator)) {
  postMessage({type: 'noWebHid'});
} else if (!('locks' in navigator)) {
  startChain();
} else {
  navigator.locks.request(kUnitsLock, {ifAvailable: true}, (lock) => {
    if (lock) return holdUnits(lock);
    postMessage({type: 'unitsInUse'});
    navigator.locks.request(kUnitsLock, holdUnits);
    return null;
  });
}
