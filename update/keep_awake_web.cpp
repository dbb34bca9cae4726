// In the browser the page keeps the screen awake (a screen wake lock needs the document, which
// the worker running the chain has not): the worker tells the page when to hold it.
#include <emscripten.h>

#include "update/keep_awake.h"

namespace {

int holds = 0;

EM_JS(void, tellPage, (int holding), { Module.toPage({type: 'keepAwake', holding: holding !== 0}); });

}  // namespace

void keepAwake(bool holding) {
    if (holding) {
        if (holds++ == 0) tellPage(1);
    } else if (holds > 0 && --holds == 0) {
        tellPage(0);
    }
}
