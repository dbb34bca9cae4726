// Updating the ESC behind the open link from a terminal, as `update` and a series both do: the
// go-ahead, the progress, the stop rules, and what became of the ESC.
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"
#include "cli/esc_record.h"
#include "update/flash_chain.h"

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
