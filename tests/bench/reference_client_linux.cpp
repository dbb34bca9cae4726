// reference_client_linux: the floor the Linux flasher is measured against. It finds the unit
// with hidapi (hidraw), then for each request of a whole run writes it, reads the answer and
// pauses, and nothing else: no look at the queue, no judging, no progress. Takes the image file
// as its argument; prints the time from the update's first request to its last answer.
#include <hidapi/hidapi.h>
#include <time.h>

#include <cstdio>
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
    const std::vector<reference::Step> run = reference::runForImage(argv[1]);
    if (run.empty()) return 2;
    if (hid_init() != 0) return 1;
    hid_device* unit = openFirstUnit();
    if (unit == nullptr) {
        std::puts("reference client: no unit");
        return 1;
    }
    const bool answered = reference::sendRun(
        run,
        [unit](const std::uint8_t* request) {
            return hid_write(unit, request, reference::kReportBytes) ==
                   static_cast<int>(reference::kReportBytes);
        },
        [unit](std::uint8_t* answer) {
            return hid_read_timeout(unit, answer, reference::kReportBytes, kReadBoundMs) > 0;
        },
        sleepMs, nowMs);
    hid_close(unit);
    hid_exit();
    if (answered) return 0;
    std::puts("reference client: the unit failed");
    return 1;
}
