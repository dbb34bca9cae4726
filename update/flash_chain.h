// The unit-side chain of an update: make sure the ESC is still the one confirmed, lock, open the
// ESC flash, erase, address, transfer, close up.
#pragma once

#include <cstdint>

#include "link/link_result.h"
#include "update/block_transfer.h"

constexpr std::uint32_t kStepPauseMs = 20;
constexpr std::uint32_t kAfterErasePauseMs = 4000;  // the bootloader erases on after it answered

// In the order the chain runs them. `reidentify` asks the unit again what is behind it;
// `escChanged` is no failure of the unit: the answers were fine, but they describe another ESC
// than the one confirmed, or one that is no longer ready.
enum class FlashStep { none, reidentify, escChanged, lock, unlockFlash, erase, setAddress, transfer };

struct FlashOutcome {
    FlashStep failedStep;  // none on success; on a stop, the step that was not started
    LinkResult result;     // kLinkStopped on a stop; kLinkOk for escChanged
    std::uint32_t systemError;
};

// A stop at or before the erase step leaves the ESC's firmware as it was.
inline bool escUntouched(FlashStep stoppedAt) { return stoppedAt <= FlashStep::erase; }
// A stop at or before the lock step sent the unit nothing but identification.
inline bool unitUntouched(FlashStep stoppedAt) { return stoppedAt <= FlashStep::lock; }

// Asked before each step with the step about to start; false stops the chain there.
using StepQuestion = bool (*)(FlashStep next, void* context);

// Sends the image's blocks; the Windows build shows a progress window around them.
using TransferFunction = TransferOutcome (*)(const std::uint8_t* image, std::uint32_t size,
                                             void* context);

// An ESC that already runs the carried version or a newer one is asked about before it is
// written; one without firmware never is.
bool isDowngradeOrReinstall(std::uint16_t installed);

// Runs the chain on the open link. First the unit is asked again what is behind it, and what it
// says must match the link record (what the user saw and confirmed) and be ready; otherwise
// nothing is locked or written, the record takes on what is there now, and the outcome is
// `escChanged` (or `reidentify` with the result when the asking itself failed).
//
// The first failing step ends the chain with nothing further sent: the lock and the opened
// flash are deliberately left as they are, so the unit can tell. `goOn` (may be null) is asked
// before each step with `context`, and the transfer asks its own between blocks; a stop ends
// the chain with kLinkStopped, and the write protection and the lock are given back wherever
// they were taken: the unit answers fine, nothing speaks against it.
FlashOutcome flashImage(const std::uint8_t* image, std::uint32_t size, TransferFunction transfer,
                        void* context, StepQuestion goOn = nullptr);
