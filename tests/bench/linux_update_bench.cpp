// linux_update_bench: one whole update against the emulated hidraw unit the Linux flasher tests
// use, by the terminal flasher (`flasher`) or by the minimal hidapi reference client
// (`reference`). Prints one line for bench.sh:
//   linux-bench <which> ok=<0|1> whole_ms=<ms> span_ms=<ms> cpu_ms=<ms>
// whole_ms: the program's start to its end; span_ms: on the unit's clock, from the update's first
// request (the re-identification right before the lock) to its last (the lock released);
// cpu_ms: the program's CPU time, from the system's account of its ended children.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/linux/emulated_unit.h"
#include "tests/shared/update_facts.h"

namespace {

constexpr std::uint32_t kBoundMs = 200000;
constexpr std::uint16_t kInstalledEscFirmware = 0x0302;
constexpr std::uint8_t kSystemLock = 0x0B;
constexpr std::size_t kReidentification = std::size(updatefacts::identifyCommands);

double cpuOfEndedChildrenMs() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    runUnderMockPreload(argv);
    const std::string which = argc == 2 ? argv[1] : "";
    std::vector<std::string> command;
    if (which == "flasher") command = {ZIRVANO_FLASH, "update", "--yes"};
    if (which == "reference") command = {REFERENCE_CLIENT, FIRMWARE_IMAGE_PATH};
    if (command.empty()) {
        std::puts("usage: linux_update_bench flasher|reference");
        return 2;
    }
    std::ifstream file(FIRMWARE_IMAGE_PATH, std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    EmulatedUnit* unit = plugEmulatedUnit(simReadyUnit(kInstalledEscFirmware));
    if (unit == nullptr) return 1;

    const double cpuBefore = cpuOfEndedChildrenMs();
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = runInMockEnvironment(unit, command, kBoundMs);
    const double wholeMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double cpuMs = cpuOfEndedChildrenMs() - cpuBefore;

    const SimUnit state = emulatedUnitState(unit);
    unplugEmulatedUnit(unit);
    // From the re-identification right before the lock to the lock released.
    std::size_t lock = 0;
    std::size_t release = 0;
    for (std::size_t i = 0; i < state.received.size(); ++i) {
        if (state.received[i].bytes.size() < 2 || state.received[i].bytes[1] != kSystemLock)
            continue;
        if (lock == 0) lock = i;
        release = i;
    }
    const bool ok = run.ended && run.exitCode == 0 && lock >= kReidentification && release > lock &&
                    state.flash == image;
    const std::uint64_t spanMs = ok ? state.received[release].writtenAtMs -
                                          state.received[lock - kReidentification].writtenAtMs
                                    : 0;
    std::printf("linux-bench %s ok=%d whole_ms=%.0f span_ms=%llu cpu_ms=%.0f\n", which.c_str(),
                ok ? 1 : 0, wholeMs, static_cast<unsigned long long>(spanMs), cpuMs);
    if (!ok) std::fprintf(stderr, "%s%s", run.output.c_str(), run.errors.c_str());
    return ok ? 0 : 1;
}
