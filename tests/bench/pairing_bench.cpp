// pairing_bench.exe: what answer pairing costs per block, against the pipe-served unit through
// the program's own Windows backend: the whole block exchange (the look at the queue before it
// included), the look alone with nothing queued, and for comparison the look the backend made
// before it kept a read under way (a zero-wait read started and given up on). Then the block
// rhythm, block and pause, of the program's transfer against the reference client's (write,
// read, Sleep), in short batches taken in turn so that a machine busy for a while slows both
// alike.
// Run beside the substitute DLLs with WINEDLLOVERRIDES=setupapi,hid=n (bench.sh does).
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <string>

#include "link/commands.h"
#include "link/device_io.h"
#include "link/open_link.h"
#include "link/programmer_link.h"
#include "tests/wine/unit_server_process.h"
#include "update/block_transfer.h"

namespace {

constexpr int kBlocks = 2000;
constexpr int kRuns = 3;
constexpr int kRhythmBatches = 25;
constexpr int kRhythmBlocks = 50;  // per batch
constexpr DWORD kReferencePauseMs = 20;

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

// A zero-wait read on a handle of its own, given up on at once: four trips to the system.
double givenUpReadMs(const wchar_t* path) {
    HANDLE handle =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    HidD_GetAttributes(handle, &attributes);  // the stand-in's pipe reads one report at a time
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const double start = nowMs();
    for (int i = 0; i < kBlocks; ++i) {
        std::uint8_t room[kReportBufferSize + 1];
        OVERLAPPED request{};
        request.hEvent = event;
        DWORD read = 0;
        ReadFile(handle, room, sizeof room, nullptr, &request);
        if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) CancelIo(handle);
        GetOverlappedResult(handle, &request, &read, TRUE);
    }
    const double perLook = (nowMs() - start) / kBlocks;
    CloseHandle(event);
    CloseHandle(handle);
    return perLook;
}

// kRhythmBlocks blocks as the program's transfer sends them, each followed by its pause.
double programBatchMs() {
    const std::uint8_t image[kRhythmBlocks * kBlockBytes] = {};
    if (openProgrammer() != kLinkOk) return -1;
    const double start = nowMs();
    sendImageBlocks(image, sizeof image, nullptr, nullptr);
    const double took = nowMs() - start;
    closeProgrammer();
    return took;
}

// The same as the reference client sends them: write, read, Sleep, on a handle of its own.
double referenceBatchMs(const wchar_t* path) {
    HANDLE handle =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    HidD_GetAttributes(handle, &attributes);
    std::uint8_t request[kReportBufferSize] = {kCommandReportId, WriteDataBlock, kBlockBytes};
    std::uint8_t answer[kReportBufferSize];
    DWORD done = 0;
    const double start = nowMs();
    for (int i = 0; i < kRhythmBlocks; ++i) {
        WriteFile(handle, request, sizeof request, &done, nullptr);
        ReadFile(handle, answer, sizeof answer, &done, nullptr);
        Sleep(kReferencePauseMs);
    }
    const double took = nowMs() - start;
    CloseHandle(handle);
    return took;
}

}  // namespace

int wmain() {
    if (!startUnitServer()) {
        std::puts("pairing bench: the unit server did not start");
        return 1;
    }
    const std::uint8_t block[kBlockBytes] = {};
    double bestExchange = 1e9;
    double bestLook = 1e9;
    double bestGivenUp = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        if (!prepareForBlocks()) {
            std::puts("pairing bench: the simulated unit refused the preparation");
            stopUnitServer();
            return 1;
        }
        // A whole block transaction, the look included, as the transfer runs it (without its
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
        // The look alone with nothing queued, as it comes after each block's answer.
        double looking = 0;
        for (int i = 0; i < kBlocks; ++i) {
            std::uint32_t sent = 0;
            writeDataBlock(block, kBlockBytes / 4, &sent);
            start = nowMs();
            checkInStep();
            looking += nowMs() - start;
        }
        const double look = looking / kBlocks;
        const double givenUp =
            givenUpReadMs(reinterpret_cast<const wchar_t*>(programmerLink.devicePath));
        if (exchange < bestExchange) bestExchange = exchange;
        if (look < bestLook) bestLook = look;
        if (givenUp >= 0 && givenUp < bestGivenUp) bestGivenUp = givenUp;
        closeProgrammer();
    }
    // The unit stays erased and addressed between the batches: every block is taken.
    double program = 0;
    double reference = 0;
    if (prepareForBlocks()) {
        const std::u16string path(programmerLink.devicePath);
        closeProgrammer();
        for (int batch = 0; batch < kRhythmBatches; ++batch) {
            program += programBatchMs();
            reference += referenceBatchMs(reinterpret_cast<const wchar_t*>(path.c_str()));
        }
    }
    stopUnitServer();
    const int rhythmBlocks = kRhythmBatches * kRhythmBlocks;
    std::printf(
        "block rhythm, block and pause, taken in turn in batches of %d: the program's transfer "
        "%.4f ms, the reference client's %.4f ms per block = %.4f (target at most 1.000)\n",
        kRhythmBlocks, program / rhythmBlocks, reference / rhythmBlocks, program / reference);
    std::printf(
        "answer pairing: looking at the queue costs %.4f ms per block, %.1f %% of the "
        "block's exchange (%.4f ms) and %.2f %% of its 20 ms pause; a zero-wait read "
        "given up on would cost %.4f ms (best of %d x %d)\n",
        bestLook, bestLook * 100.0 / bestExchange, bestExchange, bestLook * 100.0 / 20.0,
        bestGivenUp, kRuns, kBlocks);
    return 0;
}
