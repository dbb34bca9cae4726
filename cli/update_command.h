// The parts of `update` that a series of ESCs (`update --wait`) repeats.
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"
#include "cli/esc_record.h"
#include "update/update_steps.h"

// The warnings on stderr, then the go-ahead: --yes, or yes typed at a terminal. Nothing is sent.
// kExitSuccess means go on.
int askToGoOn(const Arguments& arguments, const CliSetting& setting, Text prompt);

// Updates the ESC behind the open link, the progress and any failure or stop told on stderr.
// kExitSuccess once the new firmware is in; kExitEscChanged, with nothing said, when the unit
// told of another ESC than the one identified; otherwise the failed step's exit code. *outcome
// is what the chain ended with (a stop before anything was sent: at `reidentify`).
int flashOpenLink(const CliSetting& setting, FlashOutcome* outcome);
// What the record says became of an ESC that flashOpenLink worked on.
EscOutcome escOutcomeOf(int exitCode, const FlashOutcome& outcome);

// `update --wait [--repeat]`: waits for an ESC to update, and with --repeat for one after
// another; a line in `record` for each ESC.
int runSeries(const Arguments& arguments, const CliSetting& setting, const RecordFile& record);
