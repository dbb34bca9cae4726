// `update --wait [--repeat]`: the bench where ESCs are flashed one after another. Asked once for
// the whole series, it looks at the unit every half second with the identification requests
// alone, updates an ESC that is ready, and then waits until that ESC has left (the unit reports
// no updatable ESC, or the unit is gone) before it takes another: an ESC that stays connected
// is never updated twice. The series holds the unit from its first look to its end, so that no
// other program of ours takes it between two looks and handles an ESC it never saw arrive.
// Ctrl-C while waiting, or any time before an update sends its lock, ends the series with its
// summary.
#include "cli/series_command.h"

#include <cstdio>
#include <cstring>

#include "cli/esc_record.h"
#include "cli/exit_codes.h"
#include "cli/text_encoding.h"
#include "cli/unit_finding.h"
#include "cli/unit_report.h"
#include "cli/flashing.h"
#include "link/device_io.h"
#include "link/product_identity.h"
#include "link/programmer_link.h"
#include "update/flash_chain.h"

namespace {

constexpr std::uint32_t kLookEveryMs = 500;
// How soon a Ctrl-C ends a wait between two looks.
constexpr std::uint32_t kStopLookMs = 50;

// What became of each ESC, and the exit code of the first that failed.
struct Tally {
    unsigned updated;
    unsigned skipped;
    unsigned refused;
    unsigned failed;
    int failureCode;
};

struct Series {
    const Arguments& arguments;
    const CliSetting& setting;
    const RecordFile& record;
    Tally tally;
    unsigned escs;  // handled so far, for the number in each result line
    // The waiting line as last shown; at a terminal it is redrawn in place.
    char shown[kLineBytes];
    std::size_t shownLength;
};

bool stopAsked(const Series& series) {
    return series.setting.system.stopRequest() != StopRequest::none;
}

// What is on the unit now, in a few words for the waiting line.
void describe(const Finding& finding, Language language, char (&what)[kLineBytes]) {
    const UnitSighting& sighting = finding.sighting;
    switch (finding.state) {
        case UnitState::noUnit:
            std::snprintf(what, sizeof what, "%s", text(Text::seriesNoUnit, language));
            return;
        case UnitState::severalUnits:
            std::snprintf(what, sizeof what, "%s", text(Text::seriesSeveralUnits, language));
            return;
        case UnitState::notAUnit:
            std::snprintf(what, sizeof what, "%s", text(Text::seriesNotAUnit, language));
            return;
        case UnitState::cannotOpen:
            std::snprintf(
                what, sizeof what,
                text(sighting.permissionDenied ? Text::listPermission : Text::listCannotOpen,
                     language),
                static_cast<unsigned>(sighting.systemError));
            return;
        case UnitState::inUse:
            std::snprintf(what, sizeof what, "%s", text(Text::listInUse, language));
            return;
        case UnitState::unidentified: {
            char reason[kLineBytes];
            std::snprintf(reason, sizeof reason, text(Text::reasonResult, language),
                          static_cast<int>(sighting.result));
            std::snprintf(what, sizeof what, text(Text::listUnidentified, language), reason);
            return;
        }
        case UnitState::wrongMode:
            std::snprintf(what, sizeof what, "%s", text(Text::stateWrongMode, language));
            return;
        case UnitState::noUpdatableEsc:
            std::snprintf(what, sizeof what, "%s", text(Text::stateNoUpdatableEsc, language));
            return;
        case UnitState::incompatibleEsc:
            std::snprintf(what, sizeof what, text(Text::stateIncompatible, language),
                          static_cast<unsigned>(sighting.escTypeId));
            return;
        case UnitState::ready:
            std::snprintf(what, sizeof what, "%s", text(Text::stateReady, language));
            return;
    }
    what[0] = '\0';
}

// The waiting line: redrawn in place at a terminal, written again only when it changed
// elsewhere, so that a log holds each change once.
void showWaiting(Series& series, Text waiting, const Finding& finding) {
    const TextSink& err = series.setting.console.err;
    char what[kLineBytes];
    describe(finding, series.setting.language, what);
    char line[kLineBytes];
    std::snprintf(line, sizeof line, text(waiting, series.setting.language), what);
    if (std::strcmp(line, series.shown) == 0) return;
    const std::size_t length = std::strlen(line);
    if (err.isTerminal) {
        putFormat(err, "\r%s", line);
        // Blanks over what a longer line before left standing.
        for (std::size_t i = length; i < series.shownLength; ++i) put(err, " ");
    } else {
        putLine(err, line);
    }
    std::snprintf(series.shown, sizeof series.shown, "%s", line);
    series.shownLength = length;
}

// Takes the waiting line off the terminal before anything else is written.
void endWaiting(Series& series) {
    const TextSink& err = series.setting.console.err;
    if (err.isTerminal && series.shownLength != 0) {
        put(err, "\r");
        for (std::size_t i = 0; i < series.shownLength; ++i) put(err, " ");
        put(err, "\r");
    }
    series.shown[0] = '\0';
    series.shownLength = 0;
}

// Each ESC's line on stdout: its number and what became of it (written by the caller, with the
// number `nextEsc` gives), then the running tally that ends it.
unsigned nextEsc(Series& series) { return ++series.escs; }

void endWithTally(const Series& series) {
    const Tally& tally = series.tally;
    putFormat(series.setting.console.out, text(Text::seriesTally, series.setting.language),
              tally.updated, tally.skipped, tally.refused, tally.failed);
    put(series.setting.console.out, "\n");
}

enum class Handled { nothing, escChanged, updateTried, escLooked };

// Works on a ready ESC: skips one that runs the carried version or a newer one, unless
// --allow-downgrade, and updates the others. The link is open. A stop that comes before the
// lock is sent is the series' end, not a failure: nothing is counted.
Handled handleReady(Series& series, EscRecord& esc) {
    const CliSetting& setting = series.setting;
    const TextSink& out = setting.console.out;
    const Language language = setting.language;
    const std::uint16_t installed = escFirmwareVersion();
    char version[kVersionTextChars];
    if (isDowngradeOrReinstall(installed) && !series.arguments.allowDowngrade) {
        ++series.tally.skipped;
        esc.outcome = EscOutcome::skipped;
        esc.exitCode = kExitSuccess;
        recordEsc(series.record, esc, setting);
        escVersionText(installed, version);
        putFormat(out, text(Text::seriesSkipped, language), nextEsc(series), version);
        endWithTally(series);
        return Handled::escLooked;
    }
    FlashOutcome outcome{};
    const int exitCode = flashOpenLink(setting, &outcome);
    esc.outcome = escOutcomeOf(exitCode, outcome);
    esc.exitCode = exitCode;
    recordFlashOutcome(esc, outcome);
    if (esc.outcome == EscOutcome::updated && series.record.file != nullptr)
        readEscVersionAfter(esc);
    recordEsc(series.record, esc, setting);
    switch (esc.outcome) {
        case EscOutcome::declined: return Handled::nothing;
        case EscOutcome::changed:
            putLine(setting.console.err, text(Text::seriesEscChanged, setting.language));
            return Handled::escChanged;
        case EscOutcome::updated:
            ++series.tally.updated;
            escVersionText(kCarriedFirmwareVersion, version);
            putFormat(out, text(Text::seriesUpdated, language), nextEsc(series), version);
            endWithTally(series);
            return Handled::updateTried;
        default: break;
    }
    ++series.tally.failed;
    if (series.tally.failureCode == kExitSuccess) series.tally.failureCode = exitCode;
    putFormat(out, text(Text::seriesFailed, language), nextEsc(series), exitCode);
    endWithTally(series);
    return Handled::updateTried;
}

// An ESC of another type: told, counted, and sent nothing beyond the identification.
Handled refuse(Series& series, EscRecord& esc) {
    ++series.tally.refused;
    esc.outcome = EscOutcome::refused;
    esc.exitCode = kExitIncompatible;
    recordEsc(series.record, esc, series.setting);
    char typeName[kVersionTextChars];
    supportedTypeName(typeName);
    putFormat(series.setting.console.out, text(Text::seriesRefused, series.setting.language),
              nextEsc(series), static_cast<unsigned>(esc.escType), typeName);
    endWithTally(series);
    return Handled::escLooked;
}

// The ESC handled at `path` has left when the unit tells of no updatable ESC, or when the unit
// there is gone. A unit that cannot be asked now proves nothing.
bool escHasLeft(const Finding& finding, const std::u16string& path) {
    switch (finding.state) {
        case UnitState::noUnit:
        case UnitState::notAUnit:
        case UnitState::wrongMode:
        case UnitState::noUpdatableEsc: return true;
        case UnitState::severalUnits:
        case UnitState::cannotOpen:
        case UnitState::inUse:
        case UnitState::unidentified: return false;
        case UnitState::incompatibleEsc:
        case UnitState::ready: return finding.sighting.path != path;
    }
    return false;
}

// Waits for the next look, or less when a stop request comes. False when one came.
bool pauseUntilNextLook(const Series& series) {
    for (std::uint32_t waited = 0; waited < kLookEveryMs; waited += kStopLookMs) {
        if (stopAsked(series)) return false;
        pauseMs(kStopLookMs);
    }
    return !stopAsked(series);
}

int endOfSeries(Series& series) {
    endWaiting(series);
    const Tally& tally = series.tally;
    putFormat(series.setting.console.out, text(Text::seriesEnded, series.setting.language),
              tally.updated, tally.skipped, tally.refused, tally.failed);
    put(series.setting.console.out, "\n");
    if (tally.failed != 0) return tally.failureCode;
    return tally.refused != 0 ? kExitIncompatible : kExitSuccess;
}

}  // namespace

