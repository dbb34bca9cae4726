#include "tests/e2e/steps.h"

#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "resources/resource_ids.h"
#include "sim/win/sim_control.h"
#include "tests/shared/update_facts.h"
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
// The flasher's runs here end in seconds; a whole update of its own would take a minute.
constexpr DWORD kFlasherBoundMs = 120000;
// Where a flasher run writes its output, beside the driver: named after the pipes' stem, so
// that drivers running side by side keep apart.
constexpr wchar_t kFlasherOutputEnd[] = L"-flasher-output.txt";

// The unit's progress is read no more often than this during a transfer, so that watching it
// costs the unit next to nothing.
constexpr DWORD kUnitPollMs = 250;

// The commands of a whole update by their place in it: the ESC asked for again, then these.
constexpr unsigned kSystemLock = updatefacts::updateCommands[3].code;
constexpr unsigned kEraseFirmware = updatefacts::updateCommands[5].code;
constexpr unsigned kSetWriteAddress = updatefacts::updateCommands[6].code;
constexpr unsigned kWriteDataBlock = updatefacts::updateCommands[7].code;
constexpr unsigned kWriteProtect = updatefacts::updateCommands[8].code;

// The wait from the erase request to the address request: inside the erase, after it, before
// the address.
constexpr std::uint32_t kEraseToAddressPausesMs = updatefacts::pausesBeforeTransferMs[3] +
                                                  updatefacts::pausesBeforeTransferMs[4] +
                                                  updatefacts::pausesBeforeTransferMs[5];

// Short names of the texts a screenshot or a single action can be named by.
struct TextName {
    Text text;
    const char* name;
};

const TextName kTextNames[] = {
    {IDS_READY, "ready"},
    {IDS_UPDATE_SUCCEEDED, "success"},
    {IDS_FAILURE_HINT, "failure-hint"},
    {IDS_NO_UNIT, "no-unit"},
    {IDS_WRONG_MODE, "wrong-mode"},
    {IDS_NO_UPDATABLE_ESC, "no-esc"},
    {IDS_INCOMPATIBLE_HINT, "incompatible-hint"},
    {IDS_CONNECTION_LOST, "lost"},
    {IDS_WARNING_CAPTION, "warning"},
    {IDS_DOWNGRADE_CAPTION, "downgrade"},
    {IDS_UPDATE_FAILED_CAPTION, "error"},
    {IDS_INCOMPATIBLE_CAPTION, "incompatible"},
};

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
    if (!expectControlText(run, IDC_HINT, expected, "hint panel", why)) return false;
    run.hintSeenMs = GetTickCount64();
    return true;
}

std::string shotName(Text text, const char* otherwise) {
    const char* name = textName(text);
    return name != nullptr ? name : otherwise;
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

// How many of `codes` the window's first identification takes: as much of an identification of
// a unit running its application, or of one in its own bootloader, as the log starts with (a
// probe stops early when an answer tells it to). The update asks for the ESC again with the
// same requests; those are the update's.
std::size_t firstIdentification(const std::vector<unsigned>& codes) {
    auto matched = [&codes](const std::uint8_t* first, const std::uint8_t* last) {
        std::size_t n = 0;
        while (first + n != last && n < codes.size() && codes[n] == first[n]) ++n;
        return n;
    };
    using updatefacts::bootloaderUnitIdentifyCommands;
    using updatefacts::identifyCommands;
    return std::max(matched(std::begin(identifyCommands), std::end(identifyCommands)),
                    matched(std::begin(bootloaderUnitIdentifyCommands),
                            std::end(bootloaderUnitIdentifyCommands)));
}

// "0b 20 1e 1f 1b*40" from a list of codes, and the other way round.
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
        codes.insert(codes.end(), std::strtoul(times.c_str(), nullptr, 10), code);
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

// Over the fixed pauses of a whole update, with that floor written out: "1.0290 x 45,840 ms".
std::string overFloor(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f",
                  ms / static_cast<double>(updatefacts::fixedPausesMs));
    return std::string(text) + " x " + thousands(updatefacts::fixedPausesMs) + " ms";
}

