#include "tests/e2e/scenarios.h"

#include "resources/resource_ids.h"
#include "tests/shared/exit_codes.h"
#include "tests/shared/update_facts.h"

namespace {

using Steps = std::vector<Step>;

constexpr handwritten::Language en = handwritten::Language::english;
constexpr handwritten::Language de = handwritten::Language::german;
constexpr bool slow = true;

const char kReadyUnit[] = "plug unit";  // TAVILINK, unit 1.2, bootloader 2.1.5, ESC 3.2

// An update asks the unit for the ESC behind it before anything else: these come first.
constexpr std::size_t kAskedAgain = std::size(updatefacts::identifyCommands);
const std::string kAskedAgainCommands = updateCommands(kAskedAgain);

// What the flasher says about a unit another of our programs holds, and about a ready one.
constexpr char kInUseSaid[] = "is in use by another program; nothing was sent to it.";
constexpr char kUnitSaid[] = "programming unit    TAVILINK";

// The block at which the unit vanishes in the rows that break the transfer off, and how many
// it has taken before that while the progress window is watched.
constexpr std::uint32_t kVanishingBlock = 150;
constexpr std::uint32_t kBlocksBeforeVanishing = 100;

// The whole update as the unit sees it: the ESC asked for again, lock, unlock the flash, erase,
// address, the blocks, restore the protection, release the lock.
const std::string kWholeUpdate = updateCommands();

std::string vanishAt(const char* how) {
    return "fault unit 1b " + std::to_string(kVanishingBlock) + " " + how;
}

Steps then(std::initializer_list<Steps> parts) {
    Steps all;
    for (const Steps& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Update pressed on the ready window and the warning confirmed.
Steps confirmUpdate() {
    return {hint(IDS_READY), pressUpdate(),
            box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}), answer(IDOK),
            startClock()};
}

// From the OK on the warning (the clock started there) to the success hint: the whole image
// reaches the unit, in real time.
Steps updateRunsToTheEnd() {
    return {transferShows(), unitTakes(updatefacts::blocks * 2 / 5), transferEnds(180),
            hint(IDS_UPDATE_SUCCEEDED), noteUpdateTiming(), noBox(),
            updateEnabled(false), versions(L"1.2", L"2.1.5", L"3.3"), flashHoldsImage(),
            unitState("locked=0 writeProtected=1"), receivedAfterIdentification(kWholeUpdate)};
}

Steps wholeUpdateSucceeds() {
    return then({confirmUpdate(), updateRunsToTheEnd(),
                 {closeBy(CloseWay::closeButton), receivedAfterIdentification(kWholeUpdate)}});
}

// Update pressed; while the warning is open the unit is pulled, the window told, and a unit
// plugged in again under the same name as `plugOptions` describe (its arrival is the row's).
Steps unitSwappedDuringWarning(const char* plugOptions) {
    return {pressUpdate(), box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}), unplug(),
            removal(), hintWithSteps(IDS_CONNECTION_LOST), plug(plugOptions)};
}

// The first number of the code line of a step whose answer an unasked report put in doubt.
constexpr char kOutOfStep[] = "fffffffa";

// Every failure of the update ends alike: one error box while the link is already dropped,
// then the failure hint, and nothing more goes to the unit.
struct FailingStep {
    const char* name;
    const char* fault;      // how the unit misbehaves
    Text stepText;          // the box text of the failing step
    const char* code;       // the first number of the box's code line
    std::size_t received;   // the commands of the update the unit got, the failing one last
    const char* unitAfter;  // the lock stays set and the flash open once they were
};

const FailingStep kFailingSteps[] = {
    {"lock refused", "fault unit 0b 1 refusal", IDS_LOCK_FAILED, "0000065b", kAskedAgain + 1,
     "locked=0 writeProtected=1"},
    {"flash unlock answered with an error", "fault unit 20 1 error 1234", IDS_UNLOCK_FLASH_FAILED,
     "00001234", kAskedAgain + 2, "locked=1 writeProtected=1"},
    {"erase answered with an error", "fault unit 1e 1 error 5", IDS_ERASE_FAILED, "00000005",
     kAskedAgain + 3, "locked=1 writeProtected=0"},
    {"write address answered with an error", "fault unit 1f 1 error 7", IDS_ADDRESS_FAILED,
     "00000007", kAskedAgain + 4, "locked=1 writeProtected=0"},
    // The 40th block: four steps before the blocks.
    {"data block answered with an error", "fault unit 1b 40 error 2a", IDS_BLOCK_FAILED, "0000002a",
     kAskedAgain + 4 + 40, "locked=1 writeProtected=0"},
    // Reports of another length than the input report are no answers: the read fails.
    {"data block answered one byte short", "fault unit 1b 40 cut 59", IDS_BLOCK_FAILED, "fffffffd",
     kAskedAgain + 4 + 40, "locked=1 writeProtected=0"},
    {"data block answered one byte long", "fault unit 1b 40 overlong", IDS_BLOCK_FAILED, "fffffffd",
     kAskedAgain + 4 + 40, "locked=1 writeProtected=0"},
    // The erase's answer comes again 2 s after the request, inside the 4 s wait after it: the
    // erase's answer is in doubt, and the address is not sent.
    {"erase answer repeated in the wait after it", "fault unit 1e 1 duplicatelate 2000",
     IDS_ERASE_FAILED, kOutOfStep, kAskedAgain + 3, "locked=1 writeProtected=0"},
};

