// Streams the firmware image to the unit in 48-byte WriteDataBlock transactions.
#pragma once

#include <cstdint>

#include "link/commands.h"
#include "link/link_result.h"

constexpr std::uint32_t kBlockPauseMs = 20;

struct TransferOutcome {
    LinkResult result;
    std::uint32_t systemError;  // taken right after the failing block; 0 on success
};

// Called after each block that the unit took, with the position 0 to 100.
using ProgressStep = void (*)(std::uint32_t position, void* context);
// Asked before each block, with the same context; false ends the transfer there with
// kLinkStopped, so a stop never falls inside a block's exchange.
using GoOnQuestion = bool (*)(void* context);

TransferOutcome sendImageBlocks(const std::uint8_t* image, std::uint32_t size,
                                ProgressStep onProgress, void* context,
                                GoOnQuestion goOn = nullptr);
