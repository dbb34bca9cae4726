// soak_driver.exe: the shipped ZirvanoUpdater.exe through a long day at the bench, driven from
// outside as e2e_driver.exe drives it: a thousand times the unit pulled and plugged in again
// and identified (now and then an identification that fails, an ESC of another type, no ESC,
// the unit in its bootloader), and ten updates, most of them failing at one step or another.
// The program's process is counted before and after; what a cycle leaves behind piles up.
//
//   soak_driver.exe [cycles] [updates]      defaults: 1000 and 10
//
// Run beside the substitute DLLs under WINEDLLOVERRIDES=setupapi,hid=n, in English, with a
// build that carries a small image (an update then lasts about its fixed pauses, 5 s). Prints
// each count before and after with its margin, "soak: window program: ..." as its summary,
// and exits nonzero on any failure.
#include <windows.h>
#include <dbt.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "resources/resource_ids.h"
#include "sim/win/sim_control.h"
#include "tests/e2e/steps.h"

namespace {

using std::chrono::milliseconds;

constexpr int kCyclesDefault = 1000;
constexpr int kUpdatesDefault = 10;
// One-time allocations (the first box, the first update's progress window, the catalogue
// loaded once) happen in a warm-up before the counts are taken: the 20 cycles before the first
// update, and that update.
constexpr int kWarmUpCycles = 20;
constexpr milliseconds kWindowBound{30000};
// A notification is taken synchronously, so the hint is there at once; the bound is for a
// loaded machine, and reaching it is a failure.
constexpr milliseconds kHintBound{10000};
// An update of the small image lasts its fixed pauses, about 5.5 s; this bounds a hung one.
constexpr milliseconds kUpdateBound{60000};
constexpr UINT kAnswerBoundMs = 5000;

// What a cycle plugs in, by the cycle's number: every 10th fails to identify, every 7th has an
// ESC of another type, every 11th none, every 13th is in its bootloader, every 3rd is a ready
// ZELQUAD; a cycle that several rules name takes the first, and the others a ready TAVILINK.
enum class Plugged { ready, zelquad, identificationFails, foreignEsc, noEsc, bootloader };
constexpr int kPluggedKinds = static_cast<int>(Plugged::bootloader) + 1;

struct CycleRule {
    int every;
    Plugged plugged;
};

const CycleRule kCycleRules[] = {
    {10, Plugged::identificationFails},  // the hint stays as it was
    {7, Plugged::foreignEsc},            // the notice, then its hint
    {11, Plugged::noEsc},
    {13, Plugged::bootloader},
    {3, Plugged::zelquad},
};

// The identification faults, taken in turn: each stops the probe at another request.
const char* const kIdentificationFaults[] = {
    "08 1 error 5",    // the unit's identification
    "1d 1 error 5",    // the ESC's memory
    "08 1 malformed",  // a garbled answer
    "1d 1 cut 30",     // half an answer
};

// The updates, one after each hundredth cycle (the 50th, 150th, ...), in this order and round
// again: the ones that succeed, and a failure at each step.
struct UpdateCase {
    const char* name;
    const char* fault;  // a `fault unit ...` or `swapesc unit ...` command; null: none
    Text stepText;      // the failure box's step; 0 for a success, and for the foreign ESC
    const char* code;
};

const UpdateCase kUpdateCases[] = {
    {"success", nullptr, 0, nullptr},
    {"lock refused", "fault unit 0b 1 refusal", IDS_LOCK_FAILED, "0000065b"},
    {"success", nullptr, 0, nullptr},
    {"erase answered with an error", "fault unit 1e 1 error 5", IDS_ERASE_FAILED, "00000005"},
    {"success", nullptr, 0, nullptr},
    {"5th block answered with an error", "fault unit 1b 5 error 2a", IDS_BLOCK_FAILED, "0000002a"},
    {"flash unlock answered with an error", "fault unit 20 1 error 1234", IDS_UNLOCK_FLASH_FAILED,
     "00001234"},
    {"success", nullptr, 0, nullptr},
    {"write address answered with an error", "fault unit 1f 1 error 7", IDS_ADDRESS_FAILED,
     "00000007"},
    {"ESC of another type swapped in before Update", "swapesc unit now type=0B07403C", 0, nullptr},
};
constexpr int kUpdateEvery = 100;
constexpr int kUpdateAt = 50;

void say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---- the counts

// Which of the process's counts this system reports: each is found out on the driver itself,
// by making a few of the things it counts and seeing whether the count follows.
struct Reported {
    bool handles = false;
    bool tableHandles = false;
    bool privateBytes = false;
    bool windows = false;
    bool gdiObjects = false;
    bool userObjects = false;
};

struct Counts {
    long long handles = 0;       // as the process says (GetProcessHandleCount)
    long long tableHandles = 0;  // its entries in the system's handle table
    long long privateBytes = 0;
    long long windows = 0;
    long long gdiObjects = 0;
    long long userObjects = 0;
    // From the Unix side, through Wine's Z: drive; -1 when unreadable (not under Wine).
    long long residentKiB = -1;
    long long descriptors = -1;
};

struct WindowTally {
    DWORD processId;
    long long windows;
};

BOOL CALLBACK tallyChild(HWND, LPARAM context) {
    ++reinterpret_cast<WindowTally*>(context)->windows;
    return TRUE;
}

BOOL CALLBACK tallyTopLevel(HWND window, LPARAM context) {
    auto& tally = *reinterpret_cast<WindowTally*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != tally.processId) return TRUE;
    ++tally.windows;
    EnumChildWindows(window, tallyChild, context);
    return TRUE;
}

