// pairing_bench.exe: what it costs per block to drop the queued input reports before each
// request, against the pipe-served unit through the program's own Windows backend. Run beside
// the substitute DLLs with WINEDLLOVERRIDES=setupapi,hid=n (bench.sh does).
#include <windows.h>

#include <cstdio>

#include "link/commands.h"
#include "link/device_io.h"
#include "link/programmer_link.h"
#include "tests/wine/unit_server_process.h"

namespace {

constexpr int kBlocks = 2000;
constexpr int kRuns = 3;

double nowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

bool prepareForBlocks() {
    sim("reset");
    sim("plug bench");
    return openProgrammer() == kLinkOk && lockUnit() == kLinkOk &&
           removeWriteProtection() == kLinkOk && eraseFirmware() == kLinkOk &&
           setWriteAddress() == kLinkOk;
}

}  // namespace

int wmain() {
    if (!startUnitServer()) {
        std::puts("pairing bench: the unit server did not start");
        return 1;
    }
    const std::uint8_t block[kBlockBytes] = {};
    double bestExchange = 1e9;
    double bestDrop = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        if (!prepareForBlocks()) {
            std::puts("pairing bench: the simulated unit refused the preparation");
            stopUnitServer();
            return 1;
        }
        // A whole block transaction, the drop included, as the transfer runs it (without its
        // 20 ms pause).
        double start = nowMs();
        for (int i = 0; i < kBlocks; ++i) {
            std::uint32_t sent = 0;
            if (writeDataBlock(block, kBlockBytes / 4, &sent) != kLinkOk) {
                std::puts("pairing bench: a block failed");
                stopUnitServer();
                return 1;
            }
        }
        const double exchange = (nowMs() - start) / kBlocks;
        // The drop alone, on the same handle with nothing queued, as before each request.
        start = nowMs();
        std::uint32_t dropped = 0;
        for (int i = 0; i < kBlocks; ++i) deviceDropInput(programmerLink.handle, &dropped);
        const double drop = (nowMs() - start) / kBlocks;
        if (exchange < bestExchange) bestExchange = exchange;
        if (drop < bestDrop) bestDrop = drop;
        closeProgrammer();
    }
    stopUnitServer();
    std::printf("answer pairing: dropping queued input costs %.4f ms per block, %.1f %% of the "
                "block's exchange (%.4f ms) and %.2f %% of its 20 ms pause (best of %d x %d)\n",
                bestDrop, bestDrop * 100.0 / bestExchange, bestExchange, bestDrop * 100.0 / 20.0,
                kRuns, kBlocks);
    return 0;
}
