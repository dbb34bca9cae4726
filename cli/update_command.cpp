// `update`: the window's Update button on a terminal. The same chain, the same pauses and the
// same refusals; a confirmation typed instead of clicked. Ctrl-C before the erase stops cleanly;
// after it the transfer finishes unless the user insists.
#include <cctype>
#include <cstring>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/progress.h"
#include "cli/unit_finding.h"
#include "cli/unit_report.h"
#include "cli/update_command.h"
#include "resources/resource_ids.h"
#include "link/product_identity.h"
#include "update/step_failure.h"
#include "update/update_steps.h"

namespace {

constexpr std::size_t kAnswerBytes = 64;

// Surrounding blanks do not count, nor does letter case.
bool sameWord(const char* answer, const char* word) {
    while (std::isspace(static_cast<unsigned char>(*answer))) ++answer;
    std::size_t length = std::strlen(answer);
    while (length != 0 && std::isspace(static_cast<unsigned char>(answer[length - 1]))) --length;
    if (length != std::strlen(word)) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(answer[i])) != word[i]) return false;
    return true;
}

// The English answers count in every language: a German user typing y means yes.
bool isYes(const char* answer, Language language) {
    for (Language words : {language, Language::english})
        if (sameWord(answer, text(Text::answerYesShort, words)) ||
            sameWord(answer, text(Text::answerYesLong, words)))
            return true;
    return false;
}

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

}  // namespace

int askToGoOn(const Arguments& arguments, const CliSetting& setting, Text prompt) {
    const Console& console = setting.console;
    const Language language = setting.language;
    // Warnings and the question go to stderr: with stdout sent to a file, the user at the
    // terminal still sees what is asked.
    if (setting.image.placeholder) putLine(console.err, text(Text::placeholder, language));
    putLine(console.err, catalogueText(IDS_WARNING_CAPTION, language));
    putLine(console.err, catalogueText(IDS_WARNING_TEXT, language));
    if (arguments.yes) return kExitSuccess;
    // Waiting for an answer nobody can type would hang a script for ever.
    if (!console.inputIsTerminal) {
        putLine(console.err, text(Text::noTerminal, language));
        return kExitDeclined;
    }
    put(console.err, text(prompt, language));
    char answer[kAnswerBytes] = "";
    const bool answered = console.readLine(answer, sizeof answer, console.readContext);
    if (setting.system.stopRequest() != StopRequest::none) return kExitInterrupted;
    if (!answered) put(console.err, "\n");
    if (answered && isYes(answer, language)) return kExitSuccess;
    putLine(console.err, text(Text::declined, language));
    return kExitDeclined;
}

namespace {

struct Transfer {
    const CliSetting* setting;
    ProgressView* progress;
    bool toldToInsist;
};

void onBlockSent(std::uint32_t position, void* context) {
    progressStep(*static_cast<Transfer*>(context)->progress, position);
}

// Once the old firmware is erased, stopping leaves the ESC without any: one Ctrl-C is taken for
// a slip, the transfer finishes; a second one, or SIGTERM, stops it between two blocks.
bool goOnAfterErase(void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    const StopRequest request = transfer.setting->system.stopRequest();
    if (request == StopRequest::none) return true;
    if (request == StopRequest::insisted) return false;
    if (!transfer.toldToInsist) {
        transfer.toldToInsist = true;
        put(transfer.setting->console.err, "\n");
        putLine(transfer.setting->console.err,
                text(Text::finishingTransfer, transfer.setting->language));
    }
    return true;
}

// Up to the erase any stop request stops, and the chain gives back what it took.
bool goOnWithStep(FlashStep next, void* context) {
    if (escUntouched(next))
        return static_cast<Transfer*>(context)->setting->system.stopRequest() == StopRequest::none;
    return goOnAfterErase(context);
}

TransferOutcome transferWithProgress(const std::uint8_t* image, std::uint32_t size, void* context) {
    return sendImageBlocks(image, size, onBlockSent, context, goOnAfterErase);
}

// One line, as the window's error box: the step, then its code line unless there was no link.
void putFailure(const FlashOutcome& outcome, const CliSetting& setting) {
    const TextSink& err = setting.console.err;
    put(err, catalogueText(stepFailure(outcome.failedStep).textId, setting.language));
    if (outcome.result != kLinkNoLink) {
        put(err, " ");
        putFormat(err, catalogueText(IDS_ERROR_CODE_LINE, setting.language),
                  static_cast<unsigned>(outcome.result),
                  static_cast<unsigned>(outcome.systemError));
    }
    put(err, "\n");
}

// The ESC now behind the unit, as `status` would show it.
int escChanged(const CliSetting& setting) {
    putLine(setting.console.err, text(Text::escChanged, setting.language));
    const Finding now = findingOfOpenLink();
    putVersionRows(setting.console.out, now, setting.language);
    putExplanation(setting.console.err, now, setting);
    return kExitEscChanged;
}

}  // namespace

int flashOpenLink(const CliSetting& setting, FlashOutcome* outcome) {
    const Console& console = setting.console;
    const Language language = setting.language;
    if (setting.system.stopRequest() != StopRequest::none) {
        putLine(console.err, text(Text::stoppedBeforeSending, language));
        *outcome = {FlashStep::reidentify, kLinkStopped, 0};
        return kExitInterrupted;
    }
    // Progress is for the person watching; stdout keeps the result.
    putLine(console.err, catalogueText(IDS_PROGRESS_CAPTION, language));
    ProgressView progress =
        progressStart(console.err, language, setting.system.nowMs, setting.image.size);
    Transfer transfer{&setting, &progress, false};
    setting.system.holdForUpdate(true);
    *outcome = flashImage(setting.image.bytes, setting.image.size, transferWithProgress, &transfer,
                          goOnWithStep);
    setting.system.holdForUpdate(false);
    progressFinish(progress);

    if (outcome->result == kLinkStopped) {
        putLine(console.err, text(escUntouched(outcome->failedStep) ? Text::stoppedBeforeErase
                                                                    : Text::stoppedBetweenBlocks,
                                  language));
        return kExitInterrupted;
    }
    if (outcome->failedStep == FlashStep::escChanged) return kExitEscChanged;
    if (outcome->failedStep != FlashStep::none) {
        putFailure(*outcome, setting);
        return stepFailure(outcome->failedStep).exitCode;
    }
    setEscFirmwareVersion(kCarriedFirmwareVersion);
    return kExitSuccess;
}

EscOutcome escOutcomeOf(int exitCode, const FlashOutcome& outcome) {
    if (exitCode == kExitSuccess) return EscOutcome::updated;
    if (outcome.failedStep == FlashStep::escChanged) return EscOutcome::changed;
    if (outcome.result == kLinkStopped)
        return unitUntouched(outcome.failedStep) ? EscOutcome::declined : EscOutcome::stopped;
    return EscOutcome::failed;
}

namespace {

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

int runUpdate(const Arguments& arguments, const CliSetting& setting) {
    // A record that cannot be kept is known before anything is sent.
    RecordFile record{};
    if (!openRecordFile(arguments.recordPath, setting, &record)) return kExitCannotRecord;
    const int exitCode = arguments.wait ? runSeries(arguments, setting, record)
                                        : updateOnce(arguments, setting, record);
    closeRecordFile(record, setting);
    return exitCode;
}
