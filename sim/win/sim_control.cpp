#include "sim/win/sim_control.h"

#include <windows.h>

namespace {

// A command is answered in well under a millisecond; a busy pipe frees up quickly. These only
// bound how long a client waits for a server that is starting or absent.
constexpr DWORD kBusyWaitMs = 2000;
constexpr DWORD kRetryPauseMs = 10;
constexpr DWORD kReadChunk = 65536;

constexpr DWORD kStemMaxUnits = 128;

bool validStem(const wchar_t* stem) {
    if (*stem == L'\0') return false;
    for (; *stem != L'\0'; ++stem)
        if (!(*stem >= L'a' && *stem <= L'z') && !(*stem >= L'A' && *stem <= L'Z') &&
            !(*stem >= L'0' && *stem <= L'9') && *stem != L'-' && *stem != L'_')
            return false;
    return true;
}

HANDLE connectControlPipe(DWORD appearWaitMs) {
    const std::wstring name = simControlPipe();
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        const DWORD error = GetLastError();
        const ULONGLONG waited = GetTickCount64() - start;
        if (error == ERROR_PIPE_BUSY && waited < kBusyWaitMs) {
            WaitNamedPipeW(name.c_str(), kBusyWaitMs);
            continue;
        }
        if (error == ERROR_FILE_NOT_FOUND && waited < appearWaitMs) {
            Sleep(kRetryPauseMs);
            continue;
        }
        return INVALID_HANDLE_VALUE;
    }
}

}  // namespace

std::wstring simPipeStem() {
    wchar_t stem[kStemMaxUnits];
    const DWORD length = GetEnvironmentVariableW(kSimPipeStemVariable, stem, kStemMaxUnits);
    return length > 0 && length < kStemMaxUnits && validStem(stem) ? stem : kSimDefaultPipeStem;
}

std::wstring simPipePrefix() { return L"\\\\.\\pipe\\" + simPipeStem() + L"-"; }

std::wstring simControlPipe() { return simPipePrefix() + L"control"; }

std::string simToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

std::wstring simFromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

bool simControlWait(const wchar_t* command, std::wstring* reply, unsigned appearWaitMs) {
    HANDLE pipe = connectControlPipe(appearWaitMs);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    // A client end starts in byte mode; message mode makes a long reply end where it ends.
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);

    const std::string message = simToUtf8(command);
    DWORD written = 0;
    bool ok =
        WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
        written == message.size();
    std::string answer;
    while (ok) {
        const std::size_t have = answer.size();
        answer.resize(have + kReadChunk);
        DWORD read = 0;
        const BOOL done = ReadFile(pipe, &answer[have], kReadChunk, &read, nullptr);
        answer.resize(have + read);
        if (done) break;
        ok = GetLastError() == ERROR_MORE_DATA;
    }
    CloseHandle(pipe);
    if (ok && reply != nullptr) *reply = simFromUtf8(answer);
    return ok;
}

bool simControl(const wchar_t* command, std::wstring* reply) {
    return simControlWait(command, reply, kSimServerWaitMs);
}
