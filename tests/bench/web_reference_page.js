// Starts the reference client's worker and shows when it is done (document.body.dataset.done).
const worker = new Worker('web_reference_worker.js');
worker.onmessage = (event) => { document.body.dataset.done = event.data.answered ? 'answered' : 'failed'; };
