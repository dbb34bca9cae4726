// The transfer's progress: on a terminal one bar with percent and time left, redrawn in place;
// otherwise a line for every tenth, so a log reads the same on every run.
#pragma once

#include <cstdint>

#include "cli/output.h"
#include "cli/texts.h"

struct ProgressView {
    const TextSink* sink;
    Language language;
    std::uint64_t (*nowMs)();
    std::uint64_t firstBlockMs;  // when the unit took the first block
    std::uint32_t blocksTotal;
    std::uint32_t blocksDone;
    std::uint32_t nextLinePercent;  // no terminal: the next tenth to report
    char shown[128];                // terminal: the bar as drawn last
};

ProgressView progressStart(const TextSink& sink, Language language, std::uint64_t (*nowMs)(),
                           std::uint32_t imageSize);
// After each block the unit took, with the position 0 to 100.
void progressStep(ProgressView& view, std::uint32_t position);
// Ends the bar's line, so that whatever follows starts on a line of its own.
void progressFinish(ProgressView& view);
