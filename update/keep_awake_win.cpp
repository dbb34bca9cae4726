// Windows: the thread's execution state keeps the system from sleeping, and 1 ms timer
// resolution keeps Sleep(20) near 20 ms.
#include "update/keep_awake.h"

#include <windows.h>
#include <mmsystem.h>

namespace {

constexpr UINT kTimerResolutionMs = 1;

int holds = 0;

}  // namespace

void keepAwake(bool holding) {
    if (holding) {
        if (holds++ != 0) return;
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
        timeBeginPeriod(kTimerResolutionMs);
        return;
    }
    if (holds == 0 || --holds != 0) return;
    timeEndPeriod(kTimerResolutionMs);
    SetThreadExecutionState(ES_CONTINUOUS);
}
