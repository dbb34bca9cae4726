// `update --wait [--repeat]`: the bench where ESCs are flashed one after another.
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"
#include "cli/esc_record.h"

// Waits for an ESC to update, and with --repeat for one after another; a line in `record` for
// each ESC.
int runSeriesCommand(const Arguments& arguments, const CliSetting& setting,
                     const RecordFile& record);
