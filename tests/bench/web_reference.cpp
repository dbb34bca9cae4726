// web_reference.js: the floor the page's update is measured against, in the same browser on the
// same simulated unit. The requests of reference_run.h, literal and checked against the shared
// update facts; for each: write it, wait for its answer, pause, nothing else (no pairing check,
// no queue look, no progress). It takes the first unit the page was granted. Run in a worker
// beside the WebHID double (web_reference_worker.js); says its result to the worker.
#include <emscripten.h>

#include "tests/bench/reference_run.h"

namespace {

EM_ASYNC_JS(int, openUnit, (), {
    const [device] = await navigator.hid.getDevices();
    if (!device) return 0;
    await device.open();
    Module.unit = device;
    Module.answers = [];
    Module.waiting = null;
    device.addEventListener('inputreport', (event) => {
        Module.answers.push(event);
        if (Module.waiting) Module.waiting();
    });
    return 1;
});

EM_ASYNC_JS(int, writeRequest, (const std::uint8_t* request, int length), {
    const bytes = HEAPU8.slice(request, request + length);
    try {
        await Module.unit.sendReport(bytes[0], bytes.subarray(1));
        return 1;
    } catch (error) {
        return 0;
    }
});

EM_ASYNC_JS(int, readAnswer, (), {
    if (Module.answers.length === 0)
        await new Promise((resolve) => { Module.waiting = resolve; });
    Module.waiting = null;
    Module.answers.shift();
    return 1;
});

EM_ASYNC_JS(void, pauseFor, (int milliseconds), {
    await new Promise((resolve) => setTimeout(resolve, milliseconds));
});

EM_JS(double, nowMs, (), { return performance.now(); });

EM_JS(void, finished, (int answered), { Module.finished(answered !== 0); });

}  // namespace

int main() {
    const std::vector<reference::Step> run = reference::runForImage("firmware_140.bin");
    if (run.empty() || !openUnit()) {
        finished(0);
        return 1;
    }
    const bool answered = reference::sendRun(
        run,
        [](const std::uint8_t* request) { return writeRequest(request, reference::kReportBytes) != 0; },
        [](std::uint8_t*) { return readAnswer() != 0; },
        [](std::uint32_t milliseconds) { pauseFor(static_cast<int>(milliseconds)); },
        [] { return nowMs(); });
    finished(answered);
    return answered ? 0 : 1;
}
