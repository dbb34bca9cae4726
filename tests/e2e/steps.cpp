#include "tests/e2e/steps.h"

#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "resources/resource_ids.h"
#include "sim/win/sim_control.h"
#include "tests/wine/unit_server_process.h"

namespace {

using std::chrono::milliseconds;

// Bounds for things that take no time of their own; generous, because a loaded machine under
// Wine can stall for seconds. Reaching one is a failure, never a timing claim.
constexpr milliseconds kScreenBound{10000};
// A failure box can follow the fixed 5 s erase pause.
constexpr milliseconds kBoxBound{30000};
constexpr milliseconds kTransferStartBound{30000};
constexpr DWORD kExitBoundMs = 10000;

// The pauses of a whole update: 5,080 ms before the transfer and 20 ms after each block.
constexpr double kUpdateFloorMs = 45840.0;

// What identification sends: Identify, ReadUnitMemory, ReadEscMemory, ReadEscBootInfo.
constexpr unsigned kIdentificationCommands[] = {0x08, 0x0A, 0x1D, 0x22};
constexpr unsigned kSystemLock = 0x0B;
constexpr unsigned kEraseFirmware = 0x1E;
constexpr unsigned kWriteProtect = 0x20;
constexpr unsigned kWriteDataBlock = 0x1B;
constexpr unsigned kSetWriteAddress = 0x1F;
constexpr unsigned long kBlockBytes = 48;

const int kVersionValues[] = {IDC_VALUE_UNIT, IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC};
const int kVersionRows[] = {IDC_VALUE_UNIT,  IDC_VALUE_ESC_BOOTLOADER, IDC_VALUE_ESC,
                            IDC_LABEL_UNIT, IDC_LABEL_ESC_BOOTLOADER, IDC_LABEL_ESC};

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

// Reads a control until it shows `expected` or the bound passes; *seen is the last reading.
bool awaitControlText(HWND dialog, int control, const std::wstring& expected, milliseconds bound,
                      std::wstring* seen) {
    return waitUntil(bound, [&] {
        return readControlText(dialog, control, seen) && textMatches(expected, *seen);
    });
}

bool expectControlText(Run& run, int control, const std::wstring& expected, const char* what,
                       std::string* why) {
    std::wstring seen;
    if (awaitControlText(run.main, control, expected, kScreenBound, &seen)) return true;
    *why = std::string(what) + ": " + describeDifference(expected, seen);
    return false;
}

bool expectHint(Run& run, const std::wstring& expected, std::string* why) {
    return expectControlText(run, IDC_HINT, expected, "hint panel", why);
}

// One report the unit received: its command code and when it arrived, in ms on the unit's clock.
struct Report {
    unsigned code;
    long long writtenMs;
};

bool receivedReports(std::vector<Report>* reports, std::string* why) {
    const std::string reply = sim(std::string("commands ") + kUnitName);
    if (reply.compare(0, 5, "error") == 0 || reply == "no server") {
        *why = "commands: " + reply;
        return false;
    }
    std::istringstream lines(reply);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string code, written;
        if (!(words >> code >> written)) continue;
        reports->push_back({static_cast<unsigned>(std::strtoul(code.c_str(), nullptr, 16)),
                            std::atoll(written.c_str())});
    }
    return true;
}

bool isIdentification(unsigned code) {
    return std::find(std::begin(kIdentificationCommands), std::end(kIdentificationCommands),
                     code) != std::end(kIdentificationCommands);
}

// Blocks of 48 bytes the carried image takes, the last one padded.
unsigned long imageBlocks() {
    WIN32_FILE_ATTRIBUTE_DATA image{};
    if (!GetFileAttributesExW(besideThisProgram(L"firmware_140.bin").c_str(), GetFileExInfoStandard,
                              &image))
        return 0;
    return (image.nFileSizeLow + kBlockBytes - 1) / kBlockBytes;
}

// "0b 20 1e 1f 1b*2038 20 0b" from a list of codes, and the other way round.
std::string compress(const std::vector<unsigned>& codes) {
    std::string out;
    for (std::size_t i = 0; i < codes.size();) {
        std::size_t run = 1;
        while (i + run < codes.size() && codes[i + run] == codes[i]) ++run;
        if (!out.empty()) out += ' ';
        out += hex2(codes[i]);
        if (run > 2) {
            out += '*' + std::to_string(run);
        } else if (run == 2) {
            out += ' ' + hex2(codes[i]);
        }
        i += run;
    }
    return out;
}

