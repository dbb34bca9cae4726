// The flasher's exit codes as the README's table documents them, written out once for every test
// layer: plain literals, not the product's constants, so that a changed code fails a test
// instead of moving it along.
#pragma once

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoUnit = 3;
inline constexpr int kExitSeveralUnits = 4;
inline constexpr int kExitCannotOpen = 5;
inline constexpr int kExitNotReady = 6;
inline constexpr int kExitIncompatible = 7;
inline constexpr int kExitDeclined = 8;
inline constexpr int kExitInterrupted = 9;
inline constexpr int kExitLockFailed = 10;
inline constexpr int kExitUnlockFailed = 11;
inline constexpr int kExitEraseFailed = 12;
inline constexpr int kExitAddressFailed = 13;
inline constexpr int kExitBlockFailed = 14;
inline constexpr int kExitEscChanged = 15;
inline constexpr int kExitInUse = 16;
inline constexpr int kExitCannotRecord = 17;

// The README's table, row by row, as --help prints it in English.
inline constexpr const char* kDocumentedExitCodes[][2] = {
    {"0", "success"},
    {"2", "bad usage: unknown command or option, missing value"},
    {"3", "no programming unit found, none at the --unit path, or --unit names another device"},
    {"4", "several units and no --unit"},
    {"5", "the unit cannot be opened (permission)"},
    {"6", "not ready: unit in the wrong mode, no updatable ESC, unit not identified"},
    {"7", "incompatible ESC type"},
    {"8", "declined: not confirmed, no terminal and no --yes, or a downgrade without "
          "--allow-downgrade"},
    {"9", "interrupted by Ctrl-C, SIGTERM or SIGHUP (on Linux the program ends by the signal)"},
    {"10", "the unit's system lock failed"},
    {"11", "opening the ESC flash failed"},
    {"12", "erasing the old firmware failed"},
    {"13", "setting the write address failed"},
    {"14", "writing a firmware block failed"},
    {"15", "the ESC changed since it was confirmed; nothing was written"},
    {"16", "the unit is in use by another program; nothing was sent"},
    {"17", "the --record file cannot be opened for appending; nothing was sent"},
};
