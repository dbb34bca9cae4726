#include "tests/e2e/updater_process.h"

#include "tests/wine/unit_server_process.h"

#include <cwctype>

namespace {

constexpr wchar_t kProgramFile[] = L"ZirvanoUpdater.exe";
constexpr wchar_t kFlasherFile[] = L"zirvano-flash.exe";

std::wstring variable(const wchar_t* name) {
    wchar_t value[512] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 512);
    return length > 0 && length < 512 ? std::wstring(value) : std::wstring();
}

std::wstring lowerCase(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

}  // namespace

handwritten::Language environmentLanguage() {
    std::wstring locale = variable(L"LC_ALL");
    if (locale.empty()) locale = variable(L"LANG");
    return lowerCase(locale).compare(0, 2, L"de") == 0 ? handwritten::Language::german
                                                       : handwritten::Language::english;
}

bool substituteDllsSelected() {
    // "setupapi,hid=n" and the like; both names must come before a native-first order.
    const std::wstring overrides = lowerCase(variable(L"WINEDLLOVERRIDES"));
    const std::size_t setupapi = overrides.find(L"setupapi");
    const std::size_t hid = overrides.find(L"hid");
    if (setupapi == std::wstring::npos || hid == std::wstring::npos) return false;
    const std::size_t order = overrides.find(L'=', setupapi > hid ? setupapi : hid);
    return order != std::wstring::npos && overrides.compare(order + 1, 1, L"n") == 0;
}

bool launchUpdater(UpdaterProcess* program, const wchar_t* desktop) {
    const std::wstring path = besideThisProgram(kProgramFile);
    const std::wstring folder = besideThisProgram(L"");
    std::wstring commandLine = L"\"" + path + L"\"";
    std::wstring desktopName = desktop != nullptr ? desktop : L"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!desktopName.empty()) startup.lpDesktop = &desktopName[0];
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info))
        return false;
    CloseHandle(info.hThread);
    program->process = info.hProcess;
    program->id = info.dwProcessId;
    return true;
}

bool launchFlasher(UpdaterProcess* flasher, const std::wstring& arguments,
                   const std::wstring& outputFile) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    const std::wstring path = besideThisProgram(kFlasherFile);
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    const bool started = output != INVALID_HANDLE_VALUE && nothing != INVALID_HANDLE_VALUE &&
                         CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, besideThisProgram(L"").c_str(), &startup, &info);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
    if (!started) return false;
    CloseHandle(info.hThread);
    flasher->process = info.hProcess;
    flasher->id = info.dwProcessId;
    return true;
}

bool waitForExit(UpdaterProcess& program, DWORD boundMs, DWORD* exitCode) {
    if (program.process == nullptr) return false;
    if (WaitForSingleObject(program.process, boundMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(program.process, exitCode);
    return true;
}

void endUpdater(UpdaterProcess& program) {
    if (program.process == nullptr) return;
    if (WaitForSingleObject(program.process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(program.process, 1);
        WaitForSingleObject(program.process, 5000);
    }
    CloseHandle(program.process);
    program = UpdaterProcess{};
}
