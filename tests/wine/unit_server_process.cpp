#include "tests/wine/unit_server_process.h"

#include <windows.h>

#include "sim/win/sim_control.h"

namespace {

constexpr DWORD kStartBoundMs = 20000;  // a cold Wine process start can take seconds
constexpr DWORD kQuitBoundMs = 5000;
constexpr DWORD kPollMs = 10;

HANDLE serverProcess = nullptr;


// Waits for "ready" on the server's stdout without blocking past the bound or past its exit.
bool awaitReady(HANDLE output, HANDLE process) {
    std::string seen;
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < kStartBoundMs) {
        DWORD available = 0;
        if (!PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) {
            if (WaitForSingleObject(process, kPollMs) == WAIT_OBJECT_0) return false;
            continue;
        }
        char chunk[256];
        DWORD read = 0;
        if (!ReadFile(output, chunk, sizeof chunk, &read, nullptr)) return false;
        seen.append(chunk, read);
        if (seen.find("ready") != std::string::npos) return true;
    }
    return false;
}

}  // namespace

bool startUnitServer() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::wstring program = besideThisProgram(L"unit_server.exe");
    std::wstring commandLine = L"\"" + program + L"\"";
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &info);
    CloseHandle(writeEnd);  // only the child writes; its exit must end our reads
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    CloseHandle(info.hThread);
    serverProcess = info.hProcess;
    const bool ready = awaitReady(readEnd, serverProcess);
    CloseHandle(readEnd);
    if (!ready) stopUnitServer();
    return ready;
}

void stopUnitServer() {
    if (serverProcess == nullptr) return;
    std::wstring reply;
    simControlWait(L"quit", &reply, 0);
    if (WaitForSingleObject(serverProcess, kQuitBoundMs) != WAIT_OBJECT_0)
        TerminateProcess(serverProcess, 1);
    CloseHandle(serverProcess);
    serverProcess = nullptr;
}

std::string sim(const std::string& command) {
    std::wstring reply;
    if (!simControl(simFromUtf8(command).c_str(), &reply)) return "no server";
    return simToUtf8(reply);
}

std::wstring besideThisProgram(const wchar_t* file) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length < MAX_PATH ? length : 0);
    const std::size_t slash = path.find_last_of(L"\\/");
    return path.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + file;
}
