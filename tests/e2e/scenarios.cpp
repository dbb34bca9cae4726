#include "tests/e2e/scenarios.h"

namespace {

using Steps = std::vector<Step>;

constexpr Language en = Language::english;
constexpr Language de = Language::german;
constexpr bool slow = true;

const char kReadyUnit[] = "plug unit";  // TAVILINK, unit 1.2, bootloader 2.1.5, ESC 3.2

// The whole update as the unit sees it: lock, unlock the flash, erase, address, the blocks,
// restore the protection, release the lock.
const char kWholeUpdate[] = "0b 20 1e 1f 1b*image 20 0b";

Steps then(std::initializer_list<Steps> parts) {
    Steps all;
    for (const Steps& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Steps confirmUpdate() {
    return {pressUpdate(), box(&T::warningCaption, &T::warningText, {IDOK, IDCANCEL}),
            answer(IDOK), startClock()};
}

// From the OK on the warning (the clock started there) to the success hint: the whole image
// reaches the unit, in real time.
Steps updateRunsToTheEnd() {
    return {transferShows(), transferEnds(180), hint(&T::success), noteUpdateTiming(), noBox(),
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
    return {pressUpdate(), box(&T::warningCaption, &T::warningText, {IDOK, IDCANCEL}), unplug(),
            removal(), hintWithSteps(&T::connectionLost), plug(plugOptions)};
}

// Every failure of the update ends alike: one error box while the link is already dropped,
// then the failure hint, and nothing more goes to the unit.
struct FailingStep {
    const char* name;
    const char* fault;     // how the unit misbehaves
    Text stepText;         // the box text of the failing step
    const char* code;      // the first number of the box's code line
    const char* received;  // what the unit got after identification, the failing step last
    const char* unitAfter; // the lock stays set and the flash open once they were
};

const FailingStep kFailingSteps[] = {
    {"lock refused", "fault unit 0b 1 refusal", &T::lockFailed, "0000065b", "0b",
     "locked=0 writeProtected=1"},
    {"flash unlock answered with an error", "fault unit 20 1 error 1234", &T::unlockFlashFailed,
     "00001234", "0b 20", "locked=1 writeProtected=1"},
    {"erase answered with an error", "fault unit 1e 1 error 5", &T::eraseFailed, "00000005",
     "0b 20 1e", "locked=1 writeProtected=0"},
    {"write address answered with an error", "fault unit 1f 1 error 7", &T::addressFailed,
     "00000007", "0b 20 1e 1f", "locked=1 writeProtected=0"},
    {"data block answered with an error", "fault unit 1b 40 error 2a", &T::blockFailed,
     "0000002a", "0b 20 1e 1f 1b*40", "locked=1 writeProtected=0"},
};

Steps afterFailureBox() {
    return {noVersions(), updateEnabled(false), answer(IDOK), hint(&T::failureHint),
            updateEnabled(false), noVersions(), noBox()};
}

// The unit vanishes at a block (the row's fault): the block's failure box, the removal the
// system reports while it is open, and the window as after any failure.
Steps transferBrokenOff() {
    return then({{transferShows(), errorBox(&T::blockFailed, "fffffffd"), removal()},
                 afterFailureBox()});
}

Scenario updateFails(const FailingStep& step, Language language) {
    return {std::string(language == de ? "German " : "") + step.name,
            language,
            {kReadyUnit, step.fault},
            then({confirmUpdate(), {errorBox(step.stepText, step.code)}, afterFailureBox(),
                  {closeBy(CloseWay::closeButton), receivedAfterIdentification(step.received),
                   unitState(step.unitAfter)}})};
}

std::vector<Scenario> table() {
    std::vector<Scenario> rows = {
        // ---- start-up probe, one row per outcome
        {"start without a unit", en, {},
         {hintWithSteps(&T::noUnit), updateEnabled(false), noVersions(), rowLabels(), noBox(),
          closeBy(CloseWay::closeButton)}},
        {"start with the unit in its bootloader", en, {"plug unit mode=boot"},
         {hintWithSteps(&T::wrongMode), updateEnabled(false), noVersions(), rowLabels(), noBox(),
          closeBy(CloseWay::closeButton), receivedAfterIdentification("")}},
        {"start without an updatable ESC", en, {"plug unit esc=1"},
         {hintWithSteps(&T::noUpdatableEsc), updateEnabled(false), noVersions(), noBox(),
          closeBy(CloseWay::closeButton), receivedAfterIdentification("")}},
        {"start with an ESC of another type", en, {"plug unit type=0B07403C"},
         {incompatibilityBox(), answer(IDOK), hintWithSteps(&T::incompatibleHint),
          updateEnabled(false), noVersions(), noBox(), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"start ready", en, {kReadyUnit},
         {hint(&T::ready), updateEnabled(true), versions(L"1.2", L"2.1.5", L"3.2"),
          rowLabels(L"TAVILINK"), noBox(), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"start ready with a ZELQUAD and an ESC without firmware", en,
         {"plug unit pid=1 unitver=01000203 bootver=00000105 escver=FFFF"},
         {hint(&T::ready), updateEnabled(true), versions(L"1.2.3", L"1.5", L"----------"),
          rowLabels(L"ZELQUAD"), closeBy(CloseWay::closeButton)}},

        // ---- the two other ways to close (the Close button ends most rows); nothing goes to
        // the linked unit at the end
        {"Escape closes the ready window", en, {kReadyUnit},
         {hint(&T::ready), closeBy(CloseWay::escapeKey), receivedAfterIdentification("")}},
        {"the close box closes the ready window", en, {kReadyUnit},
         {hint(&T::ready), closeBy(CloseWay::closeBox), receivedAfterIdentification("")}},

        // ---- plug and unplug while the window is open
        {"unit plugged in while the window is open", en, {},
         {hintWithSteps(&T::noUnit), plug(""), arrival(), hint(&T::ready), updateEnabled(true),
          versions(L"1.2", L"2.1.5", L"3.2"), rowLabels(L"TAVILINK"), noBox(),
          closeBy(CloseWay::escapeKey), receivedAfterIdentification("")}},
        {"linked unit unplugged", en, {kReadyUnit},
         {hint(&T::ready), removalOf(L"\\\\.\\pipe\\zirvano-sim-another-device"), hint(&T::ready),
          updateEnabled(true), unplug(), removal(), hintWithSteps(&T::connectionLost),
          updateEnabled(false), noVersions(), rowLabels(L"TAVILINK"), noBox(),
          closeBy(CloseWay::closeBox)}},

        // ---- the update, and the ways it stops before it starts
        {"whole update", en, {kReadyUnit}, wholeUpdateSucceeds()},
        {"warning box cancelled", en, {kReadyUnit},
         {pressUpdate(), box(&T::warningCaption, &T::warningText, {IDOK, IDCANCEL}),
          answer(IDCANCEL), noBox(), hint(&T::ready), updateEnabled(true),
          versions(L"1.2", L"2.1.5", L"3.2"), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"downgrade declined", en, {"plug unit escver=0303"},
         then({{versions(L"1.2", L"2.1.5", L"3.3")},
               confirmUpdate(),
               {box(&T::downgradeCaption, &T::downgradeQuestion, {IDYES, IDNO}), answer(IDNO),
                noBox(), hint(&T::ready), updateEnabled(true), closeBy(CloseWay::closeButton),
                receivedAfterIdentification("")}})},
        {"unit unplugged while the warning is open", en, {kReadyUnit},
         {pressUpdate(), box(&T::warningCaption, &T::warningText, {IDOK, IDCANCEL}), unplug(),
          removal(), hintWithSteps(&T::connectionLost), answer(IDOK),
          // No link any more: the lock step fails at once, with no code to show.
          box(&T::failureCaption, &T::lockFailed, {IDOK}), answer(IDOK), hint(&T::failureHint),
          updateEnabled(false), noVersions(), closeBy(CloseWay::closeButton),
          receivedAfterIdentification("")}},
        {"unit swapped for a ready one while the warning is open", en, {kReadyUnit},
         then({unitSwappedDuringWarning(""),
               {arrival(), hint(&T::ready), answer(IDOK), startClock()},
               updateRunsToTheEnd(), {closeBy(CloseWay::closeButton)}})},
        {"unit swapped for an unidentified one while the warning is open", en, {kReadyUnit},
         then({unitSwappedDuringWarning("type=0B07403C"),
               // Its ESC memory cannot be read, so identification stops before the type.
               {fault("1d 1 error 5"), arrival(), hintWithSteps(&T::connectionLost),
                updateEnabled(false), answer(IDOK),
                // Nothing is written to a unit that was not found ready: the lock step fails
                // without sending, with no code to show.
                box(&T::failureCaption, &T::lockFailed, {IDOK})},
               afterFailureBox(),
               {closeBy(CloseWay::closeButton), received("08 1d")}})},
        {"unit vanishes in the middle of the transfer", en,
         {kReadyUnit, "fault unit 1b 150 disconnect"},
         then({confirmUpdate(), transferBrokenOff(),
               // Plugged in again, it is found again.
               {plug(""), arrival(), hint(&T::ready), updateEnabled(true),
                closeBy(CloseWay::closeButton)}})},
        {"update retried after the unit vanished in the middle of the transfer", en,
         {kReadyUnit, "fault unit 1b 150 vanish"},
         then({confirmUpdate(), transferBrokenOff(),
               // The erase went through, so the ESC comes back without firmware; a replugged
               // simulated unit starts afresh, so it is plugged in saying so.
               {plug("escver=FFFF"), arrival(), hint(&T::ready), updateEnabled(true),
                versions(L"1.2", L"2.1.5", L"----------")},
               confirmUpdate(), updateRunsToTheEnd(), {closeBy(CloseWay::closeButton)}})},

        // ---- the same program in German
        {"German start without a unit", de, {},
         {hintWithSteps(&T::noUnit), updateEnabled(false), noVersions(), rowLabels(), noBox(),
          closeBy(CloseWay::closeButton)}},
        {"German start ready", de, {kReadyUnit},
         {hint(&T::ready), updateEnabled(true), versions(L"1.2", L"2.1.5", L"3.2"),
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
