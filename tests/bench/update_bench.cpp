// bench_driver.exe: figures of the shipped program under Wine against the pipe-served unit, as
// ratios that hold on a noisy machine. Run beside the substitute DLLs with
// WINEDLLOVERRIDES=setupapi,hid=n (bench.sh does).
//   - a complete update: wall time from the warning's OK to the success hint over the fixed
//     pauses of an update (its CPU time is read from outside Wine by bench.sh, because Wine does
//     not report another process's times);
//   - the same update on the unit's clock, from its first request (the re-identification) to its
//     last (the lock released), for bench.sh to set against the reference client's;
//   - start-up: launch to the hint panel filled, over the same for an empty dialog program;
//   - the executable's size and its peak working set during the update.
// With the argument `update` only the update is measured.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/e2e/updater_process.h"
#include "tests/shared/catalogue_texts.h"
#include "tests/shared/update_facts.h"
#include "tests/e2e/window_probe.h"
#include "tests/wine/unit_server_process.h"

namespace {

constexpr double kFixedPausesMs = updatefacts::fixedPausesMs;
constexpr int kStartRuns = 5;
constexpr std::chrono::milliseconds kBound{60000};

double nowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

bool launch(const wchar_t* file, UpdaterProcess* program) {
    const std::wstring path = besideThisProgram(file);
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        besideThisProgram(L"").c_str(), &startup, &info))
        return false;
    CloseHandle(info.hThread);
    program->process = info.hProcess;
    program->id = info.dwProcessId;
    return true;
}

HWND windowOf(DWORD processId, const wchar_t* title) {
    if (title == nullptr) return findMainWindow(processId);
    HWND window = FindWindowW(L"#32770", title);
    DWORD owner = 0;
    if (window != nullptr) GetWindowThreadProcessId(window, &owner);
    return owner == processId ? window : nullptr;
}

bool hintFilled(HWND window) {
    std::wstring hint;
    return window != nullptr && readControlText(window, IDC_HINT, &hint) && !hint.empty();
}

// Launch to the hint panel filled, best of a few runs (the first pays for cold caches).
double startUpMs(const wchar_t* file, const wchar_t* title) {
    double best = 1e12;
    for (int run = 0; run < kStartRuns; ++run) {
        UpdaterProcess program;
        const double start = nowMs();
        if (!launch(file, &program)) return -1;
        HWND window = nullptr;
        const bool up = waitUntil(kBound, [&] {
            window = windowOf(program.id, title);
            return hintFilled(window);
        });
        const double elapsed = nowMs() - start;
        if (up) best = std::min(best, elapsed);
        if (window != nullptr) PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        DWORD code = 0;
        if (!waitForExit(program, 10000, &code)) endUpdater(program);
        else endUpdater(program);
        if (!up) return -1;
    }
    return best;
}

// From the unit's record: how often a block arrived, and how long the unit's side took to
// answer, so the time over the fixed pauses can be told apart; and the update's span.
void printBlockRhythm(const std::string& commands) {
    std::istringstream lines(commands);
    std::string code, written, read;
    std::vector<double> writes;
    std::vector<double> requests;
    std::size_t lock = 0;
    std::size_t release = 0;
    double answerSum = 0;
    while (lines >> code >> written >> read) {
        requests.push_back(std::stod(written));
        if (code == "0b") {
            if (lock == 0) lock = requests.size() - 1;
            release = requests.size() - 1;
        }
        if (code != "1b") continue;
        writes.push_back(std::stod(written));
        if (read != "-") answerSum += std::stod(read) - std::stod(written);
    }
    // From the re-identification right before the lock to the lock released.
    constexpr std::size_t kReidentification = std::size(updatefacts::identifyCommands);
    if (lock >= kReidentification && release > lock)
        std::printf("the update on the unit's clock: span_ms=%.0f\n",
                    requests[release] - requests[lock - kReidentification]);
    if (writes.size() < 2) return;
    const double interval = (writes.back() - writes.front()) / (writes.size() - 1);
    std::printf("blocks: one every %.3f ms on the unit's clock (%u ms pause + %.3f ms); the unit "
                "answered within %.3f ms on average\n",
                interval, static_cast<unsigned>(updatefacts::blockPauseMs),
                interval - updatefacts::blockPauseMs, answerSum / writes.size());
}

bool fail(const char* what) {
    std::printf("bench: %s\n", what);
    return false;
}

bool measureUpdate() {
    sim("reset");
    sim("plug unit");
    UpdaterProcess program;
    if (!launchUpdater(&program)) return fail("the program did not start");
    HWND window = nullptr;
    if (!waitUntil(kBound, [&] {
            window = findMainWindow(program.id);
            return window != nullptr && controlEnabled(window, IDC_UPDATE);
        }))
        return fail("the program did not get ready");
    clickButton(window, IDC_UPDATE);
    HWND box = nullptr;
    if (!waitUntil(kBound, [&] { return (box = findOwnedBox(window)) != nullptr; }))
        return fail("no warning box");
    const double start = nowMs();
    clickButton(box, IDOK);
    std::wstring hint;
    const bool done = waitUntil(std::chrono::milliseconds(120000), [&] {
        return readControlText(window, IDC_HINT, &hint) && !controlEnabled(window, IDC_UPDATE) &&
               hint == handwritten::catalogueText(IDS_UPDATE_SUCCEEDED, environmentLanguage());
    });
    const double wall = nowMs() - start;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(program.process, &memory, sizeof memory);
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    DWORD code = 0;
    waitForExit(program, 10000, &code);
    endUpdater(program);
    if (!done) return fail("the update did not end in success");
    const std::string flash = sim("flashcmp unit firmware_140.bin");
    printBlockRhythm(sim("commands unit"));
    std::printf("complete update, wall time / %u,%03u ms of fixed pauses: %.4f (%.0f ms; target "
                "at most 1.02)\n",
                static_cast<unsigned>(updatefacts::fixedPausesMs / 1000),
                static_cast<unsigned>(updatefacts::fixedPausesMs % 1000), wall / kFixedPausesMs,
                wall);
    std::printf("peak working set during the update: %.1f MiB\n",
                memory.PeakWorkingSetSize / (1024.0 * 1024.0));
    std::printf("image received by the unit: %s\n", flash.c_str());
    return flash == "equal";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!substituteDllsSelected()) return fail("run with WINEDLLOVERRIDES=setupapi,hid=n"), 2;
    if (!startUnitServer()) return fail("the unit server did not start"), 2;
    if (argc == 2 && std::wstring(argv[1]) == L"update") {
        const bool ok = measureUpdate();
        stopUnitServer();
        return ok ? 0 : 1;
    }
    sim("reset");
    sim("plug unit");
    const double program = startUpMs(L"ZirvanoUpdater.exe", nullptr);
    const double empty = startUpMs(L"empty_dialog.exe", L"Empty dialog");
    WIN32_FILE_ATTRIBUTE_DATA file{};
    GetFileAttributesExW(besideThisProgram(L"ZirvanoUpdater.exe").c_str(), GetFileExInfoStandard,
                         &file);
    std::printf("start-up to the hint panel filled / empty dialog program: %.2f (%.0f ms / %.0f "
                "ms, best of %d)\n",
                program / empty, program, empty, kStartRuns);
    std::printf("executable size: %lu bytes\n", file.nFileSizeLow);
    const bool ok = program > 0 && empty > 0 && measureUpdate();
    stopUnitServer();
    return ok ? 0 : 1;
}
