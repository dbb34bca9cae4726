// The unit-side chain of an update: lock, open the ESC flash, erase, address, transfer, close up.
#pragma once

#include <cstdint>

#include "link/link_result.h"
#include "update/block_transfer.h"

constexpr std::uint32_t kStepPauseMs = 20;
constexpr std::uint32_t kAfterErasePauseMs = 4000;  // the bootloader erases on after it answered

enum class FlashStep { none, lock, unlockFlash, erase, setAddress, transfer };

struct FlashOutcome {
    FlashStep failedStep;  // none on success
    LinkResult result;
    std::uint32_t systemError;
};

// Sends the image's blocks; the Windows build shows a progress window around them.
using TransferFunction = TransferOutcome (*)(const std::uint8_t* image, std::uint32_t size,
                                             void* context);

// An ESC that already runs the carried version or a newer one is asked about before it is
// written; one without firmware never is.
bool isDowngradeOrReinstall(std::uint16_t installed);

// Runs the chain on the open link, if its identification found a supported ESC ready (else the
// lock step fails with -1 and nothing is sent). The first failing step ends it with nothing
// further sent:
// the lock and the opened flash are deliberately left as they are, so the unit can tell.
FlashOutcome flashImage(const std::uint8_t* image, std::uint32_t size, TransferFunction transfer,
                        void* context);
