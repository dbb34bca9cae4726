// --record FILE: one JSON object a line for every ESC the flasher identified, appended and made
// durable as soon as that ESC's outcome is known (docs/zirvano-flash-record.md).
#pragma once

#include <cstdint>
#include <string>

#include "cli/cli.h"
#include "update/flash_chain.h"

// `declined`: the user said no, or stopped before the lock was sent; `stopped`: a stop after
// the lock; `changed`: another ESC was found on the wire right before the lock.
enum class EscOutcome { updated, skipped, refused, declined, failed, stopped, changed };

// The file --record names, open for the whole command; `file` null without --record.
struct RecordFile {
    void* file;
    const char* path;
};

// Opens the file `path` names (nothing to do when it is null). False, said on stderr, when it
// cannot be opened for appending: the command then ends before anything is sent.
bool openRecordFile(const char* path, const CliSetting& setting, RecordFile* record);
void closeRecordFile(const RecordFile& record, const CliSetting& setting);

// What the line of one ESC says.
struct EscRecord {
    std::uint64_t identifiedAtMs;  // the monotonic clock as the look that found it began
    std::string path;
    std::string unitSerial;  // read by recordEsc from the open link; empty: unknown
    std::uint16_t productId;
    std::uint32_t unitVersion;
    std::uint32_t escType;
    std::uint32_t escBootloaderVersion;
    std::uint16_t escVersionBefore;
    bool escVersionAfterRead;
    std::uint16_t escVersionAfter;
    EscOutcome outcome;
    FlashStep failedStep;  // failed: the step that failed; stopped: the step not started
    bool unitCodeKnown;
    std::uint32_t unitCode;  // failed: what the unit or the link answered
    int exitCode;
};

// The ESC on the open link as identification found it; the outcome is for the caller to fill.
// Every line is written while the link is still open.
EscRecord escRecordOfLink(std::uint64_t identifiedAtMs);
// The failure or stop of the chain, as the record tells it.
void recordFlashOutcome(EscRecord& esc, const FlashOutcome& outcome);
// Asks the unit once more what the ESC runs now: after an update, where the record wants it.
void readEscVersionAfter(EscRecord& esc);

// The line, without its line end: `utcMs` is when the outcome was known.
std::string escRecordLine(const EscRecord& esc, std::uint64_t utcMs, std::uint64_t durationMs);
// Appends the line of `esc` to the record, if there is one; a line that cannot be written is
// said on stderr, and the work goes on.
void recordEsc(const RecordFile& record, const EscRecord& esc, const CliSetting& setting);
