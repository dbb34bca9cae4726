// The words the scenario table is written in: what a user does to the running updater, what the
// unit does, and what both should then show. Every check waits, within a bound, for the screen
// or the unit to reach the expected state, and reports what it last saw when it does not.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/updater_process.h"
#include "tests/e2e/window_probe.h"
#include "tests/wine/unit_server_process.h"

// The simulated unit every scenario plugs in.
constexpr char kUnitName[] = "unit";

struct Run {
    handwritten::Language language = handwritten::Language::english;
    UpdaterProcess program;
    HWND main = nullptr;
    std::wstring unitPath;           // from the last `plug`
    BoxView box;                     // the box the last `box` step found
    ULONGLONG clockStartMs = 0;      // set by startClock
    ULONGLONG hintSeenMs = 0;        // when the last `hint` step saw its text
    // Starts the program and finds its window, as the driver does before a row's steps.
    std::function<bool(Run&, std::string* why)> startProgram;
    UpdaterProcess flasher;          // the console flasher flasherStarts started
    ULONGLONG flasherEndedMs = 0;    // when flasherEnds saw it end
    std::size_t reportsMarked = 0;   // the unit's reports when markReceived ran
    std::vector<std::string> notes;  // measurements, printed under the verdict
};

struct Step {
    std::string what;
    std::function<bool(Run&, std::string* why)> run;
    // What the window shows once the step has passed, named for a screenshot ("ready",
    // "warning"); empty when it shows nothing new.
    std::string shot;
    // The step waits out a whole transfer in real time (about 48 s): the suite's lanes give a
    // row with such a step a lane of its own.
    bool wholeTransfer = false;
};

// A text of the handwritten catalogue by its ID (IDS_READY), shown in the language of the run.
using Text = unsigned;
std::wstring textOf(const Run& run, Text text);

// The short name of a hint or box text ("ready", "failure-hint", "warning"), for screenshots
// and the single actions; nullptr for a text without one. textNamed is the other way round.
const char* textName(Text text);
bool textNamed(const std::string& name, Text* text);

enum class CloseWay { closeButton, escapeKey, closeBox };

// --- what the window shows
Step hint(Text text);             // the hint panel holds `text` alone
Step hintWithSteps(Text text);    // `text`, a blank line and the connection steps
Step updateEnabled(bool enabled);
Step versions(const wchar_t* unit, const wchar_t* bootloader, const wchar_t* esc);  // rows enabled
Step noVersions();                // "0.0.0" three times, rows greyed out
Step unitLabel(const wchar_t* name);
// The three row labels: the catalogue's, with the unit row showing `unitName` once a unit was
// shown (null: the catalogue's "programming unit").
Step rowLabels(const wchar_t* unitName = nullptr);
Step noBox();

// --- message boxes
Step box(Text caption, Text text, std::vector<int> buttons);
Step incompatibilityBox();
// The failure box of an update step: its text, then the code line with `code` as 8 hex digits
// and whatever system error code came with it.
Step errorBox(Text stepText, const char* code);
Step answer(int button);

// --- what the user does
Step programStarts();             // for a row that starts the program among its steps
Step pressUpdate();
Step closeBy(CloseWay way);       // and the process ends with exit code 0

// --- the console flasher, run beside the program against the same unit, like a script
// zirvano-flash.exe with `arguments` runs to its end, with `exitCode` and `says` in its output.
Step flasherRuns(const wchar_t* arguments, int exitCode, const char* says);
// It starts and runs on while the next steps do.
Step flasherStarts(const wchar_t* arguments);
// The flasher flasherStarts started ends with `exitCode`, `says` in its output.
Step flasherEnds(int exitCode, const char* says);
// How long after the flasher ended the last `hint` step saw its text (noted, never asserted).
Step noteHintAfterFlasher();

// --- the unit and the notifications the system would send
Step plug(const char* options);   // plug the unit again, with these options
Step unplug();
// A fault on the unit, armed mid-scenario as `fault unit <how>`: "1d 1 error 5".
Step fault(const char* how);
// Another ESC on the unit's cable, with no USB event, as `swapesc unit <how>`: "now none",
// "08:2 escver=0303".
Step swapEsc(const char* how);
// The unit keeps its answer to a request back, as `hold unit <how>`: "08 1".
Step holdAnswer(const char* how);
Step answerHeld();     // an answer is being kept back: a program waits for it
Step releaseAnswer();  // and goes out now
Step arrival();                   // DBT_DEVICEARRIVAL for the unit's interface
Step removal();                   // DBT_DEVICEREMOVECOMPLETE for the unit's interface
Step removalOf(const wchar_t* path);

// --- what the unit received and holds
// The reports after the window's first identification, as command codes: an update's are
// "08 1d 22 0b 20 1e 1f 1b*40 ..." (it asks for the ESC again first); "" for none; either of
// two outcomes as "<pattern> | <pattern>".
Step receivedAfterIdentification(const std::string& pattern);
// Every report the unit received, identification included, in the same notation.
Step received(const std::string& pattern);
// Remembers how many reports the unit has received; receivedSinceMark checks those after.
Step markReceived();
Step receivedSinceMark(const std::string& pattern);
// The first `count` reports of a whole update in that notation, from the shared update facts;
// all of them when no count is given.
std::string updateCommands(std::size_t count = SIZE_MAX);
Step flashHoldsImage();           // the written bytes equal the image the program carries
Step unitState(const char* expected);  // words of `state`, e.g. "locked=0 writeProtected=1"

// --- the transfer and its timing (measured and printed, never asserted)
Step startClock();
Step transferShows();             // the progress window comes up
// The unit comes to hold `blocks` whole blocks while the progress window stays up.
Step unitTakes(std::uint32_t blocks);
Step transferEnds(unsigned boundSeconds);  // a whole transfer: see Step::wholeTransfer
Step noteUpdateTiming();

// Utilities shared with the command mode.
std::string utf8(const std::wstring& text);
bool textMatches(const std::wstring& pattern, const std::wstring& text);  // '#': a hex digit
std::string describeDifference(const std::wstring& expected, const std::wstring& seen);
