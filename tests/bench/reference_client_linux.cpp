// reference_client_linux: the floor the Linux flasher is measured against. It finds the unit
// with hidapi (hidraw), then for each request of a whole run writes it, reads the answer and
// pauses, and nothing else: no look at the queue, no judging, no progress. Takes the image file
// as its argument; prints the time from the update's first request to its last answer.
#include <hidapi/hidapi.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/bench/reference_run.h"

namespace {

constexpr unsigned short kUnitVendorId = 0xF0E1;
constexpr int kReadBoundMs = 10000;

double nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

void sleepMs(std::uint32_t milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

hid_device* openFirstUnit() {
    hid_device_info* list = hid_enumerate(kUnitVendorId, 0);
    hid_device* unit = nullptr;
    for (hid_device_info* info = list; info != nullptr && unit == nullptr; info = info->next)
        if (info->product_id == 1 || info->product_id == 2) unit = hid_open_path(info->path);
    hid_free_enumeration(list);
    return unit;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::puts("usage: reference_client_linux <image file>");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    const std::vector<reference::Step> run = reference::wholeRun(image);
    if (image.size() != updatefacts::imageBytes || !reference::matchesTheFacts(run)) {
        std::puts("reference client: the image or the request sequence is not the update's");
        return 2;
    }
    if (hid_init() != 0) return 1;
    hid_device* unit = openFirstUnit();
    if (unit == nullptr) {
        std::puts("reference client: no unit");
        return 1;
    }
    double updateStart = 0;
    double lastAnswer = 0;
    bool answered = true;
    for (std::size_t i = 0; answered && i < run.size(); ++i) {
        const reference::Step& step = run[i];
        if (i == reference::kUpdateStart) updateStart = nowMs();
        std::uint8_t answer[reference::kReportBytes];
        answered = hid_write(unit, step.request, reference::kReportBytes) ==
                   static_cast<int>(reference::kReportBytes);
        if (answered && step.waitBeforeReadMs != 0) sleepMs(step.waitBeforeReadMs);
        answered = answered && hid_read_timeout(unit, answer, sizeof answer, kReadBoundMs) > 0;
        if (i == reference::kUpdateEnd) lastAnswer = nowMs();
        if (answered && step.pauseAfterMs != 0) sleepMs(step.pauseAfterMs);
    }
    hid_close(unit);
    hid_exit();
    if (!answered) {
        std::puts("reference client: the unit failed");
        return 1;
    }
    std::printf(
        "reference client: %zu requests, the update from its first request to its last "
        "answer: %.1f ms\n",
        run.size(), lastAnswer - updateStart);
    return 0;
}
