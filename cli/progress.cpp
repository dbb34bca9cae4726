#include "cli/progress.h"

#include <cstdio>
#include <cstring>

#include "link/commands.h"
#include "update/block_transfer.h"

namespace {

constexpr std::uint32_t kWholePercent = 100;
constexpr std::uint32_t kLineStepPercent = 10;
constexpr std::uint32_t kBarCells = 30;
constexpr char kDoneCell = '#';
constexpr char kOpenCell = '-';
constexpr std::uint64_t kMsPerSecond = 1000;
constexpr std::uint64_t kSecondsPerMinute = 60;

void drawBar(ProgressView& view, std::uint32_t position) {
    char cells[kBarCells + 1];
    const std::uint32_t done = position * kBarCells / kWholePercent;
    for (std::uint32_t i = 0; i < kBarCells; ++i) cells[i] = i < done ? kDoneCell : kOpenCell;
    cells[kBarCells] = '\0';

    // Time left, from the pace since the first block: every block costs about the same, its
    // pause and the exchange. Before there is a pace, the pause alone stands for it.
    const std::uint64_t blocksLeft = view.blocksTotal - view.blocksDone;
    const std::uint64_t leftMs = view.blocksDone < 2 ? blocksLeft * kBlockPauseMs
                                                     : (view.nowMs() - view.firstBlockMs) *
                                                           blocksLeft / (view.blocksDone - 1);
    const std::uint64_t leftSeconds = (leftMs + kMsPerSecond - 1) / kMsPerSecond;
    char left[64];
    std::snprintf(left, sizeof left, text(Text::timeLeft, view.language),
                  static_cast<unsigned>(leftSeconds / kSecondsPerMinute),
                  static_cast<unsigned>(leftSeconds % kSecondsPerMinute));

    char bar[sizeof view.shown];
    std::snprintf(bar, sizeof bar, "\r[%s] %3u %%  %s", cells, static_cast<unsigned>(position),
                  left);
    // Drawn again only when something in it changed: a handful of times a second at most.
    if (std::strcmp(bar, view.shown) == 0) return;
    std::snprintf(view.shown, sizeof view.shown, "%s", bar);
    put(*view.sink, bar);
}

}  // namespace

ProgressView progressStart(const TextSink& sink, Language language, std::uint64_t (*nowMs)(),
                           std::uint32_t imageSize) {
    ProgressView view{};
    view.sink = &sink;
    view.language = language;
    view.nowMs = nowMs;
    view.blocksTotal = (imageSize + kBlockBytes - 1) / kBlockBytes;
    view.nextLinePercent = kLineStepPercent;
    return view;
}

void progressStep(ProgressView& view, std::uint32_t position) {
    if (view.blocksDone < view.blocksTotal) ++view.blocksDone;
    if (view.blocksDone == 1) view.firstBlockMs = view.nowMs();
    if (view.sink->isTerminal) {
        drawBar(view, position);
        return;
    }
    for (; view.nextLinePercent <= position && view.nextLinePercent <= kWholePercent;
         view.nextLinePercent += kLineStepPercent)
        putFormat(*view.sink, "%u %%\n", static_cast<unsigned>(view.nextLinePercent));
}

void progressFinish(ProgressView& view) {
    if (view.sink->isTerminal && view.shown[0] != '\0') put(*view.sink, "\n");
    view.shown[0] = '\0';
}