int runSeriesCommand(const Arguments& arguments, const CliSetting& setting,
                     const RecordFile& record) {
    const int goAhead = askToGoOn(
        arguments, setting, arguments.repeat ? Text::seriesConfirmPrompt : Text::waitConfirmPrompt);
    if (goAhead == kExitInterrupted)
        putLine(setting.console.err, text(Text::stoppedBeforeSending, setting.language));
    if (goAhead != kExitSuccess) return goAhead;

    Series series{arguments, setting, record, {}, 0, "", 0};
    bool departing = false;  // the ESC last handled has not been seen leaving yet
    std::u16string handledPath;
    // A stop request is taken between two looks: a look is a few short exchanges.
    setting.system.stopAtOnce(false);
    while (!stopAsked(series)) {
        const std::uint64_t lookedAt = setting.system.nowMs();
        const Finding finding = findUnit(arguments.unitPath, setting.system);
        if (departing && escHasLeft(finding, handledPath)) departing = false;
        Handled handled = Handled::nothing;
        if (departing) {
            showWaiting(series, Text::seriesWaitingForDeparture, finding);
        } else if (finding.state == UnitState::ready) {
            endWaiting(series);
            EscRecord esc = escRecordOfLink(lookedAt);
            handled = handleReady(series, esc);
        } else if (finding.state == UnitState::incompatibleEsc) {
            endWaiting(series);
            EscRecord esc = escRecordOfLink(lookedAt);
            handled = refuse(series, esc);
        } else {
            showWaiting(series, Text::seriesWaitingForEsc, finding);
        }
        // The unit stays ours until the next look, and one plugged in again is held anew then.
        if (linkIsOpen()) deviceKeepClaim(programmerLink.handle);
        closeProgrammer();
        if (handled == Handled::updateTried || handled == Handled::escLooked) {
            departing = true;
            handledPath = finding.sighting.path;
        }
        if (handled == Handled::updateTried && !arguments.repeat) break;
        if (!pauseUntilNextLook(series)) break;
    }
    deviceLetGoOfClaim();
    return endOfSeries(series);
}
