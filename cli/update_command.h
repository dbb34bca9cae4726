// The parts of `update` that a series of ESCs (`update --wait`) repeats.
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"

// The warnings on stderr, then the go-ahead: --yes, or yes typed at a terminal. Nothing is sent.
// kExitSuccess means go on.
int askToGoOn(const Arguments& arguments, const CliSetting& setting, Text prompt);

// Updates the ESC behind the open link, the progress and any failure or stop told on stderr.
// kExitSuccess once the new firmware is in; kExitEscChanged, with nothing said, when the unit
// told of another ESC than the one identified; otherwise the failed step's exit code.
int flashOpenLink(const CliSetting& setting);

// `update --wait [--repeat]`: waits for an ESC to update, and with --repeat for one after another.
int runSeries(const Arguments& arguments, const CliSetting& setting);
