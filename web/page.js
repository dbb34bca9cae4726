// The page: draws what the worker (web/worker.js, the update chain) says, in English or German
// from the browser's language, with the window's texts (texts.js, made from its catalogue); asks
// the window's questions as modal dialogs; opens the browser's device chooser for the unit.
'use strict';
(() => {
  const language = (navigator.languages && navigator.languages[0] || navigator.language || 'en')
    .toLowerCase().startsWith('de') ? 'de' : 'en';
  const texts = pageTexts[language];
  const textOf = (id) => (texts[pageTexts.ids[id]] || '');
  const $ = (id) => document.getElementById(id);
  // The catalogue's line breaks are Windows'.
  const shown = (text) => text.replace(/\r\n/g, '\n');

  document.documentElement.lang = language;
  for (const element of document.querySelectorAll('[data-text]'))
    element.textContent = shown(texts[element.dataset.text] || '');

  let product = null;
  let updating = false;   // from the lock to the end of the chain
  let sequence = false;   // from Update pressed to the end of its questions and chain
  let ready = false;      // the worker says Update may run
  let wakeLock = null;
  let boxes = Promise.resolve();

  function setUpdateButton() { $('update').disabled = !ready || sequence; }

  // The catalogue's formats, as the window fills them: '%s' and '0x%08x'.
  function format(text, ...values) {
    return text.replace(/%(08x|s|u)/g, (_, kind) => {
      const value = values.shift();
      return kind === '08x' ? (value >>> 0).toString(16).padStart(8, '0') : String(value);
    });
  }

  // A message box: caption, text and buttons as the window's, one at a time, focus inside.
  // Resolves with the button pressed; Escape counts as the last one (Cancel, No, or OK).
  function box(kind, caption, text, buttons) {
    const shownBox = boxes.then(() => new Promise((resolve) => {
      const dialog = $('box');
      dialog.dataset.kind = kind;
      $('box-caption').textContent = shown(caption);
      $('box-text').textContent = shown(text);
      const labels = {ok: 'IDS_PAGE_OK', cancel: 'IDS_PAGE_CANCEL', yes: 'IDS_PAGE_YES', no: 'IDS_PAGE_NO'};
      ['box-first', 'box-second'].forEach((id, index) => {
        const button = $(id);
        button.hidden = index >= buttons.length;
        button.value = buttons[index] || '';
        button.textContent = index < buttons.length ? texts[labels[buttons[index]]] : '';
      });
      // Answered by the button itself: the dialog's close event waits for the next frame, which
      // a page hidden right after the click does not draw. Escape closes it without a button.
      let answered = false;
      const answer = (button) => {
        if (answered) return;
        answered = true;
        if (dialog.open) dialog.close(button);
        resolve(button);
      };
      const onClick = (event) => {
        event.preventDefault();
        answer(event.currentTarget.value);
      };
      for (const id of ['box-first', 'box-second']) $(id).onclick = onClick;
      // The close event of the box before this one may come after this one opened: not ours.
      const onClose = () => {
        if (dialog.open) return;
        dialog.removeEventListener('close', onClose);
        answer(dialog.returnValue || buttons[buttons.length - 1]);
      };
      dialog.addEventListener('close', onClose);
      dialog.returnValue = '';
      dialog.showModal();
      document.body.dataset.boxes = String(Number(document.body.dataset.boxes || 0) + 1);
      $('box-first').focus();
    }));
    boxes = shownBox.catch(() => {});
    return shownBox;
  }

  function showState(state) {
    const panel = $('panel');
    panel.classList.toggle('greyed', !state.linked);
    panel.setAttribute('aria-disabled', String(!state.linked));
    // The unit's row keeps the name of the unit shown last, as the window's does.
    if (state.unitName) $('label-unit').textContent = state.unitName;
    [$('value-unit'), $('value-bootloader'), $('value-esc')].forEach((value, index) => {
      value.textContent = state.versions[index];
    });
    let hint = textOf(state.hintId);
    if (state.hintWithSteps) hint += '\r\n\r\n' + texts.IDS_STEPS;
    $('hint').textContent = shown(hint);
    ready = state.updateEnabled;
    setUpdateButton();
    document.body.dataset.state = state.updateEnabled ? 'ready' : (state.linked ? 'linked' : 'unlinked');
    // The first drawn panel, for the load time: after the frame that shows it.
    if (performance.getEntriesByName('panel-drawn').length === 0)
      requestAnimationFrame(() => setTimeout(() => performance.mark('panel-drawn')));
  }

  async function holdScreen(holding) {
    if (!holding) {
      if (wakeLock) await wakeLock.release().catch(() => {});
      wakeLock = null;
      return;
    }
    if (!('wakeLock' in navigator) || document.visibilityState !== 'visible') return;
    try {
      wakeLock = await navigator.wakeLock.request('screen');
      wakeLock.addEventListener('release', () => { wakeLock = null; });
    } catch (error) {
      wakeLock = null;  // refused (a saving mode, a policy): the update runs all the same
    }
  }

  function showProgress(position) {
    $('progress-bar').setAttribute('aria-valuenow', String(position));
    $('progress-fill').style.transform = `scaleX(${position / 100})`;
  }

  function showPhase(phase) {
    updating = phase !== 'ended';
    $('progress').hidden = !updating;
    $('connect').disabled = updating;
    document.body.dataset.phase = phase;
    if (phase === 'locking') showProgress(0);
  }

  const worker = 'hid' in navigator
    ? new Worker(document.documentElement.dataset.worker || 'worker.js') : null;

  function receive(message) {
    switch (message.type) {
      case 'product':
        product = message;
        document.title = message.title;
        $('placeholder').hidden = !message.placeholder;
        $('connect').disabled = false;
        break;
      case 'state': showState(message); break;
      case 'incompatible':
        box('information', texts.IDS_INCOMPATIBLE_CAPTION, format(texts.IDS_INCOMPATIBLE_TEXT, product.typeName), ['ok']);
        break;
      case 'failure': {
        let text = textOf(message.textId);
        if (message.codeLine) text += '\r\n' + format(texts.IDS_ERROR_CODE_LINE, ...message.codeLine);
        box('error', texts.IDS_UPDATE_FAILED_CAPTION, text, ['ok'])
          .then(() => worker.postMessage({type: 'failureClosed'}));
        break;
      }
      case 'ask': {
        const warning = message.question === 'warning';
        const asked = warning
          ? box('warning', texts.IDS_WARNING_CAPTION, texts.IDS_WARNING_TEXT, ['ok', 'cancel'])
          : box('warning', texts.IDS_DOWNGRADE_CAPTION, texts.IDS_DOWNGRADE_QUESTION, ['yes', 'no']);
        asked.then((button) => worker.postMessage({type: 'answer', yes: button === (warning ? 'ok' : 'yes')}));
        break;
      }
      case 'phase': showPhase(message.phase); break;
      case 'progress': showProgress(message.position); break;
      case 'keepAwake': holdScreen(message.holding); break;
      case 'idle':
        sequence = false;
        setUpdateButton();
        break;
      case 'noWebHid': noWebHid(); break;
      case 'unitsInUse':
        $('hint').textContent = shown(texts.IDS_NO_UNIT + '\r\n\r\n' + texts.IDS_STEPS);
        document.body.dataset.state = 'waiting';
        break;
    }
  }

  function noWebHid() {
    $('hint').textContent = shown(texts.IDS_PAGE_NO_WEBHID);
    $('connect').disabled = true;
    $('update').disabled = true;
  }

  if (!worker) {
    noWebHid();
    return;
  }
  worker.onmessage = (event) => receive(event.data);
  // The chain itself failed (it never should): the page says the update failed and offers
  // nothing more; reloading starts afresh.
  worker.onerror = () => {
    ready = false;
    sequence = true;
    setUpdateButton();
    $('connect').disabled = true;
    $('hint').textContent = shown(texts.IDS_FAILURE_HINT);
  };
  worker.postMessage({type: 'start'});

  $('update').addEventListener('click', () => {
    sequence = true;
    setUpdateButton();
    worker.postMessage({type: 'update'});
  });

  $('connect').addEventListener('click', async () => {
    let chosen = [];
    try {
      chosen = await navigator.hid.requestDevice({filters: product.filters});
    } catch (error) {
      return;  // no chooser now (no user gesture, or refused): nothing changes
    }
    if (chosen.length > 0) worker.postMessage({type: 'chosen'});
  });

  // Leaving while the ESC is being written: the browser asks the user to stay.
  window.addEventListener('beforeunload', (event) => {
    if (!updating) return;
    event.preventDefault();
    event.returnValue = '';
  });

  // A hidden page loses its wake lock; it is taken again when the page is seen again.
  document.addEventListener('visibilitychange', () => {
    if (updating && document.visibilityState === 'visible' && !wakeLock) holdScreen(true);
  });
})();
