// What a failed step of an update tells: the window's catalogue text and the flasher's exit code.
#pragma once

#include "update/update_steps.h"

struct StepFailure {
    FlashStep step;
    unsigned textId;  // resources/resource_ids.h
    int exitCode;     // update/exit_codes.h
};

// The transfer's row for a step that has none.
const StepFailure& stepFailure(FlashStep step);