// The unit's written bytes from its `state` line ("... flash=4800 ..."), or -1.
long long unitFlashBytes() {
    const std::string state = sim(std::string("state ") + kUnitName);
    const std::size_t at = state.find("flash=");
    return at == std::string::npos ? -1 : std::atoll(state.c_str() + at + 6);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string utf8(const std::wstring& text) { return simToUtf8(text); }

bool textMatches(const std::wstring& pattern, const std::wstring& text) {
    if (pattern.size() != text.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool matches = pattern[i] == L'#' ? iswxdigit(text[i]) && !iswupper(text[i])
                                                : pattern[i] == text[i];
        if (!matches) return false;
    }
    return true;
}

std::wstring textOf(const Run& run, Text text) {
    const wchar_t* written = handwritten::catalogueText(text, run.language);
    return written != nullptr ? written : L"(no text " + std::to_wstring(text) + L")";
}

const char* textName(Text text) {
    for (const TextName& entry : kTextNames)
        if (entry.text == text) return entry.name;
    return nullptr;
}

bool textNamed(const std::string& name, Text* text) {
    for (const TextName& entry : kTextNames)
        if (name == entry.name) {
            *text = entry.text;
            return true;
        }
    return false;
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
                return expectHint(run, textOf(run, text), why);
            },
            shotName(text, "hint")};
}

Step hintWithSteps(Text text) {
    return {"hint with steps", [text](Run& run, std::string* why) {
                return expectHint(run, textOf(run, text) + L"\r\n\r\n" + textOf(run, IDS_STEPS),
                                  why);
            },
            shotName(text, "hint")};
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
                const std::wstring expected = unit.empty() ? textOf(run, IDS_LABEL_UNIT) : unit;
                return expectControlText(run, IDC_LABEL_UNIT, expected, "unit row label", why) &&
                       expectControlText(run, IDC_LABEL_ESC_BOOTLOADER,
                                         textOf(run, IDS_LABEL_ESC_BOOTLOADER),
                                         "bootloader row label", why) &&
                       expectControlText(run, IDC_LABEL_ESC, textOf(run, IDS_LABEL_ESC),
                                         "ESC row label", why);
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
                return expectBox(run, textOf(run, caption), textOf(run, text), buttons, why);
            },
            shotName(caption, "box")};
}

Step incompatibilityBox() {
    return {"incompatibility box", [](Run& run, std::string* why) {
                // The type the program takes is named in the text.
                std::wstring text = textOf(run, IDS_INCOMPATIBLE_TEXT);
                const std::size_t type = text.find(L"%s");
                if (type != std::wstring::npos) text.replace(type, 2, L"ZIRVANO 60 LV");
                return expectBox(run, textOf(run, IDS_INCOMPATIBLE_CAPTION), text, {IDOK}, why);
            },
            shotName(IDS_INCOMPATIBLE_CAPTION, "box")};
}