std::vector<unsigned> expand(const std::string& pattern) {
    std::vector<unsigned> codes;
    std::istringstream words(pattern);
    std::string word;
    while (words >> word) {
        const std::size_t star = word.find('*');
        const unsigned code = static_cast<unsigned>(std::strtoul(word.substr(0, star).c_str(), nullptr, 16));
        const std::string times = star == std::string::npos ? "1" : word.substr(star + 1);
        const unsigned long count =
            times == "image" ? imageBlocks() : std::strtoul(times.c_str(), nullptr, 10);
        codes.insert(codes.end(), count, code);
    }
    return codes;
}

std::string buttonName(int id) {
    switch (id) {
        case IDOK: return "OK";
        case IDCANCEL: return "Cancel";
        case IDYES: return "Yes";
        case IDNO: return "No";
        default: return std::to_string(id);
    }
}

std::string buttonList(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    std::string out;
    for (int id : ids) out += (out.empty() ? "" : "/") + buttonName(id);
    return out;
}

bool expectBox(Run& run, const std::wstring& caption, const std::wstring& text,
               std::vector<int> buttons, std::string* why) {
    HWND found = nullptr;
    if (!waitUntil(kBoxBound, [&] { return (found = findOwnedBox(run.main)) != nullptr; })) {
        std::wstring hintText;
        readControlText(run.main, IDC_HINT, &hintText);
        *why = "no message box came up (hint: \"" + utf8(hintText.substr(0, 80)) + "\")";
        return false;
    }
    if (!readBox(found, &run.box)) {
        *why = "the message box does not answer";
        return false;
    }
    if (run.box.caption != caption) {
        *why = "box caption: " + describeDifference(caption, run.box.caption);
        return false;
    }
    if (!textMatches(text, run.box.text)) {
        *why = "box text: " + describeDifference(text, run.box.text);
        return false;
    }
    if (buttonList(run.box.buttons) != buttonList(buttons)) {
        *why = "box buttons " + buttonList(run.box.buttons) + ", expected " + buttonList(buttons);
        return false;
    }
    return true;
}

// The dialog procedure's answer stays inside the dialog manager (the message result of a dialog
// is whatever DWLP_MSGRESULT holds), so only the delivery is checked; the screen tells the rest.
bool deliver(Run& run, WPARAM event, const std::wstring& path, std::string* why) {
    if (sendDeviceChange(run.main, event, path, nullptr)) return true;
    *why = "WM_DEVICECHANGE was not taken";
    return false;
}

std::string thousands(long long value) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return (value < 0 ? "-" : "") + digits;
}