long long windowsOf(DWORD processId) {
    WindowTally tally{processId, 0};
    EnumWindows(tallyTopLevel, reinterpret_cast<LPARAM>(&tally));
    return tally.windows;
}

// The system's handle table, one entry per open handle of any process
// (NtQuerySystemInformation, SystemExtendedHandleInformation); the SDK headers leave it out.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleTableEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleTableEntry entries[1];
};

using QuerySystemInformation = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

long long tableHandlesOf(DWORD processId) {
    static const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    std::vector<ULONG_PTR> buffer(4096);
    LONG status = 0;
    for (;;) {
        const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
        ULONG needed = 0;
        status = query(kSystemExtendedHandleInformation, buffer.data(), bytes, &needed);
        if (status != kInfoLengthMismatch) break;
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return 0;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    long long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].processId == processId) ++count;
    return count;
}

// A whole file read through the Z: drive; "" when it cannot be opened.
std::string unixFile(const std::string& path) {
    const std::wstring name = L"Z:" + simFromUtf8(path);
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

// The Unix process that runs `program` (a Windows path): Wine puts that path first in the
// process's command line. 0 when there is none.
long unixProcessOf(const std::wstring& program) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    const std::string wanted = utf8(program);
    long found = 0;
    do {
        wchar_t* end = nullptr;
        const long pid = std::wcstol(entry.cFileName, &end, 10);
        if (pid <= 0 || *end != L'\0') continue;
        const std::string commandLine = unixFile("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string first = commandLine.substr(0, commandLine.find('\0'));
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, first.c_str(), -1, wanted.c_str(),
                           -1) == CSTR_EQUAL)
            found = pid;
    } while (found == 0 && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

long long statusKiB(long pid, const char* field) {
    const std::string status = unixFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find(std::string("\n") + field + ":");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + std::strlen(field) + 2);
}

long long descriptorsOf(long pid) {
    const std::wstring pattern = L"Z:\\proc\\" + std::to_wstring(pid) + L"\\fd\\*";
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return -1;
    long long count = 0;
    do {
        if (entry.cFileName[0] != L'.') ++count;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return count;
}

Counts countsOf(HANDLE process, DWORD processId, long unixPid) {
    Counts counts;
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles)) counts.handles = handles;
    counts.tableHandles = tableHandlesOf(processId);
    // The commit charge: PrivateUsage of the extended record is the same figure, but Wine leaves
    // that field unset and fills this one.
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, &memory, sizeof memory))
        counts.privateBytes = static_cast<long long>(memory.PagefileUsage);
    counts.windows = windowsOf(processId);
    counts.gdiObjects = GetGuiResources(process, GR_GDIOBJECTS);
    counts.userObjects = GetGuiResources(process, GR_USEROBJECTS);
    if (unixPid != 0) {
        counts.residentKiB = statusKiB(unixPid, "VmRSS");
        counts.descriptors = descriptorsOf(unixPid);
    }
    return counts;
}

