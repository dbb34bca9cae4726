// `update`: the window's Update button on a terminal. The same chain, the same pauses and the
// same refusals; a confirmation typed instead of clicked. Ctrl-C before the erase stops cleanly;
// after it the transfer finishes unless the user insists.
#include "cli/update_command.h"

#include "cli/esc_record.h"
#include "cli/exit_codes.h"
#include "cli/flashing.h"
#include "cli/series_command.h"
#include "cli/unit_finding.h"
#include "cli/unit_report.h"
#include "link/product_identity.h"
#include "resources/resource_ids.h"

namespace {

// Nothing has been sent yet; `kExitSuccess` means go on.
int confirm(const Arguments& arguments, const CliSetting& setting) {
    const Console& console = setting.console;
    const Language language = setting.language;
    const std::uint16_t installed = escFirmwareVersion();
    if (isDowngradeOrReinstall(installed) && !arguments.allowDowngrade) {
        char installedText[kVersionTextChars];
        char carriedText[kVersionTextChars];
        escVersionText(installed, installedText);
        escVersionText(kCarriedFirmwareVersion, carriedText);
        putLine(console.err, catalogueText(IDS_DOWNGRADE_QUESTION, language));
        putFormat(console.err, text(Text::downgradeRefused, language), installedText, carriedText);
        put(console.err, "\n");
        return kExitDeclined;
    }
    return askToGoOn(arguments, setting, Text::confirmPrompt);
}

// The ESC now behind the unit, as `status` would show it.
int escChanged(const CliSetting& setting) {
    putLine(setting.console.err, text(Text::escChanged, setting.language));
    const Finding now = findingOfOpenLink();
    putVersionRows(setting.console.out, now, setting.language);
    putExplanation(setting.console.err, now, setting);
    return kExitEscChanged;
}

// One ESC: looked at, confirmed, updated; its line in the record whatever became of it.
int updateOnce(const Arguments& arguments, const CliSetting& setting, const RecordFile& record) {
    // Looking sends only identification: a stop then may end the program at once.
    setting.system.stopAtOnce(true);
    const std::uint64_t lookedAt = setting.system.nowMs();
    const Finding finding = findUnit(arguments.unitPath, setting.system);
    setting.system.stopAtOnce(false);
    EscRecord esc = escRecordOfLink(lookedAt);
    if (finding.state != UnitState::ready) {
        putExplanation(setting.console.err, finding, setting);
        const int exitCode = exitCodeOf(finding.state);
        if (finding.state == UnitState::incompatibleEsc) {
            esc.outcome = EscOutcome::refused;
            esc.exitCode = exitCode;
            recordEsc(record, esc, setting);
        }
        closeProgrammer();
        return exitCode;
    }
    putVersionRows(setting.console.out, finding, setting.language);
    const bool current =
        isDowngradeOrReinstall(escFirmwareVersion()) && !arguments.allowDowngrade;
    int exitCode = confirm(arguments, setting);
    if (exitCode == kExitInterrupted)
        putLine(setting.console.err, text(Text::stoppedBeforeSending, setting.language));
    esc.outcome = current ? EscOutcome::skipped : EscOutcome::declined;
    if (exitCode == kExitSuccess) {
        FlashOutcome outcome{};
        exitCode = flashOpenLink(setting, &outcome);
        esc.outcome = escOutcomeOf(exitCode, outcome);
        recordFlashOutcome(esc, outcome);
        if (exitCode == kExitEscChanged) escChanged(setting);
        if (exitCode == kExitSuccess) {
            putLine(setting.console.out, catalogueText(IDS_UPDATE_SUCCEEDED, setting.language));
            putEscRow(setting.console.out, setting.language);
            if (record.file != nullptr) readEscVersionAfter(esc);
        }
    }
    esc.exitCode = exitCode;
    recordEsc(record, esc, setting);
    closeProgrammer();
    return exitCode;
}

}  // namespace

int runUpdateCommand(const Arguments& arguments, const CliSetting& setting) {
    // A record that cannot be kept is known before anything is sent.
    RecordFile record{};
    if (!openRecordFile(arguments.recordPath, setting, &record)) return kExitCannotRecord;
    const int exitCode = arguments.wait ? runSeriesCommand(arguments, setting, record)
                                        : updateOnce(arguments, setting, record);
    closeRecordFile(record, setting);
    return exitCode;
}
