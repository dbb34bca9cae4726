// e2e_driver.exe: drives the shipped ZirvanoUpdater.exe from outside, as a user would, against
// the pipe-served unit.
//
//   e2e_driver.exe [suite [--all] [--short] [name...]]
//       Runs the scenario table (scenarios.cpp), each row with a fresh unit server state and a
//       fresh program; prints "PASS name" or "FAIL name: why" per row and "N passed, M failed".
//       Starts the unit server beside it unless one is already running. --all adds the slow
//       rows; --short leaves out the rows that wait out a whole transfer; a name (or a part of
//       one) picks rows, "=name" exactly that row, "-name" leaves rows out. The program
//       inherits the driver's Unix environment, so the driver runs under
//       WINEDLLOVERRIDES=setupapi,hid=n and runs the rows
//       of the language its locale selects (LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8: the German ones).
//   e2e_driver.exe lanes [--all]
//       The suite of the locale's language cut into lanes that drivers run side by side, each
//       with a unit server of its own (ZIRVANO_SIM_PIPES, see sim/win/sim_control.h): one line
//       of `suite` arguments per lane, "=name" for each row with a whole transfer, then
//       "--short" for the rest.
//   e2e_driver.exe list
//   e2e_driver.exe situations
//       The situations run-with-unit.sh shows, each with the row that plays it.
//   e2e_driver.exe setup <situation|row>
//       The row's language ("english" or "german") on the first line, then its unit server
//       commands, one per line: what run-with-unit.sh starts the server with for a user.
//   e2e_driver.exe [--desktop NAME] play <situation|row> [--shots]
//       Plays that one row as the suite does (unit server, fresh program, every step), slow or
//       not, printing each step; the program opens on desktop NAME. With --shots, after each
//       step that leaves something new on screen it prints "shot NAME WxH+X+Y" (the window and
//       what it owns) and goes on once a line arrives on its input: run-with-unit.sh takes the
//       screenshot meanwhile. Ends with "PASS row" or "FAIL row: why".
//
// Single actions on a program someone else started, for scripts; each prints what it saw and
// exits nonzero when its condition is not met within the bound. "--desktop NAME" first: the
// program runs in `explorer /desktop=NAME`.
//   wait-window <s>           the main window is up and answers
//   show                      title, hint, Update button, versions, an open box
//   wait-hint <what> <s>      what: ready success failure-hint no-unit wrong-mode no-esc
//                             incompatible-hint lost (either language)
//   press-update
//   wait-box <s>              a message box is open; prints it
//   answer <ok|cancel|yes|no> <s>   waits for a box, prints it and presses the button
//   wait-flash <bytes> <s>    the unit "unit" holds at least that many written bytes
//   wait-transfer-end <s>     the progress window is gone
//   activate                  brings the window (or its open box) to the front, as it is when
//                             a user starts the program
//   rect                      the main window and what it owns as WxH+X+Y, for cropping
//                             screenshots
//   arrive | remove           a device notification for the unit "unit"
//   close <s>                 the Close button; waits for the window to go
#include <windows.h>
#include <dbt.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "sim/win/sim_control.h"
#include "tests/e2e/scenarios.h"