std::string ratio(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", ms / kUpdateFloorMs);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string utf8(const std::wstring& text) { return simToUtf8(text); }

bool textMatches(const std::wstring& pattern, const std::wstring& text) {
    // Iterative glob with one backtrack point, enough for a single '*'.
    std::size_t p = 0, t = 0, starP = std::wstring::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() &&
                   (pattern[p] == L'#' ? iswxdigit(text[t]) && !iswupper(text[t])
                                       : pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

std::string describeDifference(const std::wstring& expected, const std::wstring& seen) {
    auto show = [](const std::wstring& text, std::size_t from) {
        std::string out = utf8(text.substr(from, 60));
        std::string escaped;
        for (char c : out) escaped += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        return "\"" + escaped + (text.size() > from + 60 ? "...\"" : "\"");
    };
    std::size_t at = 0;
    while (at < expected.size() && at < seen.size() && expected[at] == seen[at]) ++at;
    const std::size_t from = at > 20 ? at - 20 : 0;
    return "differs at character " + std::to_string(at) + ": seen " + show(seen, from) +
           ", expected " + show(expected, from);
}

Step hint(Text text) {
    return {"hint", [text](Run& run, std::string* why) {
                return expectHint(run, run.texts->*text, why);
            }};
}

Step hintWithSteps(Text text) {
    return {"hint with steps", [text](Run& run, std::string* why) {
                return expectHint(run, std::wstring(run.texts->*text) + L"\r\n\r\n" + run.texts->steps,
                                  why);
            }};
}

Step updateEnabled(bool enabled) {
    return {enabled ? "Update enabled" : "Update disabled", [enabled](Run& run, std::string* why) {
                if (waitUntil(kScreenBound,
                              [&] { return controlEnabled(run.main, IDC_UPDATE) == enabled; }))
                    return true;
                *why = enabled ? "the Update button is disabled" : "the Update button is enabled";
                return false;
            }};
}

namespace {

Step versionRows(std::vector<std::wstring> values, bool enabled) {
    return {"versions", [values, enabled](Run& run, std::string* why) {
                for (std::size_t i = 0; i < values.size(); ++i)
                    if (!expectControlText(run, kVersionValues[i], values[i], "version value", why))
                        return false;
                for (int control : kVersionRows)
                    if (controlEnabled(run.main, control) != enabled) {
                        *why = "version row control " + std::to_string(control) +
                               (enabled ? " is disabled" : " is enabled");
                        return false;
                    }
                return true;
            }};
}

}  // namespace

Step versions(const wchar_t* unit, const wchar_t* bootloader, const wchar_t* esc) {
    return versionRows({unit, bootloader, esc}, true);
}

Step noVersions() { return versionRows({L"0.0.0", L"0.0.0", L"0.0.0"}, false); }

Step unitLabel(const wchar_t* name) {
    const std::wstring expected = name;
    return {"unit label", [expected](Run& run, std::string* why) {
                return expectControlText(run, IDC_LABEL_UNIT, expected, "unit row label", why);
            }};
}

Step rowLabels(const wchar_t* unitName) {
    const std::wstring unit = unitName != nullptr ? unitName : L"";
    return {"row labels", [unit](Run& run, std::string* why) {
                const std::wstring expected = unit.empty() ? run.texts->unitLabel : unit;
                return expectControlText(run, IDC_LABEL_UNIT, expected, "unit row label", why) &&
                       expectControlText(run, IDC_LABEL_ESC_BOOTLOADER, run.texts->bootloaderLabel,
                                         "bootloader row label", why) &&
                       expectControlText(run, IDC_LABEL_ESC, run.texts->escLabel, "ESC row label", why);
            }};
}

Step noBox() {
    return {"no box", [](Run& run, std::string* why) {
                // A box would come up while the program works through a probe or a step; once it
                // answers messages again, whatever it meant to show is up.
                isResponsive(run.main, 5000);
                const HWND box = findOwnedBox(run.main);
                if (box == nullptr) return true;
                *why = "a box is open: \"" + utf8(windowCaption(box)) + "\"";
                return false;
            }};
}

Step box(Text caption, Text text, std::vector<int> buttons) {
    return {"box", [caption, text, buttons](Run& run, std::string* why) {
                return expectBox(run, run.texts->*caption, run.texts->*text, buttons, why);
            }};
}

Step incompatibilityBox() {
    return {"incompatibility box", [](Run& run, std::string* why) {
                return expectBox(run, run.texts->incompatibleCaption,
                                 run.texts->incompatibleTextPattern, {IDOK}, why);
            }};
}

Step errorBox(Text stepText, const char* code) {
    const std::wstring codeText = simFromUtf8(code);
    return {"error box", [stepText, codeText](Run& run, std::string* why) {
                const std::wstring text = std::wstring(run.texts->*stepText) + L"\r\n" +
                                          run.texts->codeLinePrefix + codeText + L"-0x########";
                if (!expectBox(run, run.texts->failureCaption, text, {IDOK}, why)) return false;
                run.notes.push_back("error box code line: " +
                                    utf8(run.box.text.substr(run.box.text.rfind(L"\r\n") + 2)));
                return true;
            }};
}

Step answer(int button) {
    return {"answer " + buttonName(button), [button](Run& run, std::string* why) {
                if (run.box.window == nullptr || !clickButton(run.box.window, button)) {
                    *why = "cannot press " + buttonName(button) + " on the box";
                    return false;
                }
                const HWND answered = run.box.window;
                run.box = BoxView{};
                if (waitUntil(kScreenBound, [&] { return !IsWindow(answered); })) return true;
                *why = "the box stays open";
                return false;
            }};
}

Step pressUpdate() {
    return {"press Update", [](Run& run, std::string* why) {
                if (clickButton(run.main, IDC_UPDATE)) return true;
                *why = "cannot click the Update button";
                return false;
            }};
}

Step closeBy(CloseWay way) {
    static const char* const names[] = {"Close button", "Escape", "close box"};
    return {std::string("close by ") + names[static_cast<int>(way)],
            [way](Run& run, std::string* why) {
                const bool posted = way == CloseWay::closeButton ? clickButton(run.main, IDC_CLOSE)
                                    : way == CloseWay::escapeKey ? pressEscape(run.main)
                                                                 : pressCloseBox(run.main);
                if (!posted) {
                    *why = "cannot deliver the close";
                    return false;
                }
                DWORD code = 0;
                if (!waitForExit(run.program, kExitBoundMs, &code)) {
                    *why = "the program is still running";
                    return false;
                }
                if (code != 0) {
                    *why = "exit code " + std::to_string(code) + ", expected 0";
                    return false;
                }
                return true;
            }};
}

Step plug(const char* options) {
    const std::string command = std::string("plug ") + kUnitName + " " + options;
    return {command, [command](Run& run, std::string* why) {
                const std::string reply = sim(command);
                if (reply.compare(0, 3, "ok ") != 0) {
                    *why = reply;
                    return false;
                }
                run.unitPath = simFromUtf8(reply.substr(3));
                return true;
            }};
}

Step unplug() {
    return {"unplug", [](Run&, std::string* why) {
                const std::string reply = sim(std::string("unplug ") + kUnitName);
                if (reply.compare(0, 2, "ok") == 0) return true;
                *why = reply;
                return false;
            }};
}

Step fault(const char* how) {
    const std::string command = std::string("fault ") + kUnitName + " " + how;
    return {command, [command](Run&, std::string* why) {
                const std::string reply = sim(command);
                if (reply.compare(0, 2, "ok") == 0) return true;
                *why = reply;
                return false;
            }};
}

Step arrival() {
    return {"arrival", [](Run& run, std::string* why) {
                return deliver(run, DBT_DEVICEARRIVAL, run.unitPath, why);
            }};
}

Step removal() {
    return {"removal", [](Run& run, std::string* why) {
                return deliver(run, DBT_DEVICEREMOVECOMPLETE, run.unitPath, why);
            }};
}

Step removalOf(const wchar_t* path) {
    const std::wstring other = path;
    return {"removal of " + utf8(other), [other](Run& run, std::string* why) {
                return deliver(run, DBT_DEVICEREMOVECOMPLETE, other, why);
            }};
}

namespace {

// The unit's reports as command codes, from the first one past identification or all of them.
bool expectReceived(const std::string& expected, bool afterIdentification, std::string* why) {
    std::vector<Report> reports;
    if (!receivedReports(&reports, why)) return false;
    std::vector<unsigned> codes;
    for (const Report& report : reports) codes.push_back(report.code);
    const auto first = afterIdentification
                           ? std::find_if(codes.begin(), codes.end(),
                                          [](unsigned code) { return !isIdentification(code); })
                           : codes.begin();
    const std::vector<unsigned> seen(first, codes.end());
    if (seen == expand(expected)) return true;
    *why = std::string(afterIdentification ? "after identification " : "") +
           "the unit received \"" + compress(seen) + "\", expected \"" + expected + "\"";
    return false;
}

}  // namespace

Step receivedAfterIdentification(const char* pattern) {
    const std::string expected = pattern;
    return {"unit received", [expected](Run&, std::string* why) {
                return expectReceived(expected, true, why);
            }};
}

Step received(const char* pattern) {
    const std::string expected = pattern;
    return {"unit received in all", [expected](Run&, std::string* why) {
                return expectReceived(expected, false, why);
            }};
}

Step flashHoldsImage() {
    return {"flash holds the image", [](Run&, std::string* why) {
                const std::string reply = sim(std::string("flashcmp ") + kUnitName + " " +
                                              utf8(besideThisProgram(L"firmware_140.bin")));
                if (reply == "equal") return true;
                *why = "flashcmp: " + reply + " (" + sim(std::string("flashsum ") + kUnitName) + ")";
                return false;
            }};
}

Step unitState(const char* expected) {
    const std::string words = expected;
    return {"unit state", [words](Run&, std::string* why) {
                const std::string state = " " + sim(std::string("state ") + kUnitName) + " ";
                std::istringstream wanted(words);
                std::string word;
                while (wanted >> word)
                    if (state.find(" " + word + " ") == std::string::npos) {
                        *why = "state \"" + state.substr(1, state.size() - 2) + "\" lacks " + word;
                        return false;
                    }
                return true;
            }};
}

Step startClock() {
    return {"start the clock", [](Run& run, std::string*) {
                run.clockStartMs = GetTickCount64();
                return true;
            }};
}

Step transferShows() {
    return {"progress window", [](Run& run, std::string* why) {
                if (waitUntil(kTransferStartBound,
                              [&] { return findProgressWindow(run.program.id) != nullptr; })) {
                    run.notes.push_back("progress window up " +
                                        thousands(GetTickCount64() - run.clockStartMs) +
                                        " ms after OK");
                    return true;
                }
                *why = "no progress window came up";
                return false;
            }};
}

Step transferEnds(unsigned boundSeconds) {
    return {"transfer ends", [boundSeconds](Run& run, std::string* why) {
                if (waitUntil(milliseconds(boundSeconds * 1000ull),
                              [&] { return findProgressWindow(run.program.id) == nullptr; }))
                    return true;
                *why = "the progress window is still up after " + std::to_string(boundSeconds) + " s";
                return false;
            }};
}

Step noteUpdateTiming() {
    return {"update timing", [](Run& run, std::string* why) {
                // Called right after the success hint was seen, so this is the wall time of the
                // update as the user waits for it, from the OK on the warning box.
                const long long wallMs = static_cast<long long>(GetTickCount64() - run.clockStartMs);
                run.notes.push_back("wall time from OK to the success hint: " + thousands(wallMs) +
                                    " ms = " + ratio(static_cast<double>(wallMs)) + " x 45,840 ms");
                std::vector<Report> reports;
                if (!receivedReports(&reports, why)) return false;
                // The unit's own clock, from the lock request to the request that restores the
                // write protection: exactly the fixed pauses plus the exchanges.
                const Report* lock = nullptr;
                const Report* erase = nullptr;
                const Report* address = nullptr;
                const Report* firstBlock = nullptr;
                const Report* lastBlock = nullptr;
                const Report* restore = nullptr;
                std::size_t blocks = 0;
                for (const Report& report : reports) {
                    if (report.code == kSystemLock && lock == nullptr) lock = &report;
                    if (report.code == kEraseFirmware && erase == nullptr) erase = &report;
                    if (report.code == kSetWriteAddress && address == nullptr) address = &report;
                    if (report.code == kWriteDataBlock) {
                        if (firstBlock == nullptr) firstBlock = &report;
                        lastBlock = &report;
                        ++blocks;
                    }
                    if (report.code == kWriteProtect && blocks > 0 && restore == nullptr) restore = &report;
                }
                if (lock == nullptr || erase == nullptr || address == nullptr || blocks < 2 ||
                    restore == nullptr) {
                    *why = "the unit did not see a whole update";
                    return false;
                }
                const long long unitMs = restore->writtenMs - lock->writtenMs;
                char perBlock[32];
                std::snprintf(perBlock, sizeof perBlock, "%.2f",
                              static_cast<double>(lastBlock->writtenMs - firstBlock->writtenMs) /
                                  static_cast<double>(blocks - 1));
                const std::string note =
                    "unit clock from lock to restore: " + thousands(unitMs) + " ms = " +
                    ratio(static_cast<double>(unitMs)) + " x 45,840 ms; " + std::to_string(blocks) +
                    " blocks, one every " + perBlock + " ms (20 ms pause); erase to address " +
                    thousands(address->writtenMs - erase->writtenMs) + " ms (5,020 ms of pauses)";
                run.notes.push_back(note);
                return true;
            }};
}
