// The flasher's exit codes: one per outcome, stable, so that scripts can tell them apart. Here,
// below both front ends, because a failed step's code stands beside its text in one table.
#pragma once

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
constexpr int kExitEscChanged = 15;  // asked again before the lock, the unit told of another ESC
constexpr int kExitInUse = 16;       // another of our programs holds the unit
constexpr int kExitCannotRecord = 17;  // the --record file cannot be opened for appending

// In the order --help lists them.
constexpr int kExitCodes[] = {
    kExitSuccess,      kExitUsage,        kExitNoUnit,        kExitSeveralUnits, kExitCannotOpen,
    kExitNotReady,     kExitIncompatible, kExitDeclined,      kExitInterrupted,  kExitLockFailed,
    kExitUnlockFailed, kExitEraseFailed,  kExitAddressFailed, kExitBlockFailed, kExitEscChanged,
    kExitInUse,        kExitCannotRecord};
