// Updating the ESC behind the open link from a terminal, as `update` and a series both do: the
// go-ahead, the progress, the stop rules, and what became of the ESC.
#include "cli/flashing.h"

#include <cctype>
#include <cstring>

#include "cli/exit_codes.h"
#include "cli/progress.h"
#include "link/product_identity.h"
#include "resources/resource_ids.h"
#include "update/step_failure.h"

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
        return exitCodeOfStep(outcome->failedStep);
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
