#include "link/commands.h"

#include <cstring>

#include "link/bytes.h"
#include "link/device_io.h"
#include "link/programmer_link.h"

namespace {

constexpr std::uint8_t kOptionSet = 1;
constexpr std::uint8_t kOptionClear = 0;
constexpr std::uint8_t kLockHeld = 1;
constexpr std::uint8_t kFlashOpen = 0;

bool strictPairing = false;
// Where the link's next pause starts, on the pause clock.
std::uint64_t pauseStartUs = 0;
// Where the last pause asked for ends: the next request is written no sooner (0: none).
std::uint64_t pauseEndUs = 0;
constexpr std::uint64_t kMicrosecondsPerMs = 1000;
// A pause before a request hands its last quarter millisecond to the request's exchange, which
// looks at the queue in it and then waits for the rest: the look costs the unit no time.
constexpr std::uint64_t kLookInsidePauseUs = 250;

LinkResult exchangeIgnoringAnswer(const Report& request, std::uint32_t requestLength) {
    Report response;
    return exchangeReports(request, requestLength, response);
}

}  // namespace

Report commandReport(Command command, std::uint8_t length, std::uint8_t option) {
    Report report{};
    report.bytes[0] = kCommandReportId;
    report.bytes[1] = command;
    report.bytes[2] = length;
    report.bytes[3] = option;
    return report;
}

LinkResult exchangeReports(const Report& request, std::uint32_t requestLength, Report& response,
                           std::uint32_t waitBeforeReadMs) {
    const ProgrammerLink& link = programmerLink;
    if (link.handle == kNoDevice) return kLinkNoLink;
    // The buffers hold 60 bytes; a unit announcing longer reports, or an output report too short
    // to carry this request whole, is not talked to rather than overrun or truncated.
    if (link.outputReportLength > kReportBufferSize || link.inputReportLength > kReportBufferSize ||
        requestLength > link.outputReportLength || link.inputReportLength == 0)
        return kLinkNoLink;
    // Nothing in an answer names its request, and the system queues input reports per handle: an
    // answer sent twice, or a report nobody asked for, would be read as the answer to this
    // request and shift every later one. Whatever is queued now is not this request's answer.
    const LinkResult inStep = strictPairing ? checkInStep() : dropStaleInput();
    if (inStep != kLinkOk) return inStep;
    // The rest of the pause before this request, if any is left after the look. A pause ended
    // early by a quarter of a millisecond at most (a whole one on a clock that counts whole
    // ones); an end further off belongs to a pause nobody followed up, and is no wait.
    const std::uint64_t nowUs = pauseClockUs();
    if (pauseEndUs > nowUs && pauseEndUs - nowUs <= kMicrosecondsPerMs) pauseSince(pauseEndUs, 0);
    pauseEndUs = 0;
    const bool written = deviceWrite(link.handle, request.bytes, link.outputReportLength);
    pauseStartUs = pauseClockUs();
    if (!written) return kLinkWriteFailed;
    if (waitBeforeReadMs != 0) pauseSince(pauseStartUs, waitBeforeReadMs);
    // Bytes past the input report's length are never read; they stay zero.
    std::memset(response.bytes, 0, sizeof response.bytes);
    response.bytes[0] = kResponseReportId;
    const bool answered =
        deviceRead(link.handle, response.bytes, link.inputReportLength, kReadTimeoutMs);
    pauseStartUs = pauseClockUs();
    if (!answered) return kLinkReadFailed;
    // Any other input report is not an answer to this command; judging its bytes could pass a
    // garbled answer off as success. Nothing else in an answer names its request: byte 1 is
    // defined only as 0xFF for an error, so an answer is paired with its request by order alone
    // (see setStrictPairing), and a garbled one that reads as a success cannot be told.
    if (response.bytes[0] != kResponseReportId) return kLinkReadFailed;
    return kLinkOk;
}

void pauseLink(std::uint32_t milliseconds) {
    const std::uint64_t lookUs = pauseStartUs > kLookInsidePauseUs ? kLookInsidePauseUs : 0;
    pauseSince(pauseStartUs - lookUs, milliseconds);
    pauseStartUs += milliseconds * kMicrosecondsPerMs;
    pauseEndUs = pauseStartUs;
}

void setStrictPairing(bool strict) { strictPairing = strict; }

LinkResult checkInStep() {
    if (programmerLink.handle == kNoDevice) return kLinkNoLink;
    std::uint32_t dropped = 0;
    // A queue that cannot even be looked at belongs to a unit that is gone.
    if (!deviceDropInput(programmerLink.handle, &dropped)) return kLinkWriteFailed;
    return dropped == 0 ? kLinkOk : kLinkOutOfStep;
}

LinkResult dropStaleInput() {
    const LinkResult inStep = checkInStep();
    return inStep == kLinkOutOfStep ? kLinkOk : inStep;
}

bool isErrorAnswer(const Report& response) { return response.bytes[1] == kErrorAnswer; }

LinkResult judgeCode32(const Report& response) {
    if (!isErrorAnswer(response)) return kLinkOk;
    return static_cast<LinkResult>(readU32(response.bytes + 4));
}

LinkResult eraseFirmware() {
    Report request = commandReport(EraseFirmware, 4);
    writeU32(request.bytes + 4, kConfirmationWord);
    Report response;
    LinkResult result =
        exchangeReports(request, kReportHeaderSize + 4, response, kEraseAnswerDelayMs);
    return result != kLinkOk ? result : judgeCode32(response);
}

LinkResult writeDataBlock(const std::uint8_t* data, std::uint32_t wordCount,
                          std::uint32_t* wordsSent) {
    if (programmerLink.handle == kNoDevice || wordCount > kMaxDataBytes / 4) return kLinkNoLink;
    *wordsSent = 0;
    const std::uint32_t byteCount = wordCount * 4;
    Report request = commandReport(WriteDataBlock, static_cast<std::uint8_t>(byteCount));
    if (byteCount != 0) std::memcpy(request.bytes + kReportHeaderSize, data, byteCount);
    *wordsSent = wordCount;
    Report response;
    LinkResult result = exchangeReports(request, kReportHeaderSize + byteCount, response);
    return result != kLinkOk ? result : judgeCode32(response);
}

LinkResult lockUnit() {
    Report response;
    LinkResult result =
        exchangeReports(commandReport(SystemLock, 1, kOptionSet), kReportHeaderSize, response);
    if (result != kLinkOk) return result;
    return response.bytes[3] == kLockHeld ? kLinkOk : kLinkRefused;
}

LinkResult removeWriteProtection() {
    Report response;
    LinkResult result =
        exchangeReports(commandReport(WriteProtect, 1, kOptionClear), kReportHeaderSize, response);
    if (result != kLinkOk) return result;
    if (isErrorAnswer(response)) return judgeCode32(response);
    return response.bytes[3] == kFlashOpen ? kLinkOk : kLinkRefused;
}

LinkResult setWriteAddress() {
    Report request = commandReport(SetWriteAddress, 9, kOptionSet);
    writeU32(request.bytes + 4, 0);
    writeU32(request.bytes + 8, kConfirmationWord);
    Report response;
    LinkResult result = exchangeReports(request, kReportHeaderSize + 8, response);
    return result != kLinkOk ? result : judgeCode32(response);
}

void restoreWriteProtection() {
    exchangeIgnoringAnswer(commandReport(WriteProtect, 1, kOptionSet), kReportHeaderSize);
}

void releaseUnitLock() {
    exchangeIgnoringAnswer(commandReport(SystemLock, 1, kOptionClear), kReportHeaderSize);
}