// Makes a few of each counted thing in this process and sees which counts follow.
Reported reportedCounts() {
    constexpr int kMade = 8;
    constexpr SIZE_T kMadeBytes = 8u << 20;
    HANDLE self = GetCurrentProcess();
    const DWORD selfId = GetCurrentProcessId();
    const Counts before = countsOf(self, selfId, 0);
    std::vector<HANDLE> events;
    std::vector<HBRUSH> brushes;
    std::vector<HWND> windows;
    for (int i = 0; i < kMade; ++i) {
        events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        brushes.push_back(CreateSolidBrush(RGB(i, i, i)));
        windows.push_back(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                          nullptr, nullptr));
    }
    auto* memory = static_cast<char*>(
        VirtualAlloc(nullptr, kMadeBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (memory != nullptr)
        for (SIZE_T at = 0; at < kMadeBytes; at += 4096) memory[at] = 1;
    const Counts after = countsOf(self, selfId, 0);
    if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
    for (HWND window : windows) DestroyWindow(window);
    for (HBRUSH brush : brushes) DeleteObject(brush);
    for (HANDLE event : events) CloseHandle(event);

    Reported reported;
    reported.handles = after.handles - before.handles >= kMade;
    reported.tableHandles = after.tableHandles - before.tableHandles >= kMade;
    reported.privateBytes =
        after.privateBytes - before.privateBytes >= static_cast<long long>(kMadeBytes);
    reported.windows = after.windows - before.windows >= kMade;
    reported.gdiObjects = after.gdiObjects - before.gdiObjects >= kMade;
    reported.userObjects = after.userObjects - before.userObjects >= kMade;
    return reported;
}

// One count of the program, its margin, and whether the system reports it at all.
struct CountRow {
    const char* name;
    long long Counts::*field;
    long long margin;    // in the field's own unit
    long long shownPer;  // the field's units per unit shown
    const char* shownUnit;
    bool Reported::*reported;  // null: from /proc, reported whenever readable
};

constexpr long long kMiB = 1024 * 1024;

// The margins allow for what a healthy program does over a long run: a handle or two that the
// system's own libraries open late, heap pages that fragmentation keeps. A window left behind,
// a handle per hundred cycles or a few kilobytes per cycle go past them.
const CountRow kCountRows[] = {
    {"handles (GetProcessHandleCount)", &Counts::handles, 5, 1, "", &Reported::handles},
    {"handles (system handle table)", &Counts::tableHandles, 5, 1, "", &Reported::tableHandles},
    {"private bytes", &Counts::privateBytes, kMiB, 1024, " KiB", &Reported::privateBytes},
    {"windows", &Counts::windows, 0, 1, "", &Reported::windows},
    {"GDI objects", &Counts::gdiObjects, 5, 1, "", &Reported::gdiObjects},
    {"USER objects", &Counts::userObjects, 5, 1, "", &Reported::userObjects},
    {"VmRSS", &Counts::residentKiB, 2048, 1, " KiB", nullptr},
    {"open descriptors", &Counts::descriptors, 2, 1, "", nullptr},
};

bool isReported(const CountRow& row, const Reported& reported, const Counts& counts) {
    return row.reported != nullptr ? reported.*(row.reported) : counts.*(row.field) >= 0;
}

std::string figure(const CountRow& row, long long value) {
    return std::to_string(value / row.shownPer) + row.shownUnit;
}

// ---- driving the window

std::wstring hintText(const Run& run, Text text) { return textOf(run, text); }

std::wstring hintWithStepsText(const Run& run, Text text) {
    return textOf(run, text) + L"\r\n\r\n" + textOf(run, IDS_STEPS);
}

bool awaitHint(Run& run, const std::wstring& expected, milliseconds bound, std::string* why) {
    std::wstring seen;
    if (waitUntil(bound, [&] {
            return readControlText(run.main, IDC_HINT, &seen) && textMatches(expected, seen);
        }))
        return true;
    *why = "hint panel: " + describeDifference(expected, seen);
    return false;
}

bool runSteps(Run& run, const std::vector<Step>& steps, std::string* why) {
    for (const Step& step : steps) {
        std::string stepWhy;
        if (!step.run(run, &stepWhy)) {
            *why = step.what + ": " + stepWhy;
            return false;
        }
    }
    return true;
}

struct Bench {
    Run run;
    bool linked = false;  // the window holds a link to the unit
    std::wstring shown;   // what the hint panel shows now
    int faultsUsed = 0;
    int cyclesOf[kPluggedKinds] = {};
    int updates = 0;
    int updatesSucceeded = 0;
    ULONGLONG updatesMs = 0;  // of the cycles' time
};

Plugged pluggedIn(int cycle) {
    if (cycle % kUpdateEvery == kUpdateAt) return Plugged::ready;  // an update follows
    for (const CycleRule& rule : kCycleRules)
        if (cycle % rule.every == 0) return rule.plugged;
    return Plugged::ready;
}

const char* plugOptions(Plugged plugged) {
    switch (plugged) {
        case Plugged::zelquad: return "pid=1";
        case Plugged::foreignEsc: return "type=0B07403C";
        case Plugged::noEsc: return "esc=1";
        case Plugged::bootloader: return "mode=boot";
        case Plugged::ready:
        case Plugged::identificationFails: break;
    }
    return "";
}

// The arrival of a unit with a foreign ESC opens the incompatibility notice from inside the
// notification, so the notification is sent from another thread while this one answers the box.
bool arrivalWithNotice(Run& run, std::string* why) {
    std::thread notifier(
        [&run] { sendDeviceChange(run.main, DBT_DEVICEARRIVAL, run.unitPath, nullptr); });
    const bool answered = runSteps(run, {incompatibilityBox(), answer(IDOK)}, why);
    notifier.join();
    return answered;
}

// Unplugged, plugged in again as `cycle` says, and identified: the hint panel shows the
// outcome, or what it showed before when the identification failed.
bool cycleOnce(Bench& bench, int cycle, std::string* why) {
    Run& run = bench.run;
    if (!runSteps(run, {unplug(), removal()}, why)) return false;
    if (bench.linked) bench.shown = hintWithStepsText(run, IDS_CONNECTION_LOST);
    bench.linked = false;
    if (!awaitHint(run, bench.shown, kHintBound, why)) return false;

    const Plugged plugged = pluggedIn(cycle);
    ++bench.cyclesOf[static_cast<int>(plugged)];
    std::vector<Step> steps = {plug(plugOptions(plugged))};
    if (plugged == Plugged::identificationFails)
        steps.push_back(
            fault(kIdentificationFaults[bench.faultsUsed++ % std::size(kIdentificationFaults)]));
    if (!runSteps(run, steps, why)) return false;
    if (plugged == Plugged::foreignEsc) {
        if (!arrivalWithNotice(run, why)) return false;
    } else if (!runSteps(run, {arrival()}, why)) {
        return false;
    }
    switch (plugged) {
        case Plugged::ready:
        case Plugged::zelquad:
            bench.shown = hintText(run, IDS_READY);
            bench.linked = true;
            break;
        case Plugged::identificationFails:
            // The hint stays as it was; the unit stays open, unidentified, until it goes.
            bench.linked = true;
            break;
        case Plugged::foreignEsc:
            bench.shown = hintWithStepsText(run, IDS_INCOMPATIBLE_HINT);
            break;
        case Plugged::noEsc: bench.shown = hintWithStepsText(run, IDS_NO_UPDATABLE_ESC); break;
        case Plugged::bootloader: bench.shown = hintWithStepsText(run, IDS_WRONG_MODE); break;
    }
    return awaitHint(run, bench.shown, kHintBound, why);
}

// One update of the ready window, as the case says: to the success hint, or through its
// failure box (or the notice about the other ESC) to the hint that follows.
bool updateOnce(Bench& bench, const UpdateCase& update, std::string* why) {
    Run& run = bench.run;
    ++bench.updates;
    std::vector<Step> steps = {hint(IDS_READY)};
    if (update.fault != nullptr) {
        const std::string reply = sim(update.fault);
        if (reply.compare(0, 2, "ok") != 0) {
            *why = std::string(update.fault) + ": " + reply;
            return false;
        }
    }
    steps.insert(steps.end(),
                 {pressUpdate(), box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}),
                  answer(IDOK)});
    if (!runSteps(run, steps, why)) return false;
    if (update.fault == nullptr) {
        if (!awaitHint(run, hintText(run, IDS_UPDATE_SUCCEEDED), kUpdateBound, why) ||
            !runSteps(run,
                      {updateEnabled(false), versions(L"1.2", L"2.1.5", L"3.3"), flashHoldsImage(),
                       noBox()},
                      why))
            return false;
        ++bench.updatesSucceeded;
        bench.shown = hintText(run, IDS_UPDATE_SUCCEEDED);
        return true;  // still linked
    }
    bench.linked = false;
    if (update.stepText == 0) {
        bench.shown = hintWithStepsText(run, IDS_INCOMPATIBLE_HINT);
        return runSteps(run, {incompatibilityBox(), answer(IDOK)}, why) &&
               awaitHint(run, bench.shown, kHintBound, why);
    }
    bench.shown = hintText(run, IDS_FAILURE_HINT);
    return runSteps(run, {errorBox(update.stepText, update.code), answer(IDOK)}, why) &&
           awaitHint(run, bench.shown, kHintBound, why);
}

