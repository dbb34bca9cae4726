// The flasher's exit codes: one per outcome, stable, so that scripts can tell them apart. One
// table holds every code with its name, its meaning in English and German (the --help table and
// the manual page's EXIT STATUS are made from it) and the unit states and failed update steps it
// stands for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/texts.h"
#include "cli/unit_finding.h"
#include "update/flash_chain.h"

constexpr int kExitSuccess = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoUnit = 3;
constexpr int kExitSeveralUnits = 4;
constexpr int kExitCannotOpen = 5;
constexpr int kExitNotReady = 6;
constexpr int kExitIncompatible = 7;
constexpr int kExitDeclined = 8;
constexpr int kExitInterrupted = 9;
constexpr int kExitLockFailed = 10;
constexpr int kExitUnlockFailed = 11;
constexpr int kExitEraseFailed = 12;
constexpr int kExitAddressFailed = 13;
constexpr int kExitBlockFailed = 14;
constexpr int kExitEscChanged = 15;
constexpr int kExitInUse = 16;
constexpr int kExitCannotRecord = 17;

struct ExitCodeRow {
    int code;
    const char* name;  // a word for it, as the manual page names it
    const char* english;
    const char* german;
    std::uint32_t states;  // bits of the UnitState values that end `status` and `update` with it
    std::uint32_t steps;   // bits of the FlashStep values whose failure ends an update with it
};

// The rows in the order --help and the manual page list them.
const ExitCodeRow* exitCodeRows(std::size_t* count);

int exitCodeOf(UnitState state);
// The code of an update that failed at `step`.
int exitCodeOfStep(FlashStep step);
// What an exit code means, for --help; empty for a code that is not in the table.
const char* exitCodeMeaning(int code, Language language);
