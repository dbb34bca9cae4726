// The demo page's set-up: the page's worker is the demo's, which puts the simulated unit behind
// navigator.hid before the page's own worker starts. The page's address names the situation:
//   ?unit=ready (default), current, no-firmware, no-esc, foreign, bootloader, zelquad or none;
//   &granted=0 leaves the unit for the "Connect programming unit" button to grant.
document.documentElement.dataset.worker = 'demo_worker.js' + location.search;
