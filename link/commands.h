// Report framing, the transaction that pairs a command with its answer, and the unit's commands.
#pragma once

#include <cstdint>

#include "link/link_result.h"

constexpr std::uint32_t kReportBufferSize = 60;  // 4 header bytes and a 56-byte data area
constexpr std::uint32_t kReportHeaderSize = 4;
constexpr std::uint32_t kMaxDataBytes = kReportBufferSize - kReportHeaderSize;
constexpr std::uint8_t kCommandReportId = 0x01;
constexpr std::uint8_t kResponseReportId = 0x02;
constexpr std::uint8_t kErrorAnswer = 0xFF;  // byte 1 of an answer
// The image travels in blocks of 12 words; a unit's output report must carry one whole.
constexpr std::uint32_t kBlockBytes = 48;

enum Command : std::uint8_t {
    Identify = 0x08,
    ReadUnitMemory = 0x0A,
    SystemLock = 0x0B,
    WriteDataBlock = 0x1B,
    ReadEscMemory = 0x1D,
    EraseFirmware = 0x1E,
    SetWriteAddress = 0x1F,
    WriteProtect = 0x20,
    ReadEscBootInfo = 0x22,
};

constexpr std::uint32_t kConfirmationWord = 0x6B2D9E41;
constexpr std::uint32_t kUnitVersionAddress = 0x0801FC00;
constexpr std::uint32_t kEscInfoLength = 32;
constexpr std::uint32_t kEscInfoOffset = 0xFFFFFFE0;  // -32: the block ends at the flash's end
constexpr std::uint32_t kEscBootInfoLength = 40;
constexpr std::uint32_t kEraseAnswerDelayMs = 1000;
// A healthy unit answers within milliseconds, the erase within a few seconds after the fixed
// wait; a unit silent for this long is treated as gone.
constexpr std::uint32_t kReadTimeoutMs = 10000;

struct Report {
    std::uint8_t bytes[kReportBufferSize];
};

// A command report with byte 0, the command code and the length byte set; the rest zero.
Report commandReport(Command command, std::uint8_t length, std::uint8_t option = 0);

// Strict pairing, for the span of an update. Answers carry no tag naming their request, so the
// one check left is that nothing arrives unasked: a report found queued before a request means
// that an answer arrived twice or late, and the answer taken for the previous request may have
// been another's. A duplicate that arrives after this request was written cannot be told
// from its answer; the fixed pauses between requests make that window small.
void setStrictPairing(bool strict);
// Drops what is queued now, whatever the pairing: what the unit sent while nobody asked (a
// window sits linked for hours) is not an answer to anything that follows.
LinkResult dropStaleInput();
// kLinkOutOfStep when input is queued that nobody asked for; it is dropped either way.
LinkResult checkInStep();

// Pauses the link for `milliseconds`, counted from the end of its last exchange (the answer
// taken, or given up on) or of its last pause, whichever came later. The unit sees at least the
// pause between its answer and the next request, and the program's own work after the answer
// (judging it, drawing progress) passes inside the pause instead of adding to it. Pauses in a
// row add up: 4000 and then 20 end 4020 ms after the answer. It returns a quarter of a
// millisecond early: the next exchange looks at the queue then, and writes its request only once
// the pause is over.
void pauseLink(std::uint32_t milliseconds);

// Writes `request` (whose meaningful part is `requestLength` bytes) as one output report, waits
// `waitBeforeReadMs` from the moment it went, then reads one input report into `response`. Input
// queued before the request is dropped; while pairing is strict, finding any makes it
// kLinkOutOfStep instead and nothing is written.
LinkResult exchangeReports(const Report& request, std::uint32_t requestLength, Report& response,
                           std::uint32_t waitBeforeReadMs = 0);

// The code32 rule: an error answer yields the unit's 32-bit code (0 counts as success).
LinkResult judgeCode32(const Report& response);
// The rule of the ESC reads: an error answer yields the unit's 16-bit code.
bool isErrorAnswer(const Report& response);

LinkResult eraseFirmware();
LinkResult writeDataBlock(const std::uint8_t* data, std::uint32_t wordCount,
                          std::uint32_t* wordsSent);

// The steps of an update around the erase and the transfer.
LinkResult lockUnit();               // SystemLock set; status byte 3 must be 1
LinkResult removeWriteProtection();  // WriteProtect opt 0; status byte 3 must be 0
LinkResult setWriteAddress();        // SetWriteAddress at 0, with the confirmation word
void restoreWriteProtection();       // WriteProtect opt 1; the answer is read and ignored
void releaseUnitLock();              // SystemLock release; the answer is read and ignored
