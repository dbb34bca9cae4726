// What the minimal reference clients send: the requests of a whole run of the terminal flasher
// (identification when it looks for the unit and again when it opens it, then the update) with
// the same pauses, and nothing else. Literal request
// bytes and the shared update facts, not the product's code, so the floor stays independent of
// what is measured against it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "tests/shared/update_facts.h"

namespace reference {

constexpr std::uint32_t kReportBytes = 60;  // the simulated unit's reports, report ID included
// The first request of the update proper (its re-identification) follows the two before it.
constexpr std::size_t kUpdateStart = 2 * std::size(updatefacts::identifyCommands);
// Its last request, the lock released.
constexpr std::size_t kUpdateEnd = kUpdateStart + updatefacts::updateCommandCount - 1;

struct Step {
    std::uint8_t request[kReportBytes];
    std::uint32_t waitBeforeReadMs;  // between the request and reading its answer
    std::uint32_t pauseAfterMs;      // after the answer
};

inline Step step(std::initializer_list<std::uint8_t> head, std::uint32_t pauseAfterMs = 0,
                 std::uint32_t waitBeforeReadMs = 0) {
    Step s{};
    std::size_t at = 0;
    for (std::uint8_t byte : head) s.request[at++] = byte;
    s.waitBeforeReadMs = waitBeforeReadMs;
    s.pauseAfterMs = pauseAfterMs;
    return s;
}

inline void identify(std::vector<Step>& run, std::uint32_t pauseAfterMs) {
    run.push_back(step({0x01, 0x08, 0x00, 0x00}));
    run.push_back(step({0x01, 0x1D, 0x08, 0x00, 0x20, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0xFF, 0xFF}));
    run.push_back(step({0x01, 0x22, 0x00, 0x00}, pauseAfterMs));
}

// Every request of a whole run in order, `image` sent in 48-byte blocks (the last one short).
inline std::vector<Step> wholeRun(const std::vector<std::uint8_t>& image) {
    const auto& pauses = updatefacts::pausesBeforeTransferMs;
    std::vector<Step> run;
    identify(run, 0);
    identify(run, 0);
    identify(run, pauses[0]);
    run.push_back(step({0x01, 0x0B, 0x01, 0x01}, pauses[1]));  // lock
    run.push_back(step({0x01, 0x20, 0x01, 0x00}, pauses[2]));  // write protection off
    run.push_back(step({0x01, 0x1E, 0x04, 0x00, 0x41, 0x9E, 0x2D, 0x6B}, pauses[4] + pauses[5],
                       pauses[3]));  // erase
    run.push_back(step({0x01, 0x1F, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x41, 0x9E, 0x2D, 0x6B},
                       pauses[6]));  // address
    for (std::size_t at = 0; at < image.size(); at += updatefacts::blockBytes) {
        const std::size_t bytes = std::min<std::size_t>(updatefacts::blockBytes, image.size() - at);
        Step block =
            step({0x01, 0x1B, static_cast<std::uint8_t>(bytes), 0x00}, updatefacts::blockPauseMs);
        std::memcpy(block.request + 4, image.data() + at, bytes);
        run.push_back(block);
    }
    run.push_back(step({0x01, 0x20, 0x01, 0x01}));  // write protection back
    run.push_back(step({0x01, 0x0B, 0x01, 0x00}));  // lock released
    return run;
}

// True when `run` sends the commands of the facts in their order.
inline bool matchesTheFacts(const std::vector<Step>& run) {
    std::vector<std::uint8_t> codes;
    for (int looks = 0; looks < 2; ++looks)
        for (std::uint8_t code : updatefacts::identifyCommands) codes.push_back(code);
    for (std::uint8_t code : updatefacts::updateCommandOrder()) codes.push_back(code);
    if (codes.size() != run.size()) return false;
    for (std::size_t i = 0; i < run.size(); ++i)
        if (run[i].request[1] != codes[i]) return false;
    return true;
}

// The run for the image in `path`; empty, said on stdout, when the file does not make the
// update's run.
template <typename Path>
std::vector<Step> runForImage(const Path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    std::vector<Step> run = wholeRun(image);
    if (image.size() == updatefacts::imageBytes && matchesTheFacts(run)) return run;
    std::puts("reference client: the image or the request sequence is not the update's");
    return {};
}

// Sends `run` and nothing else: each request written, its answer read after the request's wait,
// then the pause behind it. `write(request)` and `read(answer)` are the system's calls, true when
// whole; `pause(ms)` and `nowMs()` its clock. Says on stdout how long the update took from its
// first request to its last answer; false when the unit failed.
template <typename Write, typename Read, typename Pause, typename Now>
bool sendRun(const std::vector<Step>& run, Write write, Read read, Pause pause, Now nowMs) {
    double updateStart = 0;
    double lastAnswer = 0;
    for (std::size_t i = 0; i < run.size(); ++i) {
        const Step& step = run[i];
        if (i == kUpdateStart) updateStart = nowMs();
        std::uint8_t answer[kReportBytes];
        if (!write(step.request)) return false;
        if (step.waitBeforeReadMs != 0) pause(step.waitBeforeReadMs);
        if (!read(answer)) return false;
        if (i == kUpdateEnd) lastAnswer = nowMs();
        if (step.pauseAfterMs != 0) pause(step.pauseAfterMs);
    }
    std::printf(
        "reference client: %zu requests, the update from its first request to its last "
        "answer: %.1f ms\n",
        run.size(), lastAnswer - updateStart);
    return true;
}

}  // namespace reference