// Cycles `first` to `last`, with an update after each one the update rule names while
// `updatesLeft` lasts.
bool cycles(Bench& bench, int first, int last, int updatesLeft, std::string* why) {
    for (int cycle = first; cycle <= last; ++cycle) {
        std::string cycleWhy;
        if (!cycleOnce(bench, cycle, &cycleWhy)) {
            *why = "cycle " + std::to_string(cycle) + ": " + cycleWhy;
            return false;
        }
        if (cycle % kUpdateEvery != kUpdateAt || updatesLeft == 0) continue;
        const UpdateCase& update = kUpdateCases[bench.updates % std::size(kUpdateCases)];
        const ULONGLONG updateStart = GetTickCount64();
        const bool updated = updateOnce(bench, update, &cycleWhy);
        bench.updatesMs += GetTickCount64() - updateStart;
        if (!updated) {
            *why = "update after cycle " + std::to_string(cycle) + " (" + update.name +
                   "): " + cycleWhy;
            return false;
        }
        --updatesLeft;
    }
    return true;
}

std::string seconds(ULONGLONG ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

bool startBench(Bench& bench, std::string* why) {
    Run& run = bench.run;
    run.language = environmentLanguage();
    if (sim("reset") != "ok") {
        *why = "the unit server does not answer";
        return false;
    }
    if (!runSteps(run, {plug("")}, why)) return false;
    if (!launchUpdater(&run.program)) {
        *why = "cannot start ZirvanoUpdater.exe beside the driver";
        return false;
    }
    if (!waitUntil(kWindowBound,
                   [&] { return (run.main = findMainWindow(run.program.id)) != nullptr; })) {
        *why = "no main window came up";
        return false;
    }
    bench.linked = true;
    bench.shown = hintText(run, IDS_READY);
    return awaitHint(run, bench.shown, kWindowBound, why);
}

int soak(int cycleCount, int updateCount) {
    if (!substituteDllsSelected()) {
        say("FAIL: start the driver with WINEDLLOVERRIDES=setupapi,hid=n");
        return 1;
    }
    if (environmentLanguage() != handwritten::Language::english) {
        say("FAIL: run the driver in an English locale");
        return 1;
    }
    const bool ownServer = startUnitServer();
    if (!ownServer) {
        say("FAIL: unit_server.exe did not start beside the driver (is another one running?)");
        return 1;
    }
    const Reported reported = reportedCounts();
    Bench bench;
    std::string why;
    bool ok = startBench(bench, &why);
    const long unixPid = ok ? unixProcessOf(besideThisProgram(L"ZirvanoUpdater.exe")) : 0;
    say("program: Windows process " + std::to_string(bench.run.program.id) + ", Unix process " +
        (unixPid != 0 ? std::to_string(unixPid) : std::string("unknown")));

    // Warm-up: a few cycles of each kind and a whole update.
    Counts before;
    if (ok) {
        const ULONGLONG start = GetTickCount64();
        ok = cycles(bench, kUpdateAt - kWarmUpCycles + 1, kUpdateAt, 1, &why);
        before = countsOf(bench.run.program.process, bench.run.program.id, unixPid);
        say("warm-up: " + std::to_string(kWarmUpCycles) + " cycles and 1 update in " +
            seconds(GetTickCount64() - start));
    }
    bench.updates = 0;
    bench.updatesSucceeded = 0;
    bench.updatesMs = 0;
    for (int& n : bench.cyclesOf) n = 0;

    ULONGLONG cyclesMs = 0;
    Counts after;
    if (ok) {
        const ULONGLONG start = GetTickCount64();
        ok = cycles(bench, 1, cycleCount, updateCount, &why);
        cyclesMs = GetTickCount64() - start;
        after = countsOf(bench.run.program.process, bench.run.program.id, unixPid);
    }
    if (ok) {
        // The window still answers, and shows what the last cycle left.
        if (!isResponsive(bench.run.main, kAnswerBoundMs)) {
            ok = false;
            why = "the window does not answer WM_NULL within " + std::to_string(kAnswerBoundMs) +
                  " ms";
        } else {
            ok = awaitHint(bench.run, bench.shown, milliseconds(0), &why) &&
                 runSteps(bench.run, {noBox(), closeBy(CloseWay::closeButton)}, &why);
        }
    }
    endUpdater(bench.run.program);
    sim("reset");
    stopUnitServer();

    say("cycles: " + std::to_string(cycleCount) + " (ready " +
        std::to_string(bench.cyclesOf[static_cast<int>(Plugged::ready)] +
                       bench.cyclesOf[static_cast<int>(Plugged::zelquad)]) +
        ", identification failing " +
        std::to_string(bench.cyclesOf[static_cast<int>(Plugged::identificationFails)]) +
        ", foreign ESC " + std::to_string(bench.cyclesOf[static_cast<int>(Plugged::foreignEsc)]) +
        ", no ESC " + std::to_string(bench.cyclesOf[static_cast<int>(Plugged::noEsc)]) +
        ", bootloader " + std::to_string(bench.cyclesOf[static_cast<int>(Plugged::bootloader)]) +
        "), updates: " + std::to_string(bench.updates) + " (" +
        std::to_string(bench.updatesSucceeded) + " succeeded), in " + seconds(cyclesMs) +
        ": the cycles " + seconds(cyclesMs - bench.updatesMs) + " (" +
        std::to_string((cyclesMs - bench.updatesMs) / cycleCount) + " ms each), the updates " +
        seconds(bench.updatesMs));
    if (!ok) {
        say("FAIL: " + why);
        return 1;
    }

    bool withinMargins = true;
    std::string summary;
    for (const CountRow& row : kCountRows) {
        const long long was = before.*(row.field);
        const long long is = after.*(row.field);
        if (!isReported(row, reported, before)) {
            say(std::string("  ") + row.name + ": not reported by this system (reads " +
                std::to_string(is) + "), not judged");
            continue;
        }
        const bool within = is - was <= row.margin;
        withinMargins = withinMargins && within;
        const std::string line = std::string(row.name) + " " + figure(row, was) + " -> " +
                                 figure(row, is) + " (margin +" + figure(row, row.margin) + ")";
        say(std::string("  ") + line + (within ? "" : "  EXCEEDED"));
        summary += (summary.empty() ? "" : ", ") + line;
    }
    say(std::string("soak: window program: ") + summary + (withinMargins ? ": ok" : ": FAILED"));
    return withinMargins ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    const int cycleCount = argc > 1 ? _wtoi(argv[1]) : kCyclesDefault;
    const int updateCount = argc > 2 ? _wtoi(argv[2]) : kUpdatesDefault;
    if (cycleCount <= 0 || updateCount < 0) {
        say("usage: soak_driver.exe [cycles] [updates]");
        return 2;
    }
    return soak(cycleCount, updateCount);
}