Steps afterFailureBox() {
    return {noVersions(), updateEnabled(false), answer(IDOK), hint(IDS_FAILURE_HINT),
            updateEnabled(false), noVersions(), noBox()};
}

// The unit vanishes at kVanishingBlock (the row's fault): the block's failure box, the removal
// the system reports while it is open, and the window as after any failure.
Steps transferBrokenOff() {
    return then({{transferShows(), unitTakes(kBlocksBeforeVanishing),
                  errorBox(IDS_BLOCK_FAILED, "fffffffd"), removal()},
                 afterFailureBox()});
}

Scenario updateFails(const FailingStep& step, handwritten::Language language) {
    return {std::string(language == de ? "German " : "") + step.name,
            language,
            {kReadyUnit, step.fault},
            then({confirmUpdate(), {errorBox(step.stepText, step.code)}, afterFailureBox(),
                  {closeBy(CloseWay::closeButton),
                   receivedAfterIdentification(updateCommands(step.received)),
                   unitState(step.unitAfter)}})};
}

std::vector<Scenario> table() {
    std::vector<Scenario> rows = {
        // ---- start-up probe, one row per outcome
        {"start without a unit", en, {},
         {hintWithSteps(IDS_NO_UNIT), updateEnabled(false), noVersions(), rowLabels(), noBox(),
          closeBy(CloseWay::closeButton)}},
        {"start with the unit in its bootloader", en, {"plug unit mode=boot"},
         {hintWithSteps(IDS_WRONG_MODE), updateEnabled(false), noVersions(), rowLabels(), noBox(),
          closeBy(CloseWay::closeButton), receivedAfterIdentification("")}},
        {"start without an updatable ESC", en, {"plug unit esc=1"},
         {hintWithSteps(IDS_NO_UPDATABLE_ESC), updateEnabled(false), noVersions(), noBox(),
          closeBy(CloseWay::closeButton), receivedAfterIdentification("")}},
        {"start with an ESC of another type", en, {"plug unit type=0B07403C"},
         {incompatibilityBox(), answer(IDOK), hintWithSteps(IDS_INCOMPATIBLE_HINT),
          updateEnabled(false), noVersions(), noBox(), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"start ready", en, {kReadyUnit},
         {hint(IDS_READY), updateEnabled(true), versions(L"1.2", L"2.1.5", L"3.2"),
          rowLabels(L"TAVILINK"), noBox(), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"start ready with a ZELQUAD and an ESC without firmware", en,
         {"plug unit pid=1 unitver=01000203 bootver=00000105 escver=FFFF"},
         {hint(IDS_READY), updateEnabled(true), versions(L"1.2.3", L"1.5", L"----------"),
          rowLabels(L"ZELQUAD"), closeBy(CloseWay::closeButton)}},

        // ---- the two other ways to close (the Close button ends most rows); nothing goes to
        // the linked unit at the end
        {"Escape closes the ready window", en, {kReadyUnit},
         {hint(IDS_READY), closeBy(CloseWay::escapeKey), receivedAfterIdentification("")}},
        {"the close box closes the ready window", en, {kReadyUnit},
         {hint(IDS_READY), closeBy(CloseWay::closeBox), receivedAfterIdentification("")}},

        // ---- plug and unplug while the window is open
        {"unit plugged in while the window is open", en, {},
         {hintWithSteps(IDS_NO_UNIT), plug(""), arrival(), hint(IDS_READY), updateEnabled(true),
          versions(L"1.2", L"2.1.5", L"3.2"), rowLabels(L"TAVILINK"), noBox(),
          closeBy(CloseWay::escapeKey), receivedAfterIdentification("")}},
        {"linked unit unplugged", en, {kReadyUnit},
         {hint(IDS_READY), removalOf(L"\\\\.\\pipe\\zirvano-sim-another-device"), hint(IDS_READY),
          updateEnabled(true), unplug(), removal(), hintWithSteps(IDS_CONNECTION_LOST),
          updateEnabled(false), noVersions(), rowLabels(L"TAVILINK"), noBox(),
          closeBy(CloseWay::closeBox)}},

        // ---- the update, and the ways it stops before it starts
        {"whole update", en, {kReadyUnit}, wholeUpdateSucceeds()},
        {"warning box cancelled", en, {kReadyUnit},
         {pressUpdate(), box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}),
          answer(IDCANCEL), noBox(), hint(IDS_READY), updateEnabled(true),
          versions(L"1.2", L"2.1.5", L"3.2"), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"downgrade declined", en, {"plug unit escver=0303"},
         then({{versions(L"1.2", L"2.1.5", L"3.3")},
               confirmUpdate(),
               {box(IDS_DOWNGRADE_CAPTION, IDS_DOWNGRADE_QUESTION, {IDYES, IDNO}), answer(IDNO),
                noBox(), hint(IDS_READY), updateEnabled(true), closeBy(CloseWay::closeButton),
                receivedAfterIdentification("")}})},
        {"unit unplugged while the warning is open", en, {kReadyUnit},
         {pressUpdate(), box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}), unplug(),
          removal(), hintWithSteps(IDS_CONNECTION_LOST), answer(IDOK),
          // No link any more: the lock step fails at once, with no code to show.
          box(IDS_UPDATE_FAILED_CAPTION, IDS_LOCK_FAILED, {IDOK}), answer(IDOK),
          hint(IDS_FAILURE_HINT), updateEnabled(false), noVersions(),
          closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"unit swapped for a ready one while the warning is open", en, {kReadyUnit},
         then({unitSwappedDuringWarning(""),
               {arrival(), hint(IDS_READY), answer(IDOK), startClock()},
               updateRunsToTheEnd(), {closeBy(CloseWay::closeButton)}})},
        {"unit swapped for an unidentified one while the warning is open", en, {kReadyUnit},
         then({unitSwappedDuringWarning("type=0B07403C"),
               // Its ESC memory cannot be read, so identification stops before the type.
               {fault("1d 1 error 5"), arrival(), hintWithSteps(IDS_CONNECTION_LOST),
                updateEnabled(false), answer(IDOK),
                // Nothing is written to a unit that was not found ready: the lock step fails
                // without sending, with no code to show.
                box(IDS_UPDATE_FAILED_CAPTION, IDS_LOCK_FAILED, {IDOK})},
               afterFailureBox(),
               {closeBy(CloseWay::closeButton), received("08 1d")}})},
        {"unit vanishes in the middle of the transfer", en,
         {kReadyUnit, vanishAt("disconnect")},
         then({confirmUpdate(), transferBrokenOff(),
               // Plugged in again, it is found again.
               {plug(""), arrival(), hint(IDS_READY), updateEnabled(true),
                closeBy(CloseWay::closeButton)}})},
        {"update retried after the unit vanished in the middle of the transfer", en,
         {kReadyUnit, vanishAt("vanish")},
         then({confirmUpdate(), transferBrokenOff(),
               // The erase went through, so the ESC comes back without firmware; a replugged
               // simulated unit starts afresh, so it is plugged in saying so.
               // The ready hint is confirmUpdate's first check.
               {plug("escver=FFFF"), arrival(), updateEnabled(true),
                versions(L"1.2", L"2.1.5", L"----------")},
               confirmUpdate(), updateRunsToTheEnd(), {closeBy(CloseWay::closeButton)}})},

        // ---- another ESC on the unit's cable, with no USB event: the update asks the unit
        // again right before the lock, sends nothing more and shows what is there now
        {"ESC of another type swapped in before Update", en, {kReadyUnit},
         then({{hint(IDS_READY), swapEsc("now type=0B07403C")},
               confirmUpdate(),
               {incompatibilityBox(), answer(IDOK), hintWithSteps(IDS_INCOMPATIBLE_HINT),
                updateEnabled(false), noVersions(), noBox(), closeBy(CloseWay::closeButton),
                receivedAfterIdentification(kAskedAgainCommands)}})},
        {"ESC taken away while the warning is open", en, {kReadyUnit},
         {pressUpdate(), box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}),
          swapEsc("now none"), answer(IDOK), hintWithSteps(IDS_NO_UPDATABLE_ESC),
          updateEnabled(false), noVersions(), noBox(), closeBy(CloseWay::closeButton),
          // Without an updatable ESC the unit's own answer ends the asking.
          receivedAfterIdentification("08")}},
        {"ESC with newer firmware swapped in as the update asks for it again", en,
         {kReadyUnit, "swapesc unit 08:2 escver=0303"},
         then({confirmUpdate(),
               {versions(L"1.2", L"2.1.5", L"3.3"), hint(IDS_READY), updateEnabled(true), noBox(),
                receivedAfterIdentification(kAskedAgainCommands),
                // Pressed again: the warning, then the question for an ESC already at 3.3.
                pressUpdate(), box(IDS_WARNING_CAPTION, IDS_WARNING_TEXT, {IDOK, IDCANCEL}),
                answer(IDOK), box(IDS_DOWNGRADE_CAPTION, IDS_DOWNGRADE_QUESTION, {IDYES, IDNO}),
                answer(IDNO), noBox(), closeBy(CloseWay::closeButton),
                receivedAfterIdentification(kAskedAgainCommands)}})},

        // ---- a late duplicate inside a block's 20 ms pause: the block's answer is in doubt.
        // Real time: a duplicate the machine delays past the next block's request is taken for
        // that block's answer, and the next one's real answer fails that one instead.
        {"data block answer repeated in its pause", en,
         {kReadyUnit, "fault unit 1b 40 duplicatelate 5"},
         then({confirmUpdate(), {errorBox(IDS_BLOCK_FAILED, kOutOfStep)}, afterFailureBox(),
               {closeBy(CloseWay::closeButton),
                receivedAfterIdentification(updateCommands(kAskedAgain + 4 + 40) + " | " +
                                            updateCommands(kAskedAgain + 4 + 41)),
                unitState("locked=1 writeProtected=0")}})},

        // ---- one program per unit: the window and the console flasher on the same unit
        {"console flasher while the window is linked to the unit", en, {kReadyUnit},
         {hint(IDS_READY), flasherRuns(L"status", kExitInUse, kInUseSaid),
          flasherRuns(L"update --yes", kExitInUse, kInUseSaid),
          // Only the window's identification: the flasher sent nothing.
          received("08 1d 22"), hint(IDS_READY), updateEnabled(true),
          versions(L"1.2", L"2.1.5", L"3.2"), closeBy(CloseWay::closeButton)}},
        {"window started while the console flasher holds the unit", en,
         {kReadyUnit, "hold unit 08 1"},
         {flasherStarts(L"status"), answerHeld(), programStarts(), hintWithSteps(IDS_NO_UNIT),
          updateEnabled(false), noVersions(), noBox(),
          // Only the flasher's first request, whose answer the unit keeps back.
          received("08"), releaseAnswer(), flasherEnds(kExitSuccess, kUnitSaid), markReceived(),
          // No USB event tells that the flasher let go: the window looks again by itself.
          hint(IDS_READY), noteHintAfterFlasher(), versions(L"1.2", L"2.1.5", L"3.2"),
          updateEnabled(true), receivedSinceMark("08 1d 22"), closeBy(CloseWay::closeButton)},
         false, true},
        {"unit plugged in while the console flasher holds it", en, {},
         {hintWithSteps(IDS_NO_UNIT), plug(""), holdAnswer("08 1"), flasherStarts(L"status"),
          answerHeld(), arrival(), hintWithSteps(IDS_NO_UNIT), updateEnabled(false), noBox(),
          received("08"), releaseAnswer(), flasherEnds(kExitSuccess, kUnitSaid), markReceived(),
          hint(IDS_READY), noteHintAfterFlasher(), updateEnabled(true),
          receivedSinceMark("08 1d 22"), closeBy(CloseWay::closeButton)}},

        // ---- the same program in German
        {"German start without a unit", de, {},
         {hintWithSteps(IDS_NO_UNIT), updateEnabled(false), noVersions(), rowLabels(), noBox(),
          closeBy(CloseWay::closeButton)}},
        {"German start ready", de, {kReadyUnit},
         {hint(IDS_READY), updateEnabled(true), versions(L"1.2", L"2.1.5", L"3.2"),
          rowLabels(L"TAVILINK"), noBox(), closeBy(CloseWay::escapeKey)}},
        updateFails(kFailingSteps[0], de),
        {"German whole update", de, {kReadyUnit}, wholeUpdateSucceeds(), slow},
    };
    // ---- each failing step of the update
    for (const FailingStep& step : kFailingSteps) rows.push_back(updateFails(step, en));
    return rows;
}

}  // namespace

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> rows = table();
    return rows;
}

const std::vector<Situation>& situations() {
    static const std::vector<Situation> named = {
        {"ready", "whole update"},
        {"no-unit", "start without a unit"},
        {"bootloader", "start with the unit in its bootloader"},
        {"no-esc", "start without an updatable ESC"},
        {"other-esc", "start with an ESC of another type"},
        {"erase-fails", "erase answered with an error"},
        {"vanishes-mid-transfer", "unit vanishes in the middle of the transfer"},
        {"german", "German whole update"},
        {"german-no-unit", "German start without a unit"},
    };
    return named;
}

const Scenario* findScenario(const std::string& situationOrRow) {
    std::string rowName = situationOrRow;
    for (const Situation& situation : situations())
        if (situationOrRow == situation.name) rowName = situation.row;
    for (const Scenario& row : scenarios())
        if (row.name == rowName) return &row;
    return nullptr;
}