Step errorBox(Text stepText, const char* code) {
    const std::wstring codeText = simFromUtf8(code);
    return {"error box", [stepText, codeText](Run& run, std::string* why) {
                // The code line's two numbers: the row's, then whatever system error came with it.
                std::wstring codeLine = textOf(run, IDS_ERROR_CODE_LINE);
                const std::wstring number = L"%08x";
                const std::size_t first = codeLine.find(number);
                if (first != std::wstring::npos) codeLine.replace(first, number.size(), codeText);
                const std::size_t second = codeLine.find(number);
                if (second != std::wstring::npos)
                    codeLine.replace(second, number.size(), L"########");
                const std::wstring text = textOf(run, stepText) + L"\r\n" + codeLine;
                if (!expectBox(run, textOf(run, IDS_UPDATE_FAILED_CAPTION), text, {IDOK}, why))
                    return false;
                run.notes.push_back("error box code line: " +
                                    utf8(run.box.text.substr(run.box.text.rfind(L"\r\n") + 2)));
                return true;
            },
            shotName(IDS_UPDATE_FAILED_CAPTION, "box")};
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

Step programStarts() {
    return {"the program starts",
            [](Run& run, std::string* why) { return run.startProgram(run, why); }};
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

namespace {

// One control command for the unit, answered "ok...".
Step unitCommand(const std::string& command) {
    return {command, [command](Run&, std::string* why) {
                const std::string reply = sim(command);
                if (reply.compare(0, 2, "ok") == 0) return true;
                *why = reply;
                return false;
            }};
}

}  // namespace

Step fault(const char* how) { return unitCommand(std::string("fault ") + kUnitName + " " + how); }

Step swapEsc(const char* how) {
    return unitCommand(std::string("swapesc ") + kUnitName + " " + how);
}

Step holdAnswer(const char* how) {
    return unitCommand(std::string("hold ") + kUnitName + " " + how);
}

Step answerHeld() {
    return unitCommand(std::string("awaithold ") + kUnitName + " " +
                       std::to_string(kScreenBound.count()));
}

Step releaseAnswer() { return unitCommand(std::string("release ") + kUnitName); }

namespace {

std::wstring flasherOutputFile() {
    return besideThisProgram((simPipeStem() + kFlasherOutputEnd).c_str());
}

std::string flasherOutput() {
    HANDLE file = CreateFileW(flasherOutputFile().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

// The flasher ended within the bound, with `exitCode`, and said `says`.
bool expectFlasherEnd(Run& run, int exitCode, const std::string& says, std::string* why) {
    DWORD code = 0;
    const bool ended = waitForExit(run.flasher, kFlasherBoundMs, &code);
    run.flasherEndedMs = GetTickCount64();
    const std::string output = flasherOutput();
    endUpdater(run.flasher);
    if (!ended) {
        *why = "the flasher is still running";
    } else if (static_cast<int>(code) != exitCode) {
        *why = "the flasher's exit code is " + std::to_string(code) + ", expected " +
               std::to_string(exitCode);
    } else if (output.find(says) == std::string::npos) {
        *why = "the flasher did not say \"" + says + "\"";
    } else {
        return true;
    }
    *why += "; it printed: " + output.substr(0, 600);
    return false;
}

bool startFlasher(Run& run, const std::wstring& arguments, std::string* why) {
    if (launchFlasher(&run.flasher, arguments, flasherOutputFile())) return true;
    *why = "cannot start zirvano-flash.exe beside the driver (error " +
           std::to_string(GetLastError()) + ")";
    return false;
}

}  // namespace

Step flasherRuns(const wchar_t* arguments, int exitCode, const char* says) {
    const std::wstring args = arguments;
    const std::string text = says;
    return {"zirvano-flash " + utf8(args), [args, exitCode, text](Run& run, std::string* why) {
                return startFlasher(run, args, why) && expectFlasherEnd(run, exitCode, text, why);
            }};
}

Step flasherStarts(const wchar_t* arguments) {
    const std::wstring args = arguments;
    return {"start zirvano-flash " + utf8(args),
            [args](Run& run, std::string* why) { return startFlasher(run, args, why); }};
}

Step flasherEnds(int exitCode, const char* says) {
    const std::string text = says;
    return {"zirvano-flash ends", [exitCode, text](Run& run, std::string* why) {
                return expectFlasherEnd(run, exitCode, text, why);
            }};
}

Step noteHintAfterFlasher() {
    return {"hint after the flasher", [](Run& run, std::string*) {
                run.notes.push_back(
                    "the hint changed " +
                    thousands(static_cast<long long>(run.hintSeenMs - run.flasherEndedMs)) +
                    " ms after the flasher ended");
                return true;
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

enum class From { start, afterIdentification, mark };

// The unit's reports as command codes: all of them, those after the window's first
// identification, or those after the mark.
bool expectReceived(const std::string& expected, From from, std::size_t mark, std::string* why) {
    std::vector<Report> reports;
    if (!receivedReports(&reports, why)) return false;
    std::vector<unsigned> codes;
    for (const Report& report : reports) codes.push_back(report.code);
    const std::size_t skipped = from == From::afterIdentification ? firstIdentification(codes)
                                : from == From::mark              ? std::min(mark, codes.size())
                                                                  : 0;
    const auto first = codes.begin() + static_cast<std::ptrdiff_t>(skipped);
    const std::vector<unsigned> seen(first, codes.end());
    // Either of several patterns, between " | ".
    std::size_t at = 0;
    for (;;) {
        const std::size_t bar = expected.find(" | ", at);
        if (seen == expand(expected.substr(at, bar - at))) return true;
        if (bar == std::string::npos) break;
        at = bar + 3;
    }
    *why = std::string(from == From::afterIdentification ? "after identification "
                       : from == From::mark              ? "since the mark "
                                                         : "") +
           "the unit received \"" + compress(seen) + "\", expected \"" + expected + "\"";
    return false;
}

}  // namespace

Step receivedAfterIdentification(const std::string& pattern) {
    return {"unit received", [pattern](Run&, std::string* why) {
                return expectReceived(pattern, From::afterIdentification, 0, why);
            }};
}

Step received(const std::string& pattern) {
    return {"unit received in all", [pattern](Run&, std::string* why) {
                return expectReceived(pattern, From::start, 0, why);
            }};
}

Step markReceived() {
    return {"mark the unit's reports", [](Run& run, std::string* why) {
                std::vector<Report> reports;
                if (!receivedReports(&reports, why)) return false;
                run.reportsMarked = reports.size();
                return true;
            }};
}

Step receivedSinceMark(const std::string& pattern) {
    return {"unit received since the mark", [pattern](Run& run, std::string* why) {
                return expectReceived(pattern, From::mark, run.reportsMarked, why);
            }};
}

std::string updateCommands(std::size_t count) {
    const std::vector<std::uint8_t> whole = updatefacts::updateCommandOrder();
    return compress(std::vector<unsigned>(
        whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(std::min(count, whole.size()))));
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

Step unitTakes(std::uint32_t blocks) {
    const long long bytes = static_cast<long long>(blocks) * updatefacts::blockBytes;
    return {"unit takes " + std::to_string(blocks) + " blocks",
            [bytes, blocks](Run& run, std::string* why) {
                // Each block costs its pause and an exchange; three times that is plenty.
                const ULONGLONG boundMs = 30000ull + 3ull * blocks * updatefacts::blockPauseMs;
                const ULONGLONG start = GetTickCount64();
                long long held = -1;
                for (;;) {
                    held = unitFlashBytes();
                    if (held >= bytes) return true;
                    if (findProgressWindow(run.program.id) == nullptr) {
                        *why = "the progress window went while the unit held " +
                               thousands(held) + " bytes";
                        return false;
                    }
                    if (GetTickCount64() - start > boundMs) break;
                    Sleep(kUnitPollMs);
                }
                *why = "the unit holds " + thousands(held) + " bytes after " +
                       std::to_string(boundMs / 1000) + " s";
                return false;
            },
            "transfer"};
}

Step transferEnds(unsigned boundSeconds) {
    return {"transfer ends", [boundSeconds](Run& run, std::string* why) {
                if (waitUntil(milliseconds(boundSeconds * 1000ull),
                              [&] { return findProgressWindow(run.program.id) == nullptr; }))
                    return true;
                *why = "the progress window is still up after " + std::to_string(boundSeconds) + " s";
                return false;
            },
            "", true};
}

Step noteUpdateTiming() {
    return {"update timing", [](Run& run, std::string* why) {
                // From the OK on the warning box to the moment the success hint was seen: the
                // wall time of the update as the user waits for it.
                const long long wallMs = static_cast<long long>(run.hintSeenMs - run.clockStartMs);
                run.notes.push_back("wall time from OK to the success hint: " + thousands(wallMs) +
                                    " ms = " + overFloor(static_cast<double>(wallMs)));
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
                    overFloor(static_cast<double>(unitMs)) + "; " + std::to_string(blocks) +
                    " blocks, one every " + perBlock + " ms (" +
                    std::to_string(updatefacts::blockPauseMs) + " ms pause); erase to address " +
                    thousands(address->writtenMs - erase->writtenMs) + " ms (" +
                    thousands(kEraseToAddressPausesMs) + " ms of pauses)";
                run.notes.push_back(note);
                return true;
            }};
}
