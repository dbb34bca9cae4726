// Windows: the console (UTF-16 where it is one, UTF-8 bytes into pipes and files), the user
// interface language, a console control handler for Ctrl-C; the update keeps the system awake.
#include "cli/platform.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwctype>

#include "update/carried_image.h"
#include "cli/exit_codes.h"
#include "cli/text_encoding.h"
#include "link/programmer_link.h"
#include "update/keep_awake.h"

namespace {

constexpr DWORD kAnswerUnits = 256;
constexpr wchar_t kVendorMark[] = L"vid_";
constexpr wchar_t kUnitMarkFormat[] = L"vid_%04x&pid_%04x";
constexpr std::size_t kMarkUnits = sizeof "vid_0000&pid_0000";

// A closed console gives the process about 5 s after its handler was called; the clean-up
// of a stop before the erase takes well under one.
constexpr DWORD kCloseGraceMs = 4500;

std::atomic<int> interrupts{0};
std::atomic<bool> insisted{false};
std::atomic<bool> endAtOnce{false};
// Set once the command has ended and the device is closed; a closing console waits for it.
HANDLE workEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);

StopRequest currentStopRequest() {
    if (insisted.load() || interrupts.load() >= 2) return StopRequest::insisted;
    return interrupts.load() == 1 ? StopRequest::asked : StopRequest::none;
}

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

std::wstring wideFromUtf8(const char* bytes, std::size_t length) {
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), &wide[0], units);
    return wide;
}

std::string utf8FromWide(const wchar_t* wide) {
    return utf8FromUtf16(reinterpret_cast<const char16_t*>(wide));
}

// A console shows UTF-16 whatever its code page; a pipe or file gets the UTF-8 bytes.
void writeTo(DWORD which, const char* bytes, std::size_t length) {
    const HANDLE handle = GetStdHandle(which);
    DWORD written = 0;
    if (isConsole(handle)) {
        const std::wstring wide = wideFromUtf8(bytes, length);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    WriteFile(handle, bytes, static_cast<DWORD>(length), &written, nullptr);
}

void writeOut(const char* bytes, std::size_t length, void*) {
    writeTo(STD_OUTPUT_HANDLE, bytes, length);
}
void writeErr(const char* bytes, std::size_t length, void*) {
    writeTo(STD_ERROR_HANDLE, bytes, length);
}

bool readAnswer(char* line, std::size_t size, void*) {
    wchar_t wide[kAnswerUnits];
    DWORD units = 0;
    const BOOL read =
        ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), wide, kAnswerUnits - 1, &units, nullptr);
    // Only Ctrl-C ends the read without even a line end. The control handler runs on a thread of
    // its own and may come later, so the broken-off read counts as the stop request itself.
    if ((!read && GetLastError() == ERROR_OPERATION_ABORTED) || (read && units == 0)) {
        int none = 0;
        interrupts.compare_exchange_strong(none, 1);
        return false;
    }
    if (!read) return false;
    while (units != 0 && (wide[units - 1] == L'\n' || wide[units - 1] == L'\r')) --units;
    wide[units] = L'\0';
    std::snprintf(line, size, "%s", utf8FromWide(wide).c_str());
    return true;
}

std::uint64_t monotonicMs() { return GetTickCount64(); }

StopRequest stopRequest() { return currentStopRequest(); }

void stopAtOnce(bool atOnce) {
    endAtOnce.store(atOnce);
    if (atOnce && currentStopRequest() != StopRequest::none) ExitProcess(kExitInterrupted);
}

bool isPermissionDenied(std::uint32_t systemError) { return systemError == ERROR_ACCESS_DENIED; }

// Interface paths of USB HID devices carry the vendor and product IDs; one without them (the
// simulated unit's pipes) may be a unit.
bool mayBeUnit(const char16_t* path) {
    std::wstring lower;
    for (const char16_t* p = path; *p != u'\0'; ++p)
        lower += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(*p)));
    if (lower.find(kVendorMark) == std::wstring::npos) return true;
    for (std::uint16_t product : {kProductZelquad, kProductTavilink}) {
        wchar_t mark[kMarkUnits];
        std::swprintf(mark, kMarkUnits, kUnitMarkFormat, kUnitVendorId, product);
        if (lower.find(mark) != std::wstring::npos) return true;
    }
    return false;
}

// Runs on a thread of its own. Ctrl-Break insists like SIGTERM does.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: interrupts.fetch_add(1); break;
        case CTRL_BREAK_EVENT: insisted.store(true); break;
        case CTRL_CLOSE_EVENT:
            // The process ends when this returns: the update stops at its next step or block,
            // gives back what it took where it can, and this waits for that within the grace the
            // system allows. A transfer after the erase is cut short: the ESC needs an update.
            insisted.store(true);
            if (!endAtOnce.load()) WaitForSingleObject(workEnded, kCloseGraceMs);
            return TRUE;
        default: return FALSE;
    }
    if (endAtOnce.load()) ExitProcess(kExitInterrupted);
    return TRUE;
}

// Appending only: the system puts each write at the end of the file as it is then, so lines of
// two programs recording into one file never mix.
void* openRecord(const char* path, std::uint32_t* systemError) {
    const std::wstring widePath = wideFromUtf8(path, std::strlen(path));
    HANDLE file = CreateFileW(widePath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *systemError = GetLastError();
        return nullptr;
    }
    return file;
}

bool appendRecord(void* file, const char* line, std::size_t length, std::uint32_t* systemError) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(file), line, static_cast<DWORD>(length), &written, nullptr) ||
        written != length || !FlushFileBuffers(static_cast<HANDLE>(file))) {
        *systemError = GetLastError();
        return false;
    }
    return true;
}

void closeRecord(void* file) { CloseHandle(static_cast<HANDLE>(file)); }

std::uint64_t utcNowMs() {
    // FILETIME counts 100 ns from 1601-01-01.
    constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;
    constexpr std::uint64_t kTicksPerMs = 10000;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - kUnixEpochTicks) / kTicksPerMs;
}

}  // namespace

std::vector<std::string> systemArguments(int, char**) {
    // main's narrow arguments are in the ANSI code page; the wide command line holds any path.
    std::vector<std::string> words;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return words;
    for (int i = 0; i < count; ++i) words.push_back(utf8FromWide(wide[i]));
    LocalFree(wide);
    return words;
}

void catchStopRequests() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

CliSetting systemSetting() {
    CliSetting setting{};
    setting.console.out = {writeOut, nullptr, isConsole(GetStdHandle(STD_OUTPUT_HANDLE))};
    setting.console.err = {writeErr, nullptr, isConsole(GetStdHandle(STD_ERROR_HANDLE))};
    setting.console.inputIsTerminal = isConsole(GetStdHandle(STD_INPUT_HANDLE));
    setting.console.readLine = readAnswer;
    setting.system = {monotonicMs, stopRequest,  stopAtOnce,   keepAwake,   isPermissionDenied,
                      mayBeUnit,   false,        openRecord,   appendRecord, closeRecord,
                      utcNowMs};
    setting.language = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN ? Language::german
                                                                                : Language::english;
    setting.image = kCarriedImage;
    return setting;
}

int endOfProcess(int exitCode) {
    if (workEnded != nullptr) SetEvent(workEnded);
    return exitCode;
}
