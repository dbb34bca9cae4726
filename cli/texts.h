// Every text the flasher shows, in English and German: its own, and the window's catalogue
// texts where the window says the same thing.
#pragma once

#include <cstdint>

enum class Language { english, german };

// The flasher's own texts. Formats name their arguments in the comment.
enum class Text {
    help,     // version major, minor (%u), ESC type (%s)
    version,  // version major, minor (%u), ESC type (%s)
    placeholder,
    usageError,  // the problem (%s)
    noCommand,
    unknownCommand,        // command (%s)
    unknownOption,         // option, command (%s, %s)
    missingValue,          // option (%s)
    repeatedOption,        // option (%s)
    deviceListUnreadable,  // system error (%u)
    severalUnits,
    notAUnit,              // path (%s)
    noUnitAt,              // path (%s)
    cannotOpen,            // path (%s), system error (%u)
    cannotOpenPermission,  // path (%s), system error (%u)
    udevHint,              // rule file, install command (%s, %s)
    unidentified,          // path (%s), reason (%s)
    reasonResult,          // result (%d)
    reasonLengths,         // output and input report lengths (%u, %u)
    reasonCapabilities,
    listCannotOpen,    // system error (%u)
    listPermission,    // system error (%u)
    listUnidentified,  // reason (%s)
    stateReady,
    stateWrongMode,
    stateNoUpdatableEsc,
    stateIncompatible,  // type ID (%08X)
    readyHint,          // version (%s)
    downgradeRefused,   // installed, carried version (%s, %s)
    confirmPrompt,
    answerYesShort,
    answerYesLong,
    declined,
    noTerminal,
    stoppedBeforeSending,
    stoppedBetweenBlocks,
    stoppedBeforeErase,
    finishingTransfer,
    escChanged,
    inUse,      // path (%s)
    listInUse,
    // update --wait [--repeat]
    seriesConfirmPrompt,
    waitConfirmPrompt,
    seriesWaitingForEsc,        // what is there now (%s)
    seriesWaitingForDeparture,  // what is there now (%s)
    seriesNoUnit,
    seriesSeveralUnits,
    seriesNotAUnit,
    seriesUpdated,   // ESC number (%u), version (%s)
    seriesSkipped,   // ESC number (%u), version (%s)
    seriesRefused,   // ESC number (%u), type ID (%08X), supported type (%s)
    seriesFailed,    // ESC number (%u), exit code (%d)
    seriesTally,     // updated, skipped, refused, failed (%u each)
    seriesEnded,     // updated, skipped, refused, failed (%u each)
    seriesEscChanged,
    // --record
    recordCannotOpen,   // path (%s), system error (%u)
    recordWriteFailed,  // path (%s), system error (%u)
    timeLeft,  // minutes, seconds (%u, %02u)
    count
};

const char* text(Text id, Language language);

// Catalogue text `id` (resources/resource_ids.h), as resources/strings_*.rc hold it: "\r\n"
// line ends, printf formats. Empty when the flasher does not carry that text.
const char* catalogueText(std::uint32_t id, Language language);