namespace {

constexpr std::chrono::milliseconds kWindowBound{30000};  // a cold Wine start takes seconds

// The title carries the firmware version of the image and ends in a blank.
constexpr wchar_t kMainTitle[] = L"TESSERAN ZIRVANO 60 LV FW Updater 3.3 ";

void say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string seconds(ULONGLONG ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

// A name picks the rows it is part of, a name after '=' the row of exactly that name; a name
// after '-' leaves them out.
bool excludes(const std::string& name) { return name.size() > 1 && name[0] == '-'; }

bool picks(const std::string& name, const Scenario& row) {
    if (name.size() > 1 && name[0] == '=') return row.name == name.substr(1);
    return row.name.find(name) != std::string::npos;
}

bool picksByName(const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (!excludes(name)) return true;
    return false;
}

bool matchesSelection(const Scenario& row, const std::vector<std::string>& names) {
    for (const std::string& name : names)
        if (excludes(name) && row.name.find(name.substr(1)) != std::string::npos) return false;
    if (!picksByName(names)) return true;
    for (const std::string& name : names)
        if (!excludes(name) && picks(name, row)) return true;
    return false;
}

// The row waits out a whole transfer: some 48 s of real time.
bool runsWholeUpdate(const Scenario& row) {
    for (const Step& step : row.steps)
        if (step.wholeTransfer) return true;
    return false;
}

// Resets the unit server and applies the row's commands; the unit's path comes from `plug`.
bool prepareUnit(const Scenario& row, Run& run, std::string* why) {
    const std::string reset = sim("reset");
    if (reset != "ok") {
        *why = "unit server: " + reset;
        return false;
    }
    for (const std::string& command : row.before) {
        const std::string reply = sim(command);
        if (reply.compare(0, 2, "ok") != 0) {
            *why = command + ": " + reply;
            return false;
        }
        if (command.compare(0, 5, "plug ") == 0 && reply.size() > 3)
            run.unitPath = simFromUtf8(reply.substr(3));
    }
    return true;
}

// The desktop the program opens on (play --desktop), or empty for the driver's own.
std::wstring programDesktop;

bool startProgram(Run& run, std::string* why) {
    if (!launchUpdater(&run.program, programDesktop.empty() ? nullptr : programDesktop.c_str())) {
        *why = "cannot start ZirvanoUpdater.exe beside the driver (error " +
               std::to_string(GetLastError()) + ")";
        return false;
    }
    if (!waitUntil(kWindowBound, [&] { return (run.main = findMainWindow(run.program.id)) != nullptr; })) {
        DWORD code = 0;
        *why = waitForExit(run.program, 0, &code)
                   ? "the program ended with " + std::to_string(code) + " before its window came up"
                   : "no main window came up";
        return false;
    }
    const std::wstring title = windowCaption(run.main);
    if (title != kMainTitle) {
        *why = "title: " + describeDifference(kMainTitle, title);
        return false;
    }
    return true;
}

// Called after each step that passed; play uses it to say the step and take screenshots.
using AfterStep = std::function<void(const Step& step, Run& run)>;

bool runScenario(const Scenario& row, Run& run, std::string* why,
                 const AfterStep& afterStep = nullptr) {
    run.startProgram = startProgram;
    if (!prepareUnit(row, run, why) || (!row.startedBySteps && !startProgram(run, why)))
        return false;
    for (std::size_t i = 0; i < row.steps.size(); ++i) {
        std::string stepWhy;
        if (!row.steps[i].run(run, &stepWhy)) {
            *why = "step " + std::to_string(i + 1) + " (" + row.steps[i].what + "): " + stepWhy;
            return false;
        }
        if (afterStep) afterStep(row.steps[i], run);
    }
    return true;
}

const char* languageName(handwritten::Language language) {
    return language == handwritten::Language::german ? "German" : "English";
}

// Starts the unit server beside the driver unless one is running; false (said) when neither.
bool haveUnitServer(bool* own) {
    *own = startUnitServer();
    if (*own || sim("list").compare(0, 9, "no server") != 0) {
        if (!*own) say("note: using the unit server that is already running");
        return true;
    }
    say("FAIL: unit_server.exe did not start beside the driver");
    return false;
}

bool overridesOrSay() {
    if (substituteDllsSelected()) return true;
    say("FAIL: start the driver with WINEDLLOVERRIDES=setupapi,hid=n; the program "
        "inherits it and otherwise loads the system's setupapi.dll and hid.dll");
    return false;
}

int runSuite(const std::vector<std::string>& names, bool all, bool shortOnly) {
    bool ownServer = false;
    if (!overridesOrSay() || !haveUnitServer(&ownServer)) {
        say("0 passed, 1 failed");
        return 1;
    }
    const handwritten::Language language = environmentLanguage();
    say(std::string("rows in ") + languageName(language) + " (from LC_ALL/LANG)");
    int passed = 0;
    int failed = 0;
    int otherLanguage = 0;
    const ULONGLONG suiteStart = GetTickCount64();
    for (const Scenario& row : scenarios()) {
        if (!matchesSelection(row, names) || (shortOnly && runsWholeUpdate(row))) continue;
        if (row.language != language) {
            ++otherLanguage;
            continue;
        }
        if (row.slow && !all && !picksByName(names)) {
            say("SKIP " + row.name + " (a second full-length update; run with --all or by name)");
            continue;
        }
        Run run;
        run.language = row.language;
        const ULONGLONG start = GetTickCount64();
        std::string why;
        const bool ok = runScenario(row, run, &why);
        endUpdater(run.program);
        endUpdater(run.flasher);
        const std::string took = " (" + seconds(GetTickCount64() - start) + ")";
        say(ok ? "PASS " + row.name + took : "FAIL " + row.name + ": " + why + took);
        for (const std::string& note : run.notes) say("     " + note);
        ++(ok ? passed : failed);
    }
    sim("reset");
    if (ownServer) stopUnitServer();
    if (otherLanguage > 0)
        say("note: " + std::to_string(otherLanguage) + " " +
            languageName(language == handwritten::Language::german ? handwritten::Language::english
                                                                   : handwritten::Language::german) +
            " rows are left to a run in that locale");
    say("suite time " + seconds(GetTickCount64() - suiteStart));
    say(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    return failed == 0 && passed > 0 ? 0 : 1;
}

// The rows of the locale's language in lanes: a lane's wall time is then at most about one
// whole transfer, however many rows have one.
int lanes(bool all) {
    const handwritten::Language language = environmentLanguage();
    bool rest = false;
    for (const Scenario& row : scenarios()) {
        if (row.language != language || (row.slow && !all)) continue;
        if (runsWholeUpdate(row))
            say("=" + row.name);
        else
            rest = true;
    }
    if (rest) say("--short");
    return 0;
}

// ---- single actions

constexpr handwritten::Language kLanguages[] = {handwritten::Language::english,
                                                handwritten::Language::german};

std::string escaped(const std::wstring& text, std::size_t limit = 120) {
    std::string out;
    for (char c : utf8(text.substr(0, limit))) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out + (text.size() > limit ? "..." : "");
}

std::chrono::milliseconds boundArg(const std::vector<std::wstring>& args, std::size_t at) {
    const double s = at < args.size() ? _wtof(args[at].c_str()) : 30.0;
    return std::chrono::milliseconds(static_cast<long long>((s > 0 ? s : 30.0) * 1000));
}

// The updater's window, given a moment to come up: it exists (hidden) while a box shown during
// its initialisation is open.
HWND mainWindowOrSay() {
    HWND main = nullptr;
    if (!waitUntil(kWindowBound, [&] { return (main = findMainWindow(0)) != nullptr; }))
        say("no updater window");
    return main;
}

int show() {
    const HWND main = mainWindowOrSay();
    if (main == nullptr) return 1;
    std::wstring text;
    say("title:   \"" + utf8(windowCaption(main)) + "\"");
    if (readControlText(main, IDC_HINT, &text)) say("hint:    \"" + escaped(text) + "\"");
    say(std::string("update:  ") + (controlEnabled(main, IDC_UPDATE) ? "enabled" : "disabled"));
    const int rows[][2] = {{IDC_LABEL_UNIT, IDC_VALUE_UNIT},
                           {IDC_LABEL_ESC_BOOTLOADER, IDC_VALUE_ESC_BOOTLOADER},
                           {IDC_LABEL_ESC, IDC_VALUE_ESC}};
    for (const auto& row : rows) {
        std::wstring label, value;
        readControlText(main, row[0], &label);
        readControlText(main, row[1], &value);
        say("version: " + utf8(label) + " = " + utf8(value) +
            (controlEnabled(main, row[1]) ? "" : " (disabled)"));
    }
    BoxView box;
    if (const HWND open = findOwnedBox(main); open != nullptr && readBox(open, &box))
        say("box:     \"" + utf8(box.caption) + "\": \"" + escaped(box.text) + "\"");
    return 0;
}

int waitHint(const std::vector<std::wstring>& args) {
    const HWND main = mainWindowOrSay();
    if (main == nullptr || args.size() < 2) return 1;
    const std::string wanted = utf8(args[1]);
    Text text = 0;
    if (!textNamed(wanted, &text)) {
        say("unknown hint name " + wanted);
        return 2;
    }
    std::wstring seen;
    const bool found = waitUntil(boundArg(args, 2), [&] {
        if (!readControlText(main, IDC_HINT, &seen)) return false;
        for (handwritten::Language language : kLanguages) {
            const wchar_t* expected = handwritten::catalogueText(text, language);
            if (seen.compare(0, wcslen(expected), expected) == 0) return true;
        }
        return false;
    });
    say((found ? "hint: \"" : "hint is not " + wanted + ": \"") + escaped(seen) + "\"");
    return found ? 0 : 1;
}

int answerBox(const std::vector<std::wstring>& args) {
    const HWND main = mainWindowOrSay();
    if (main == nullptr || args.size() < 2) return 1;
    const std::wstring which = args[1];
    const int button = which == L"ok" ? IDOK : which == L"cancel" ? IDCANCEL
                       : which == L"yes" ? IDYES : which == L"no" ? IDNO : 0;
    HWND open = nullptr;
    if (button == 0 || !waitUntil(boundArg(args, 2), [&] { return (open = findOwnedBox(main)) != nullptr; })) {
        say("no box to answer");
        return 1;
    }
    BoxView box;
    readBox(open, &box);
    say("box: \"" + utf8(box.caption) + "\": \"" + escaped(box.text, 400) + "\"");
    return clickButton(open, button) && waitUntil(boundArg(args, 2), [&] { return !IsWindow(open); })
               ? 0 : 1;
}

int waitFlash(const std::vector<std::wstring>& args) {
    const unsigned long wanted = args.size() > 1 ? std::wcstoul(args[1].c_str(), nullptr, 10) : 0;
    std::string state;
    const bool reached = waitUntil(boundArg(args, 2), [&] {
        state = sim(std::string("state ") + kUnitName);
        const std::size_t at = state.find("flash=");
        return at != std::string::npos && std::strtoul(state.c_str() + at + 6, nullptr, 10) >= wanted;
    });
    say("unit: " + state);
    return reached ? 0 : 1;
}

int waitTransferEnd(const std::vector<std::wstring>& args) {
    const HWND main = mainWindowOrSay();
    if (main == nullptr) return 1;
    DWORD processId = 0;
    GetWindowThreadProcessId(main, &processId);
    return waitUntil(boundArg(args, 1), [&] { return findProgressWindow(processId) == nullptr; }) ? 0 : 1;
}

struct Bounds {
    HWND owner;
    RECT area;
};

BOOL CALLBACK addOwnedWindow(HWND window, LPARAM context) {
    auto& bounds = *reinterpret_cast<Bounds*>(context);
    RECT area{};
    if (GetWindow(window, GW_OWNER) == bounds.owner && IsWindowVisible(window) &&
        GetWindowRect(window, &area))
        UnionRect(&bounds.area, &bounds.area, &area);
    return TRUE;
}

// The main window together with the boxes and the progress window it owns, as WxH+X+Y for
// cropping a screenshot; empty when the window is gone.
std::string shotArea(HWND main) {
    Bounds bounds{main, {}};
    if (!GetWindowRect(main, &bounds.area)) return "";
    EnumWindows(addOwnedWindow, reinterpret_cast<LPARAM>(&bounds));
    const RECT& area = bounds.area;
    return std::to_string(area.right - area.left) + "x" + std::to_string(area.bottom - area.top) +
           "+" + std::to_string(area.left) + "+" + std::to_string(area.top);
}

int rect() {
    const HWND main = mainWindowOrSay();
    if (main == nullptr) return 1;
    const std::string area = shotArea(main);
    if (area.empty()) return 1;
    say(area);
    return 0;
}

int waitBox(const std::vector<std::wstring>& args) {
    const HWND main = mainWindowOrSay();
    HWND open = nullptr;
    if (main == nullptr || !waitUntil(boundArg(args, 1), [&] { return (open = findOwnedBox(main)) != nullptr; })) {
        say("no box");
        return 1;
    }
    BoxView box;
    readBox(open, &box);
    say("box: \"" + utf8(box.caption) + "\": \"" + escaped(box.text, 400) + "\"");
    return 0;
}

// Nothing activates a window in a virtual desktop without a window manager, and a foreground
// request from another process changes the state but not the frame; so the frame is also told
// to draw itself active, as it does for a user who has just started the program.
bool activateWindow(HWND main, UINT boundMs) {
    const HWND box = findOwnedBox(main);
    const HWND target = box != nullptr ? box : main;
    SetForegroundWindow(target);
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(target, WM_NCACTIVATE, TRUE, 0, SMTO_NORMAL, boundMs, &ignored) != 0;
}

int activate() {
    const HWND main = mainWindowOrSay();
    return main != nullptr && activateWindow(main, 2000) ? 0 : 1;
}

// ---- one row for a user to watch

// The window brought to the front, then "shot NAME AREA" for the script, which answers with a
// line once it has taken the screenshot. The program works its transfer without a message loop,
// so it is only activated when it answers at once.
void requestShot(Run& run, const std::string& name) {
    if (isResponsive(run.main, 200)) activateWindow(run.main, 1000);
    const std::string area = shotArea(run.main);
    if (area.empty()) return;
    say("shot " + name + " " + area);
    char answer[64];
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) say("note: no answer to the shot");
}

int play(const std::vector<std::wstring>& args) {
    const Scenario* row = args.size() > 1 ? findScenario(utf8(args[1])) : nullptr;
    if (row == nullptr) {
        say("play: name a situation or a row (see `situations` and `list`)");
        return 2;
    }
    bool shots = false;
    for (const std::wstring& arg : args) shots = shots || arg == L"--shots";
    if (row->language != environmentLanguage()) {
        say(std::string("FAIL ") + row->name + ": a " + languageName(row->language) +
            " row; run the driver with LANG and LC_ALL naming such a locale");
        return 1;
    }
    bool ownServer = false;
    if (!overridesOrSay() || !haveUnitServer(&ownServer)) return 1;
    say("playing \"" + row->name + "\" in " + languageName(row->language));
    Run run;
    run.language = row->language;
    const ULONGLONG start = GetTickCount64();
    std::string why;
    const bool ok = runScenario(*row, run, &why, [shots](const Step& step, Run& played) {
        say("  ok   " + step.what);
        if (shots && !step.shot.empty()) requestShot(played, step.shot);
    });
    endUpdater(run.program);
    endUpdater(run.flasher);
    sim("reset");
    if (ownServer) stopUnitServer();
    for (const std::string& note : run.notes) say("     " + note);
    const std::string took = " (" + seconds(GetTickCount64() - start) + ")";
    say(ok ? "PASS " + row->name + took : "FAIL " + row->name + ": " + why + took);
    return ok ? 0 : 1;
}

int setup(const std::vector<std::wstring>& args) {
    const Scenario* row = args.size() > 1 ? findScenario(utf8(args[1])) : nullptr;
    if (row == nullptr) {
        say("setup: name a situation or a row (see `situations` and `list`)");
        return 2;
    }
    say(row->language == handwritten::Language::german ? "german" : "english");
    for (const std::string& command : row->before) say(command);
    return 0;
}

int notify(WPARAM event) {
    const HWND main = mainWindowOrSay();
    if (main == nullptr) return 1;
    LRESULT result = 0;
    const std::wstring path = simPipePrefix() + simFromUtf8(kUnitName);
    return sendDeviceChange(main, event, path, &result) ? 0 : 1;
}

int closeWindow(const std::vector<std::wstring>& args) {
    const HWND main = mainWindowOrSay();
    if (main == nullptr) return 1;
    clickButton(main, IDC_CLOSE);
    return waitUntil(boundArg(args, 1), [&] { return !IsWindow(main); }) ? 0 : 1;
}

// A program started with `explorer /desktop=NAME` has its windows on that desktop; window
// searches see only the searching thread's desktop. Explorer may still be creating it.
bool useDesktop(const std::wstring& name) {
    HDESK desktop = nullptr;
    waitUntil(kWindowBound, [&] {
        return (desktop = OpenDesktopW(name.c_str(), 0, FALSE, GENERIC_ALL)) != nullptr;
    });
    return desktop != nullptr && SetThreadDesktop(desktop);
}

int action(const std::vector<std::wstring>& args) {
    const std::wstring& verb = args[0];
    if (verb == L"wait-window") {
        HWND main = nullptr;
        const bool up = waitUntil(boundArg(args, 1), [&] {
            main = findMainWindow(0);
            return main != nullptr && IsWindowVisible(main) && isResponsive(main, 1000);
        });
        say(up ? "window: \"" + utf8(windowCaption(main)) + "\"" : "no updater window");
        return up ? 0 : 1;
    }
    if (verb == L"show") return show();
    if (verb == L"wait-hint") return waitHint(args);
    if (verb == L"press-update") {
        const HWND main = mainWindowOrSay();
        return main != nullptr && clickButton(main, IDC_UPDATE) ? 0 : 1;
    }
    if (verb == L"wait-box") return waitBox(args);
    if (verb == L"answer") return answerBox(args);
    if (verb == L"wait-flash") return waitFlash(args);
    if (verb == L"wait-transfer-end") return waitTransferEnd(args);
    if (verb == L"rect") return rect();
    if (verb == L"activate") return activate();
    if (verb == L"arrive") return notify(DBT_DEVICEARRIVAL);
    if (verb == L"remove") return notify(DBT_DEVICEREMOVECOMPLETE);
    if (verb == L"close") return closeWindow(args);
    say("unknown action " + utf8(verb) + " (see the head of tests/e2e/driver.cpp)");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // UTF-8 bytes with plain \n line ends, for the shell that reads them.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == L"--desktop") {
        if (!useDesktop(args[1])) {
            say("cannot use desktop " + utf8(args[1]));
            return 2;
        }
        programDesktop = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == L"suite" || args[0] == L"--all") {
        bool all = false;
        bool shortOnly = false;
        std::vector<std::string> names;
        for (const std::wstring& arg : args) {
            if (arg == L"suite") continue;
            if (arg == L"--all") all = true;
            else if (arg == L"--short") shortOnly = true;
            else names.push_back(utf8(arg));
        }
        return runSuite(names, all, shortOnly);
    }
    if (args[0] == L"lanes") return lanes(args.size() > 1 && args[1] == L"--all");
    if (args[0] == L"list") {
        for (const Scenario& row : scenarios()) say(row.name + (row.slow ? " (slow)" : ""));
        return 0;
    }
    if (args[0] == L"situations") {
        for (const Situation& situation : situations())
            say(std::string(situation.name) + ": " + situation.row);
        return 0;
    }
    if (args[0] == L"setup") return setup(args);
    if (args[0] == L"play") return play(args);
    return action(args);
}
